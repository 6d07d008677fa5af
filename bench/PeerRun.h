// Runs in processes of their own, as a user meets the tool: the unit, the
// bare client and the tool's window are each a separate program on one JACK
// server or on the ALSA sequencer. In-process runs share one scheduler with
// the unit and hide what a separate peer sees (see docs/testing.md, "How the
// benchmark works").
#pragma once

#include "Runs.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvik::bench {

// A run's figures as one process hands them to another, marks included.
QJsonObject runToJson(const RunFigures& r);
RunFigures runFromJson(const QJsonObject& o);

// A virtual X server with a display number of its own.
class Xvfb
{
public:
    Xvfb() = default;
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool start(QString* error);
    // ":N" once started.
    QString display() const { return display_; }

private:
    QProcess process_;
    QString display_;
};

enum class PeerKind
{
    Bare,   // RtMidi ping-pong, each reply taken to the main thread to answer
    Window, // the tool's MainWindow
};

struct PeerRequest
{
    PeerKind kind = PeerKind::Bare;
    QString program;  // this benchmark, run again as the peer
    QString platform; // Qt's platform for a window: "offscreen" or "xcb"
    QString display;  // for xcb
    MidiSystem system = MidiSystem::Jack;
    // As unitPortMatches() takes them.
    std::string unitOutput;
    std::string unitInput;
    int messages = 0;
    int timeoutMs = 0;
};

// When each of the server's cycles began, on the steady clock the marks
// use, so that a mark can be placed within its cycle. A client of its own
// with no ports; it records from start() to stop().
class CycleClock
{
public:
    CycleClock() = default;
    ~CycleClock();
    CycleClock(const CycleClock&) = delete;
    CycleClock& operator=(const CycleClock&) = delete;

    bool start(std::size_t capacity);
    std::vector<std::int64_t> stop();
    // When the server reported a cycle that some client did not finish in
    // time, as far as stop(): a cycle that starts on time loses events too.
    std::vector<std::int64_t> xruns() const;

private:
    static int process(std::uint32_t frames, void* self);
    static int xrun(void* self);
    static std::int64_t steadyNs();

    void* client_ = nullptr;
    std::vector<std::int64_t> starts_;
    std::atomic<std::size_t> next_{0};
    std::vector<std::int64_t> xruns_;
    std::atomic<std::size_t> nextXrun_{0};
};

// Starts the peer, waits for it and reads its figures.
RunFigures runPeer(const PeerRequest& request);

// The name of a kind on the peer's command line, and back; Bare for an
// unknown name.
QString peerName(PeerKind kind);
std::optional<PeerKind> peerKind(const QString& name);

// The same for the MIDI system: "jack" or "alsa".
QString midiSystemName(MidiSystem system);
std::optional<MidiSystem> midiSystem(const QString& name);

// The peer's side: runs one update against the unit's ports on `system`
// and writes its figures as JSON to `resultFile`. Returns the process's
// exit status.
int peerMain(PeerKind kind, MidiSystem system, const std::string& unitOutput,
             const std::string& unitInput, int messages, int timeoutMs, const QString& resultFile,
             const std::vector<Bytes>& updateMessages);

} // namespace orvik::bench
