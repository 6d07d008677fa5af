// orvik16-bench: how much of an update's time is the tool's own.
//
// An update is 6161 round trips (BeginUpdate and 6160 messages, each sent
// only on the unit's reply to the one before), so the tool's share of every
// round trip is what it adds to the update. Each transport is measured twice
// in the same run: with the tool's real window in the loop, and with a bare
// client that only sends the same bytes to the same unit on each reply.

#include "AlsaPeers.h"
#include "AppSetup.h"
#include "DeviceCodec.h"
#include "Figures.h"
#include "ImageFile.h"
#include "ImagePreparation.h"
#include "InProcessDevice.h"
#include "JackRuns.h"
#include "PeerRun.h"
#include "ProcessStats.h"
#include "Protocol.h"
#include "Report.h"
#include "Runs.h"
#include "UpdateMessages.h"
#include "winmm.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QSysInfo>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

using namespace orvik::bench;

namespace {

constexpr std::uint32_t kSerial = 123456789;
constexpr int kMessagesPerUpdate = kBlockCount * (kSliceCount + 1);
constexpr int kSmokeMessages = 300;
constexpr int kWarmUpMessages = 500;
// A lost message costs the tool's watchdog 5 to 6 seconds; leave room for
// a good number of them before calling a run stuck.
constexpr int kInProcessTimeoutMs = 120000;
constexpr int kJackTimeoutBaseMs = 180000;
constexpr int kJackTimeoutPerMessageMs = 50;
// Under emulation a message through the USB stack takes some 20 to 50 ms on
// a loaded machine.
constexpr int kAlsaTimeoutPerMessageMs = 200;

struct Options
{
    bool smoke = false;
    int messages = kMessagesPerUpdate;
    // In-process runs take under a second each, but two cores shared with
    // other work make single runs differ by half: the median of five.
    int runs = 5;
    // JACK runs differ by the events the server happens to lose and by how
    // each client's answers meet its cycles: the median of five.
    int jackRuns = 5;
    int imageRuns = 50;
    bool jack = true;
    // Only the runs between separate processes, for a quick look.
    bool peersOnly = false;
    bool realtimeJack = false;
    bool check = false;
    // Only the two peers on the ALSA sequencer, against a unit the caller
    // started; whole updates under emulation take minutes: three of each.
    bool alsaPeers = false;
    int alsaRuns = 3;
    QString unitPort;
    QString unitLog;
    // Set when this process is itself a peer of another run of the program.
    QString peer;
    MidiSystem peerSystem = MidiSystem::Jack;
    std::string unitOutput;
    std::string unitInput;
    QString result;
    QString json;
    QString devsim = QStringLiteral(ORVIK_DEVSIM);
};

void progress(const QString& text)
{
    std::fprintf(stderr, "orvik16-bench: %s\n", qPrintable(text));
}

bool parseOptions(const QStringList& arguments, Options& o, QString& message, bool& help)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the updater's own share of an update: image preparation, its latency per\n"
        "message, whole updates in-process and over a private JACK server against bare\n"
        "ping-pong clients and the DIN wire time. Prints a table; --json adds\n"
        "the same figures as JSON. Exits 1 when a part fails; with --check also 3 when a\n"
        "target is missed."));
    const auto helpOption = parser.addHelpOption();
    const QCommandLineOption smoke(QStringLiteral("smoke"),
                                   QStringLiteral("A quick run: %1 messages per part, one run "
                                                  "each, a few image preparations.")
                                       .arg(kSmokeMessages));
    const QCommandLineOption messages(
        QStringLiteral("messages"),
        QStringLiteral("Messages timed per update, 1 to %1 (default: all).")
            .arg(kMessagesPerUpdate),
        QStringLiteral("n"));
    const QCommandLineOption runs(
        QStringLiteral("runs"),
        QStringLiteral("In-process runs of each kind (default 5); with --alsa-peers, runs of\n"
                       "each peer (default 3)."),
        QStringLiteral("n"));
    const QCommandLineOption jackRuns(QStringLiteral("jack-runs"),
                                      QStringLiteral("JACK runs of each kind (default 5)."),
                                      QStringLiteral("n"));
    const QCommandLineOption imageRuns(QStringLiteral("image-runs"),
                                       QStringLiteral("Image preparations (default 50)."),
                                       QStringLiteral("n"));
    const QCommandLineOption noJack(QStringLiteral("no-jack"),
                                    QStringLiteral("Leave out the JACK part."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write the figures as JSON to FILE ('-': "
                                                 "standard output, after the table)."),
                                  QStringLiteral("file"));
    const QCommandLineOption devsim(QStringLiteral("devsim"),
                                    QStringLiteral("The orvik16-devsim program to use."),
                                    QStringLiteral("path"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Exit with 3 when a target is missed."));
    const QCommandLineOption realtimeJack(
        QStringLiteral("realtime-jack"),
        QStringLiteral("Run the private JACK server at realtime priority, as JACK does by\n"
                       "default (default: --no-realtime, as the tests do)."));
    const QCommandLineOption peersOnly(
        QStringLiteral("peers-only"),
        QStringLiteral("Over JACK only the runs between separate processes; nothing in-process."));
    const QCommandLineOption alsaPeers(
        QStringLiteral("alsa-peers"),
        QStringLiteral("Instead of the in-process and JACK parts: the bare host and the window,\n"
                       "each in its own process, on the ALSA sequencer against a unit already\n"
                       "running behind --unit-port (--runs of each, default 3). For a USB-MIDI\n"
                       "interface inside an emulated kernel: bench/usb-in-kernel.sh."));
    const QCommandLineOption unitPort(
        QStringLiteral("unit-port"),
        QStringLiteral("With --alsa-peers: the unit's port as the lists name it, without the\n"
                       "sequencer's address, e.g. \"Zelvo 2x2 MIDI 2\"."),
        QStringLiteral("name"));
    const QCommandLineOption unitLog(
        QStringLiteral("unit-log"),
        QStringLiteral("With --alsa-peers: the file the unit (orvik16-devsim --serve) prints to,\n"
                       "for what it made of each update."),
        QStringLiteral("file"));
    // The program runs itself as the bare client or the tool in a process of
    // its own; these are how it tells that process what to do.
    QCommandLineOption peer(QStringLiteral("peer"), QStringLiteral("Internal: run as a peer."),
                            QStringLiteral("bare|window"));
    QCommandLineOption unitOutput(QStringLiteral("unit-output"),
                                  QStringLiteral("Internal: the unit's output port."),
                                  QStringLiteral("port"));
    QCommandLineOption unitInput(QStringLiteral("unit-input"),
                                 QStringLiteral("Internal: the unit's input port."),
                                 QStringLiteral("port"));
    QCommandLineOption result(QStringLiteral("result"),
                              QStringLiteral("Internal: where a peer writes its figures."),
                              QStringLiteral("file"));
    QCommandLineOption api(QStringLiteral("api"),
                           QStringLiteral("Internal: the MIDI system a peer uses."),
                           QStringLiteral("jack|alsa"));
    for (QCommandLineOption* internal : {&peer, &unitOutput, &unitInput, &result, &api})
        internal->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({smoke, messages, runs, jackRuns, imageRuns, noJack, json, devsim, check,
                       peersOnly, realtimeJack, alsaPeers, unitPort, unitLog, peer, unitOutput,
                       unitInput, result, api});
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return false;
    }
    if (parser.isSet(helpOption)) {
        help = true;
        message = parser.helpText();
        return true;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return false;
    }
    if (parser.isSet(smoke)) {
        o.smoke = true;
        o.messages = kSmokeMessages;
        o.runs = 1;
        o.jackRuns = 1;
        o.alsaRuns = 1;
        o.imageRuns = 3;
    }
    auto number = [&](const QCommandLineOption& option, int min, int max, int& into) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < min || value > max) {
            message = QStringLiteral("--%1 '%2' is not a number from %3 to %4")
                          .arg(option.names().first(), parser.value(option))
                          .arg(min)
                          .arg(max);
            return false;
        }
        into = value;
        return true;
    };
    o.alsaPeers = parser.isSet(alsaPeers);
    if (!number(messages, 1, kMessagesPerUpdate, o.messages) ||
        !number(runs, 1, 100, o.alsaPeers ? o.alsaRuns : o.runs) ||
        !number(jackRuns, 1, 20, o.jackRuns) || !number(imageRuns, 1, 100000, o.imageRuns))
        return false;
    o.unitPort = parser.value(unitPort);
    o.unitLog = parser.value(unitLog);
    if (o.alsaPeers && o.unitPort.isEmpty()) {
        message = QStringLiteral("--alsa-peers needs the unit's port (--unit-port)");
        return false;
    }
    if (!o.alsaPeers && (parser.isSet(unitPort) || parser.isSet(unitLog))) {
        message = QStringLiteral("--unit-port and --unit-log go with --alsa-peers");
        return false;
    }
    o.jack = !parser.isSet(noJack);
    o.check = parser.isSet(check);
    o.peersOnly = parser.isSet(peersOnly);
    o.realtimeJack = parser.isSet(realtimeJack);
    o.peer = parser.value(peer);
    o.unitOutput = parser.value(unitOutput).toStdString();
    o.unitInput = parser.value(unitInput).toStdString();
    o.result = parser.value(result);
    if (!o.peer.isEmpty() && !peerKind(o.peer)) {
        message = QStringLiteral("--peer '%1' is neither bare nor window").arg(o.peer);
        return false;
    }
    if (parser.isSet(api)) {
        const auto system = midiSystem(parser.value(api));
        if (!system) {
            message = QStringLiteral("--api '%1' is neither jack nor alsa").arg(parser.value(api));
            return false;
        }
        o.peerSystem = *system;
    }
    o.json = parser.value(json);
    if (parser.isSet(devsim))
        o.devsim = parser.value(devsim);
    return true;
}

