#include "AlsaPeers.h"

#include "JackRuns.h"
#include "JackUnit.h"
#include "PeerRun.h"
#include "Protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cstdio>

namespace orvik::bench {

namespace {

constexpr int kMessagesPerUpdate = kBlockCount * (kSliceCount + 1);
// The unit prints an update's summary once it has answered the last
// message; the last run's reply may overtake that line.
constexpr int kUnitLogWaitMs = 10000;

void progress(const QString& text)
{
    std::fprintf(stderr, "orvik16-bench: %s\n", qPrintable(text));
}

qint64 fileSize(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.size() : 0;
}

// What the unit printed from `offset` on, once it holds `wanted` summaries
// or the wait has run out.
QString unitLogFrom(const QString& path, qint64 offset, std::size_t wanted)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QFile file(path);
        QString text;
        if (file.open(QIODevice::ReadOnly) && file.seek(offset))
            text = QString::fromLocal8Bit(file.readAll());
        if (parseUnitSummaries(text).size() >= wanted || waited.elapsed() >= kUnitLogWaitMs)
            return text;
        QThread::msleep(100);
    }
}

} // namespace

void runAlsaPeers(BenchReport& report, const AlsaPeerOptions& o)
{
    Comparison& p = report.usbPeers;
    p.messages = o.messages;
    report.usbUnitPort = o.unitPort;
    QString why;
    Xvfb xvfb;
    if (!xvfb.start(&why)) {
        p.error = why;
        return;
    }
    // Only what the unit prints from now on is about these runs.
    const qint64 logStart = o.unitLog.isEmpty() ? 0 : fileSize(o.unitLog);
    auto peerRun = [&](PeerKind kind) {
        PeerRequest request;
        request.kind = kind;
        request.program = QCoreApplication::applicationFilePath();
        request.platform = QStringLiteral("xcb");
        request.display = xvfb.display();
        request.system = MidiSystem::Alsa;
        request.unitOutput = o.unitPort.toStdString();
        request.unitInput = request.unitOutput;
        request.messages = o.messages;
        request.timeoutMs = o.timeoutMs;
        return runPeer(request);
    };
    // Alternating, so that a slow phase of the machine hits both kinds.
    for (int run = 1; run <= o.runs; ++run) {
        progress(QStringLiteral("ALSA: run %1 of %2, bare RtMidi host in its own process")
                     .arg(run)
                     .arg(o.runs));
        p.bare.push_back(peerRun(PeerKind::Bare));
        progress(QStringLiteral("ALSA: run %1 of %2, the tool in its own process, on Xvfb")
                     .arg(run)
                     .arg(o.runs));
        p.tool.push_back(peerRun(PeerKind::Window));
    }
    if (!o.unitLog.isEmpty()) {
        // A shorter run's update ends only when the next run begins anew,
        // so the last one has no summary until the unit stops.
        const std::size_t runs = p.bare.size() + p.tool.size();
        const std::size_t wanted = o.messages == kMessagesPerUpdate ? runs : runs - 1;
        // A window sends the identity request and BeginUpdate before its
        // update begins, a bare host BeginUpdate alone.
        noteUnitUpdates(parseUnitSummaries(unitLogFrom(o.unitLog, logStart, wanted)),
                        {&p.bare, &p.tool}, {1, 2});
    }
    if (p.error.isEmpty())
        p.error = firstError(p.tool, p.bare);
}

} // namespace orvik::bench
