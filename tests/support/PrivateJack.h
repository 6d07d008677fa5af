// A JACK server of the test's own: the dummy driver under a server name no
// one else uses, so that a test never touches (or depends on) a user's JACK.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>

namespace orvik::testsupport {

class PrivateJack
{
public:
    PrivateJack() = default;
    // Stops the server if it still runs.
    ~PrivateJack();
    PrivateJack(const PrivateJack&) = delete;
    PrivateJack& operator=(const PrivateJack&) = delete;

    // Starts `jackd --no-realtime -n <unique> -d dummy -p 128 -r 48000` and
    // waits until a client can connect, at most `deadline`. On success the
    // process's JACK_DEFAULT_SERVER names the new server (and
    // JACK_NO_START_SERVER is set), so every JACK client made afterwards, here
    // or in a child process, lands on it. Call it before other threads run:
    // it changes the environment. On Linux the server also dies with the
    // thread that started it, should the test crash.
    bool start(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Set before start(): the server and its clients' process threads run at
    // realtime priority, as JACK does by default, instead of --no-realtime.
    // For measurements on a machine that is busy with other work.
    bool realtime = false;

    // Ends the server (SIGTERM, then SIGKILL after a grace period) and waits
    // for it. Safe to call more than once. After kill(), it first starts a
    // server of the same name again, the only way to free the slot that the
    // killed one keeps in the user's registry of eight: close every client
    // of the killed server before, for libjack cannot open one while a
    // dead server's client is still open in the process.
    void stop();
    // Ends the server at once, as a crash would: its clients learn of it only
    // when a read from it fails.
    void kill();

    bool running() const { return pid_ > 0; }
    const std::string& serverName() const { return name_; }
    // What went wrong, when start() failed: the reason and jackd's output.
    const std::string& error() const { return error_; }
    // Everything jackd has printed so far.
    std::string log() const;
    // Cycles the server reported as late or incomplete so far ("XRun" lines):
    // MIDI events may be lost in each of them.
    int xruns() const;

private:
    bool spawn(std::chrono::milliseconds deadline);

    pid_t pid_ = -1;
    bool killed_ = false;
    std::string name_;
    std::string logPath_;
    std::string error_;
};

} // namespace orvik::testsupport
