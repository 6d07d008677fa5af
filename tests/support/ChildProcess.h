// A helper program run by a test: its standard input is a pipe that the test
// holds (closing it is the polite way to end the child), its output is read a
// line at a time, and its error output is kept for failure messages.
//
// Started with a plain fork and exec: the spawn calls that share the parent's
// memory until exec confuse ThreadSanitizer in the parent.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orvik::testsupport {

// Waits up to `grace` for the child `pid` to end, then kills it. Returns its
// exit status, or -1 when it was killed or ended by a signal.
int reapChild(pid_t pid, std::chrono::milliseconds grace);

// The whole of a file a child writes to; empty when `path` is.
std::string readWholeFile(const std::string& path);

class ChildProcess
{
public:
    ChildProcess() = default;
    // Stops the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs `program` (a path) with `args`. On Linux the child also dies with
    // the thread that started it, should the test crash.
    bool start(const std::string& program, const std::vector<std::string>& args);

    // One line of standard output without its newline, or nothing once
    // `deadline` has passed or the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds deadline);

    // Closes the child's input, waits up to `grace` for it to end, then kills
    // it. Returns its exit status, or -1 when it was killed or never ran.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

    bool running() const { return pid_ > 0; }
    // Everything the child wrote to its standard error so far.
    std::string errorOutput() const;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    std::string errorPath_;
};

} // namespace orvik::testsupport