// The layer's probe is known by its setter; an unstripped updater names
// every function it holds, and one built with the probe holds this one.
int probeInUpdater(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray image = file.readAll();
    if (image.contains("setProbeHook"))
        return 1;
    // Without a symbol table nothing can be told either way.
    return image.contains("midiOutLongMsg") ? 0 : -1;
}

QString machineText()
{
    QString cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& row : info.readAll().split('\n')) {
            if (row.startsWith("model name")) {
                cpu = QString::fromLatin1(row.mid(row.indexOf(':') + 1)).simplified();
                break;
            }
        }
    }
    return QStringLiteral("%1 build, Qt %2, %3 cores%4, %5 %6")
        .arg(QStringLiteral(ORVIK_BENCH_BUILD_TYPE), QString::fromLatin1(qVersion()))
        .arg(std::thread::hardware_concurrency())
        .arg(cpu.isEmpty() ? QString() : QStringLiteral(" (") + cpu + QLatin1Char(')'))
        .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion());
}

ImagePreparationFigures measureImagePreparation(int runs)
{
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kImageBufferSize]());
    std::vector<double> total;
    for (int i = 0; i < runs; ++i) {
        const double start = wallSeconds();
        prepareImage(buffer.get(), kSerial);
        total.push_back(wallSeconds() - start);
    }
    ImagePreparationFigures f;
    f.runs = runs;
    f.total = summarize(total);
    return f;
}

