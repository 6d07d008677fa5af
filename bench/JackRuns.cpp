#include "JackRuns.h"

#include "JackUnit.h"
#include "MainWindow.h"
#include "PeerRun.h"
#include "Protocol.h"
#include "Runs.h"

#ifdef ORVIK_BENCH_HAVE_JACK
#include "BusyCore.h"
#include "PrivateJack.h"
#include "WinmmDevices.h"
#endif

#include <QCoreApplication>

#include <cstdio>

namespace orvik::bench {

namespace {

// A lost event costs the bare client what it costs the tool.
constexpr Recovery kWatchdogRule{MainWindow::kWatchdogIntervalMs, MainWindow::kWatchdogTicks};

void progress(const QString& text)
{
    std::fprintf(stderr, "orvik16-bench: %s\n", qPrintable(text));
}

} // namespace

QString firstError(const std::vector<RunFigures>& tool, const std::vector<RunFigures>& bare)
{
    for (const auto* runs : {&tool, &bare})
        for (const RunFigures& r : *runs)
            if (!r.ok)
                return r.error;
    return {};
}

void runJack(BenchReport& report, const std::vector<Bytes>& messages, const JackRunOptions& o)
{
    Comparison& c = report.jack;
    // The window and the bare host against each kind of unit, in turn.
    Comparison* const peers[] = {&report.peers, &report.handOffPeers};
#ifdef ORVIK_BENCH_HAVE_JACK
    using namespace orvik::testsupport;
    c.messages = o.messages;
    for (Comparison* p : peers)
        p->messages = o.messages;
    progress(QStringLiteral("JACK: starting a private server"));
    // The in-process part has ended every thread of its own by now, so the
    // server's environment variables go in while nothing else reads them.
    PrivateJack jack;
    jack.realtime = o.realtime;
    if (!jack.start()) {
        c.skipped = QStringLiteral("no private JACK server: ") +
                    QString::fromStdString(jack.error()).section(QLatin1Char('\n'), 0, 0);
        for (Comparison* p : peers)
            p->skipped = c.skipped;
        return;
    }
    JackUnit unit;
    QString why;
    // Short: winmm names hold 31 characters, and JACK names the port twice
    // (three times with " in" on a unit of two clients).
    const qint64 pid = QCoreApplication::applicationPid();
    const QString port = QStringLiteral("bench%1").arg(pid);
    if (!unit.start(o.devsim, port, o.serial, &why)) {
        c.error = why;
        return;
    }
    // The peers get units of their own, so that each unit's log tells of
    // one kind of comparison.
    const UnitKind kinds[] = {UnitKind::InCycle, UnitKind::HandOff};
    const QString peerPorts[] = {port + QLatin1Char('p'), QStringLiteral("hand%1").arg(pid)};
    const QString kindNames[] = {QStringLiteral("one-client unit"),
                                 QStringLiteral("hand-off unit")};
    JackUnit peerUnits[2];
    for (int k = 0; k < 2; ++k) {
        if (!peerUnits[k].start(o.devsim, peerPorts[k], o.serial, &why, kinds[k])) {
            peers[k]->error = why;
            return;
        }
    }
    Xvfb xvfb;
    if (!xvfb.start(&why)) {
        for (Comparison* p : peers)
            p->error = why;
        return;
    }
    auto peerRun = [&](PeerKind kind, const JackUnit& against, int timeoutMs) {
        PeerRequest request;
        request.kind = kind;
        request.program = QCoreApplication::applicationFilePath();
        request.platform = QStringLiteral("xcb");
        request.display = xvfb.display();
        request.unitOutput = against.outputPort();
        request.unitInput = against.inputPort();
        request.messages = o.messages;
        request.timeoutMs = timeoutMs;
        CycleClock cycles;
        // A cycle is 2.67 ms; room for the longest run allowed.
        const bool clocked = cycles.start(std::size_t(timeoutMs / 2 + 100000));
        RunFigures r = runPeer(request);
        if (clocked) {
            r.cycleStarts = cycles.stop();
            r.xruns = cycles.xruns();
        }
        return r;
    };
    const int in = findInputDevice(QString::fromStdString(unit.outputPort()).toStdU16String());
    const int out = findOutputDevice(QString::fromStdString(unit.inputPort()).toStdU16String());
    if (in < 0 || out < 0) {
        c.error = QStringLiteral("the unit's JACK ports %1 and %2 are not among the devices")
                      .arg(QString::fromStdString(unit.outputPort()),
                           QString::fromStdString(unit.inputPort()));
        return;
    }

    const int timeoutMs = o.timeoutMs;
    {
        // The dummy driver wakes late on an idle machine and then drops
        // events; a spinning core keeps it on time.
        BusyCore busy(std::chrono::milliseconds(6 * o.runs * timeoutMs));
        for (int run = 1; run <= o.runs; ++run) {
            // Both kinds of unit in every round, so that a slow phase of the
            // machine hits both.
            for (int k = 0; k < 2; ++k) {
                auto runPeer = [&](PeerKind kind, const QString& who) {
                    progress(QStringLiteral("JACK: run %1 of %2, %3, %4")
                                 .arg(run)
                                 .arg(o.runs)
                                 .arg(kindNames[k], who));
                    return peerRun(kind, peerUnits[k], timeoutMs);
                };
                peers[k]->bare.push_back(
                    runPeer(PeerKind::Bare, QStringLiteral("bare RtMidi host in its own process")));
                peers[k]->tool.push_back(runPeer(
                    PeerKind::Window, QStringLiteral("the tool in its own process, on Xvfb")));
            }
            if (o.peersOnly)
                continue;
            progress(QStringLiteral("JACK: run %1 of %2, the tool").arg(run).arg(o.runs));
            c.tool.push_back(runTool(in, out, o.messages, timeoutMs));
            progress(QStringLiteral("JACK: run %1 of %2, bare RtMidi").arg(run).arg(o.runs));
            c.bare.push_back(rtmidiPingPong(unit.outputPort(), unit.inputPort(), messages,
                                            o.messages, kWatchdogRule, timeoutMs));
        }
    }

    // The spinning core is this process's too: its CPU time says nothing here.
    for (auto* runs : {&c.tool, &c.bare})
        for (RunFigures& r : *runs)
            r.cpu = -1;
    // A window sends the identity request and BeginUpdate before its update
    // begins, a bare client BeginUpdate alone.
    for (int k = 0; k < 2; ++k) {
        Comparison& p = *peers[k];
        noteUnitUpdates(parseUnitSummaries(peerUnits[k].stop()), {&p.bare, &p.tool}, {1, 2});
        p.lateCycles = jack.xruns();
        if (p.error.isEmpty())
            p.error = firstError(p.tool, p.bare);
    }
    if (o.peersOnly) {
        c.skipped = QStringLiteral("left out (--peers-only)");
        jack.stop();
        return;
    }

    // Each run began an update of its own: the tool and the bare RtMidi
    // client in turn. The unit counts an update's messages
    // up to the BeginUpdate that abandons it: a shorter run's count takes in
    // what the next run sent before its own update began, the tool's
    // identity request and BeginUpdate or a bare client's BeginUpdate.
    noteUnitUpdates(parseUnitSummaries(unit.stop()), {&c.tool, &c.bare}, {2, 1});
    c.lateCycles = jack.xruns();
    jack.stop();
    if (c.error.isEmpty())
        c.error = firstError(c.tool, c.bare);
#else
    Q_UNUSED(messages);
    Q_UNUSED(o);
    c.skipped = QStringLiteral("built without JACK");
    for (Comparison* p : peers)
        p->skipped = c.skipped;
#endif
}

} // namespace orvik::bench
