#include "PeerRun.h"

#include "MainWindow.h"
#include "MidiPorts.h"
#include "winmm.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#ifdef ORVIK_BENCH_HAVE_JACK
#include <jack/jack.h>
#endif

#include <chrono>

namespace orvik::bench {

namespace {

// Under emulation on a loaded machine the server takes well over 15 s to
// name its display.
constexpr int kXvfbStartMs = 60000;
// Starting a window and listing the ports comes on top of the run itself.
constexpr int kPeerStartMs = 60000;

template <class Caps, class Query>
int findDevice(const std::string& name, Query query)
{
    const std::u16string wanted = QString::fromStdString(name).toStdU16String();
    for (UINT id = 0; id < 1000; ++id) {
        Caps caps{};
        if (query(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return -1;
        if (std::u16string_view(reinterpret_cast<const char16_t*>(caps.szPname)) == wanted)
            return static_cast<int>(id);
    }
    return -1;
}

// The unit's port as the window's lists number it: JACK's names fit the
// caps whole, ALSA's are read whole from the layer.
int findUnitDevice(bool input, MidiSystem system, const std::string& name)
{
    if (system == MidiSystem::Jack)
        return input ? findDevice<MIDIINCAPSW>(name, &midiInGetDevCapsW)
                     : findDevice<MIDIOUTCAPSW>(name, &midiOutGetDevCapsW);
    for (const MidiPortInfo& port : ReadMidiPorts(input))
        if (unitPortMatches(system, QString::fromStdU16String(port.name).toStdString(), name))
            return static_cast<int>(port.device);
    return -1;
}

} // namespace

QJsonObject runToJson(const RunFigures& r)
{
    // Marks as two flat arrays: a whole update has some 30,000 of them.
    QJsonArray kinds;
    QJsonArray times;
    for (const Mark& m : r.marks) {
        kinds.append(static_cast<int>(m.kind));
        times.append(QString::number(m.ns));
    }
    return QJsonObject{{QStringLiteral("ok"), r.ok},
                       {QStringLiteral("error"), r.error},
                       {QStringLiteral("round_trips"), r.roundTrips},
                       {QStringLiteral("wall"), r.wall},
                       {QStringLiteral("cpu"), r.cpu},
                       {QStringLiteral("gui_cpu"), r.guiCpu},
                       {QStringLiteral("sent"), QString::number(r.sent)},
                       {QStringLiteral("replies"), QString::number(r.replies)},
                       {QStringLiteral("resent"), QString::number(r.resent)},
                       {QStringLiteral("box"), r.boxText},
                       {QStringLiteral("mark_kinds"), kinds},
                       {QStringLiteral("mark_ns"), times}};
}

RunFigures runFromJson(const QJsonObject& o)
{
    RunFigures r;
    r.ok = o.value(QStringLiteral("ok")).toBool();
    r.error = o.value(QStringLiteral("error")).toString();
    r.roundTrips = o.value(QStringLiteral("round_trips")).toInt();
    r.wall = o.value(QStringLiteral("wall")).toDouble();
    r.cpu = o.value(QStringLiteral("cpu")).toDouble();
    r.guiCpu = o.value(QStringLiteral("gui_cpu")).toDouble();
    r.sent = o.value(QStringLiteral("sent")).toString().toULongLong();
    r.replies = o.value(QStringLiteral("replies")).toString().toULongLong();
    r.resent = o.value(QStringLiteral("resent")).toString().toULongLong();
    r.boxText = o.value(QStringLiteral("box")).toString();
    const QJsonArray kinds = o.value(QStringLiteral("mark_kinds")).toArray();
    const QJsonArray times = o.value(QStringLiteral("mark_ns")).toArray();
    for (qsizetype i = 0; i < kinds.size() && i < times.size(); ++i) {
        const int kind = kinds[i].toInt();
        if (kind >= 0 && kind < kMarkKinds)
            r.marks.push_back(Mark{static_cast<MarkKind>(kind), times[i].toString().toLongLong()});
    }
    return r;
}

Xvfb::~Xvfb()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
}

bool Xvfb::start(QString* error)
{
    // The server picks a free display and names it on the given descriptor.
    process_.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!process_.waitForStarted(kXvfbStartMs)) {
        *error = QStringLiteral("cannot start Xvfb: ") + process_.errorString();
        return false;
    }
    QByteArray out;
    while (!out.contains('\n') && process_.waitForReadyRead(kXvfbStartMs))
        out += process_.readAllStandardOutput();
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        *error = QStringLiteral("Xvfb named no display: ") +
                 QString::fromLocal8Bit(process_.readAllStandardError()).trimmed();
        return false;
    }
    display_ = QLatin1Char(':') + QString::number(number);
    return true;
}

CycleClock::~CycleClock()
{
    stop();
}

#ifdef ORVIK_BENCH_HAVE_JACK
bool CycleClock::start(std::size_t capacity)
{
    stop();
    starts_.assign(capacity, 0);
    next_ = 0;
    // Preallocated: the callback runs on the client's own thread and must
    // not allocate. Far more than a run's worth on an idle machine.
    xruns_.assign(4096, 0);
    nextXrun_ = 0;
    jack_status_t status{};
    auto* client = jack_client_open("orvik16-bench cycles", JackNoStartServer, &status);
    if (!client)
        return false;
    client_ = client;
    jack_set_process_callback(client, &CycleClock::process, this);
    jack_set_xrun_callback(client, &CycleClock::xrun, this);
    return jack_activate(client) == 0;
}