QString outcomeText(orvik::devsim::UpdateReport::Outcome outcome)
{
    using Outcome = orvik::devsim::UpdateReport::Outcome;
    switch (outcome) {
    case Outcome::Matched:
        return QStringLiteral("image matched");
    case Outcome::Differs:
        return QStringLiteral("image DIFFERS");
    case Outcome::Abandoned:
        return QStringLiteral("abandoned");
    case Outcome::Running:
        break;
    }
    return QStringLiteral("incomplete");
}

// What the in-process unit made of the run that just ended.
void noteUnit(RunFigures& r, orvik::devsim::SimulatorHost& host, int completedBefore)
{
    const bool whole = r.roundTrips == kMessagesPerUpdate + 1;
    host.waitUntil(
        [&](const orvik::devsim::DeviceSimulator& s) {
            return whole ? s.stats().updatesCompleted > completedBefore
                         : s.report().messages >= std::uint64_t(r.roundTrips);
        },
        std::chrono::seconds(10));
    const auto report = host.report();
    r.unitReceived = std::int64_t(report.messages);
    r.unitOutcome = outcomeText(report.outcome);
    if (r.ok && whole && report.outcome != orvik::devsim::UpdateReport::Outcome::Matched) {
        r.ok = false;
        r.error = QStringLiteral("the unit's image: ") + r.unitOutcome;
    }
}