std::vector<std::int64_t> CycleClock::stop()
{
    if (!client_)
        return {};
    jack_client_close(static_cast<jack_client_t*>(client_));
    client_ = nullptr;
    std::vector<std::int64_t> out(
        starts_.begin(), starts_.begin() + std::ptrdiff_t(std::min(next_.load(), starts_.size())));
    return out;
}

std::int64_t CycleClock::steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int CycleClock::xrun(void* self)
{
    auto* clock = static_cast<CycleClock*>(self);
    const std::size_t slot = clock->nextXrun_.fetch_add(1, std::memory_order_relaxed);
    if (slot < clock->xruns_.size())
        clock->xruns_[slot] = steadyNs();
    return 0;
}

int CycleClock::process(std::uint32_t, void* self)
{
    auto* clock = static_cast<CycleClock*>(self);
    auto* client = static_cast<jack_client_t*>(clock->client_);
    jack_nframes_t frames = 0;
    jack_time_t cycleStart = 0;
    jack_time_t nextStart = 0;
    float period = 0;
    if (jack_get_cycle_times(client, &frames, &cycleStart, &nextStart, &period) != 0)
        return 0;
    // The server's clock and the steady clock may differ by an offset: take
    // the cycle's age on the server's and subtract it from the steady now.
    const jack_time_t age = jack_get_time() - cycleStart;
    const std::int64_t now = steadyNs();
    const std::size_t slot = clock->next_.fetch_add(1, std::memory_order_relaxed);
    if (slot < clock->starts_.size())
        clock->starts_[slot] = now - std::int64_t(age) * 1000;
    return 0;
}

#else
bool CycleClock::start(std::size_t)
{
    return false;
}

std::vector<std::int64_t> CycleClock::stop()
{
    return {};
}

int CycleClock::process(std::uint32_t, void*)
{
    return 0;
}
#endif

std::vector<std::int64_t> CycleClock::xruns() const
{
    return {xruns_.begin(),
            xruns_.begin() + std::ptrdiff_t(std::min(nextXrun_.load(), xruns_.size()))};
}

QString peerName(PeerKind kind)
{
    switch (kind) {
    case PeerKind::Window:
        return QStringLiteral("window");
    case PeerKind::Bare:
        break;
    }
    return QStringLiteral("bare");
}

std::optional<PeerKind> peerKind(const QString& name)
{
    for (PeerKind kind : {PeerKind::Bare, PeerKind::Window})
        if (name == peerName(kind))
            return kind;
    return std::nullopt;
}

QString midiSystemName(MidiSystem system)
{
    return system == MidiSystem::Alsa ? QStringLiteral("alsa") : QStringLiteral("jack");
}

std::optional<MidiSystem> midiSystem(const QString& name)
{
    for (MidiSystem system : {MidiSystem::Jack, MidiSystem::Alsa})
        if (name == midiSystemName(system))
            return system;
    return std::nullopt;
}

RunFigures runPeer(const PeerRequest& request)
{
    RunFigures r;
    r.roundTrips = request.messages + 1;
    QTemporaryDir dir;
    const QString result = dir.filePath(QStringLiteral("peer.json"));
    QProcess peer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (request.kind == PeerKind::Window) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), request.platform);
        if (!request.display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), request.display);
    }
    peer.setProcessEnvironment(env);
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(request.program,
               {QStringLiteral("--peer"), peerName(request.kind), QStringLiteral("--api"),
                midiSystemName(request.system), QStringLiteral("--unit-output"),
                QString::fromStdString(request.unitOutput), QStringLiteral("--unit-input"),
                QString::fromStdString(request.unitInput), QStringLiteral("--messages"),
                QString::number(request.messages), QStringLiteral("--result"), result});
    if (!peer.waitForFinished(request.timeoutMs + kPeerStartMs)) {
        peer.kill();
        peer.waitForFinished();
        r.error = QStringLiteral("the peer did not end in time");
        return r;
    }
    QFile file(result);
    if (!file.open(QIODevice::ReadOnly)) {
        r.error = QStringLiteral("the peer wrote no figures (exit status %1): %2")
                      .arg(peer.exitCode())
                      .arg(QString::fromLocal8Bit(peer.readAllStandardOutput()).trimmed());
        return r;
    }
    return runFromJson(QJsonDocument::fromJson(file.readAll()).object());
}

int peerMain(PeerKind kind, MidiSystem system, const std::string& unitOutput,
             const std::string& unitInput, int messages, int timeoutMs, const QString& resultFile,
             const std::vector<Bytes>& updateMessages)
{
    RunFigures r;
    if (kind != PeerKind::Window) {
        constexpr Recovery kWatchdogRule{MainWindow::kWatchdogIntervalMs,
                                         MainWindow::kWatchdogTicks};
        r = rtmidiPingPong(unitOutput, unitInput, updateMessages, messages, kWatchdogRule,
                           timeoutMs, Answer::OnMainThread, system);
    } else {
        const int in = findUnitDevice(true, system, unitOutput);
        const int out = findUnitDevice(false, system, unitInput);
        if (in < 0 || out < 0)
            r.error =
                QStringLiteral("the unit's ports %1 and %2 are not among the devices")
                    .arg(QString::fromStdString(unitOutput), QString::fromStdString(unitInput));
        else
            r = runTool(in, out, messages, timeoutMs);
    }
    QFile file(resultFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(QJsonDocument(runToJson(r)).toJson(QJsonDocument::Compact)) < 0)
        return 1;
    return 0;
}

} // namespace orvik::bench