void runInProcess(Comparison& c, const std::vector<Bytes>& messages, const Options& o)
{
    QString why;
    auto image = orvik::devsim::loadImage(QString::fromLatin1(kImageResourcePath), &why);
    if (!image) {
        c.error = why;
        return;
    }
    orvik::devsim::DeviceSettings settings;
    settings.serialNumber = kSerial;
    orvik::devsim::InProcessDevice unit("Orvik16 KX", settings, std::move(*image));
    auto& host = unit.host();
    const int in = unit.inputDeviceNumber();
    const int out = unit.outputDeviceNumber();

    if (!o.smoke) {
        progress(QStringLiteral("in-process: warming up"));
        runTool(in, out, std::min(o.messages, kWarmUpMessages), kInProcessTimeoutMs);
        winmmPingPong(in, out, messages, std::min(o.messages, kWarmUpMessages), kNoRecovery,
                      kInProcessTimeoutMs);
    }
    c.messages = o.messages;
    // Alternating, so that a slow phase of the machine hits both kinds.
    for (int run = 1; run <= o.runs; ++run) {
        progress(QStringLiteral("in-process: run %1 of %2").arg(run).arg(o.runs));
        int completed = host.stats().updatesCompleted;
        RunFigures tool = runTool(in, out, o.messages, kInProcessTimeoutMs);
        noteUnit(tool, host, completed);
        c.tool.push_back(std::move(tool));
        completed = host.stats().updatesCompleted;
        // In-process nothing gets lost: a silence means the run is stuck.
        RunFigures bare =
            winmmPingPong(in, out, messages, o.messages, kNoRecovery, kInProcessTimeoutMs);
        noteUnit(bare, host, completed);
        c.bare.push_back(std::move(bare));
    }
    if (c.error.isEmpty())
        c.error = firstError(c.tool, c.bare);
}

// The parts the options ask for; each part left out says why.
void runParts(BenchReport& report, const std::vector<Bytes>& messages, const Options& o)
{
    if (o.alsaPeers) {
        AlsaPeerOptions alsa;
        alsa.messages = o.messages;
        alsa.runs = o.alsaRuns;
        alsa.unitPort = o.unitPort;
        alsa.unitLog = o.unitLog;
        alsa.timeoutMs = kJackTimeoutBaseMs + o.messages * kAlsaTimeoutPerMessageMs;
        runAlsaPeers(report, alsa);
        for (Comparison* c : {&report.inProcess, &report.jack, &report.peers, &report.handOffPeers})
            c->skipped = QStringLiteral("left out (--alsa-peers)");
        return;
    }
    report.usbPeers.skipped = QStringLiteral(
        "needs --alsa-peers and a unit behind a USB-MIDI interface (bench/usb-in-kernel.sh)");
    if (!o.peersOnly)
        runInProcess(report.inProcess, messages, o);
    else
        report.inProcess.skipped = QStringLiteral("left out (--peers-only)");
    if (!o.jack) {
        report.jack.skipped = QStringLiteral("left out (--no-jack)");
        report.peers.skipped = report.jack.skipped;
        report.handOffPeers.skipped = report.jack.skipped;
        return;
    }
    JackRunOptions jack;
    jack.messages = o.messages;
    jack.runs = o.jackRuns;
    jack.peersOnly = o.peersOnly;
    jack.realtime = o.realtimeJack;
    jack.devsim = o.devsim;
    jack.serial = kSerial;
    jack.timeoutMs = kJackTimeoutBaseMs + o.messages * kJackTimeoutPerMessageMs;
    runJack(report, messages, jack);
}

} // namespace

int main(int argc, char* argv[])
{
    // The window is real but never shown on a screen: figures must not
    // depend on a display server.
    // A peer window gets its platform from the run that started it.
    bool isPeer = false;
    for (int i = 1; i < argc; ++i)
        isPeer = isPeer || std::strcmp(argv[i], "--peer") == 0;
    if (!isPeer)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    setApplicationIdentity();
    installApplicationStyle();
    QApplication app(argc, argv);

    Options options;
    QString message;
    bool help = false;
    if (!parseOptions(QCoreApplication::arguments(), options, message, help)) {
        std::fprintf(stderr, "orvik16-bench: %s\nTry 'orvik16-bench --help'.\n",
                     qPrintable(message));
        return 2;
    }
    if (help) {
        std::printf("%s", qPrintable(message));
        return 0;
    }

    if (!options.peer.isEmpty()) {
        std::vector<Bytes> messages;
        QString why;
        const PeerKind kind = *peerKind(options.peer);
        if (kind != PeerKind::Window && !captureUpdateMessages(kSerial, messages, &why)) {
            std::fprintf(stderr, "orvik16-bench: %s\n", qPrintable(why));
            return 1;
        }
        const int perMessageMs = options.peerSystem == MidiSystem::Alsa ? kAlsaTimeoutPerMessageMs
                                                                        : kJackTimeoutPerMessageMs;
        const int timeoutMs = kJackTimeoutBaseMs + options.messages * perMessageMs;
        return peerMain(kind, options.peerSystem, options.unitOutput, options.unitInput,
                        options.messages, timeoutMs, options.result, messages);
    }

    BenchReport report;
    report.machine = machineText();
    report.command = QCoreApplication::arguments().join(QLatin1Char(' '));
    report.smoke = options.smoke;
    report.realtimeJack = options.realtimeJack;
    report.probeInUpdater = probeInUpdater(QStringLiteral(ORVIK_UPDATER));
    report.messages = options.messages;
    report.serial = kSerial;

    progress(QStringLiteral("capturing the update's messages"));
    std::vector<Bytes> messages;
    QString why;
    if (!captureUpdateMessages(kSerial, messages, &why)) {
        std::fprintf(stderr, "orvik16-bench: %s\n", qPrintable(why));
        return 1;
    }
    std::vector<std::size_t> sizes;
    for (std::size_t i = 1; i < messages.size(); ++i)
        sizes.push_back(messages[i].size());
    report.din = dinWireModel(sizes, orvik::devsim::shortReply(kReplyAckSlice).size());

    progress(QStringLiteral("image preparation"));
    report.image = measureImagePreparation(options.imageRuns);
    runParts(report, messages, options);

    printTable(stdout, report);
    const QByteArray json = QJsonDocument(toJson(report)).toJson(QJsonDocument::Indented);
    if (options.json == QLatin1String("-")) {
        std::printf("\n%s", json.constData());
    } else if (!options.json.isEmpty()) {
        QFile file(options.json);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(json) < 0) {
            std::fprintf(stderr, "orvik16-bench: cannot write %s\n", qPrintable(options.json));
            return 1;
        }
    }
    std::fflush(stdout);

    if (!report.inProcess.error.isEmpty() || !report.jack.error.isEmpty() ||
        !report.peers.error.isEmpty() || !report.handOffPeers.error.isEmpty() ||
        !report.usbPeers.error.isEmpty())
        return 1;
    if (options.check) {
        for (const Target& t : evaluateTargets(report))
            if (!t.met())
                return 3;
    }
    return 0;
}
