// orvik16-devsim: a simulated Orvik16 unit on virtual MIDI ports, for trying
// the updater without hardware and for proving that a whole image arrives.

#include "CommandLine.h"
#include "ImageFile.h"
#include "SimulatorHost.h"
#include "VirtualPorts.h"
#ifdef ORVIK_HAVE_ALSA_RAWMIDI
#include "RawMidiPort.h"
#endif

#include "Protocol.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <random>
#include <thread>

using namespace orvik::devsim;

namespace {

constexpr int kExitMismatch = 1;
constexpr int kExitUsage = 2;
constexpr int kFaultLinesPerUpdate = 20;

std::string firmwareText(std::uint16_t version)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", version & 0xFFu, (version >> 8) & 0xFFu);
    return text;
}

std::string summaryLine(const UpdateReport& r)
{
    std::string outcome;
    switch (r.outcome) {
    case UpdateReport::Outcome::Matched:
        outcome = "image matched";
        break;
    case UpdateReport::Outcome::Differs:
        outcome = "image DIFFERS from byte " + std::to_string(r.firstDifference);
        break;
    case UpdateReport::Outcome::Abandoned:
        outcome = "incomplete, abandoned for a new begin-update";
        break;
    case UpdateReport::Outcome::Running:
        outcome = "incomplete, interrupted";
        break;
    }
    return "summary: update " + std::to_string(r.number) + ": " + outcome + "; blocks " +
           std::to_string(r.blocksPresent) + "/" + std::to_string(kBlockCount) + ", commits " +
           std::to_string(r.commits) + ", messages " + std::to_string(r.messages) + ", faults " +
           describe(r.faults) + ", repeats asked " + std::to_string(r.repeatsAsked) +
           ", restarts asked " + std::to_string(r.restartsAsked) + ", injected " +
           std::to_string(r.injected);
}

// Prints what the unit sees, on the host's worker thread.
class Log
{
public:
    Log(bool quiet, const DeviceSettings& settings) : quiet_(quiet), settings_(settings) {}

    void operator()(const Event& e)
    {
        using Kind = Event::Kind;
        if (e.kind == Kind::UpdateEnded) {
            std::printf("%s\n", summaryLine(*e.report).c_str());
            faultLines_ = 0;
            return;
        }
        if (quiet_)
            return;
        switch (e.kind) {
        case Kind::IdentityRequest:
            if (!e.detail.empty()) {
                std::printf("identity request: answer %s\n", e.detail.c_str());
                break;
            }
            std::printf("identity request: answered serial %u, firmware %s, name \"%s\"%s\n",
                        settings_.serialNumber & 0x0FFFFFFFu, firmwareText(e.firmware).c_str(),
                        settings_.name.c_str(),
                        settings_.restartAfterIdentity ? ", then asked for a restart" : "");
            break;
        case Kind::BeginUpdate:
            faultLines_ = 0;
            std::printf("begin update accepted: version %u.%02u, %u bytes; asking for block 0\n",
                        kImageVersionMajor, kImageVersionMinor, kImageSize);
            break;
        case Kind::BeginRefused:
            std::printf("begin update refused\n");
            break;
        case Kind::Progress:
            std::printf("progress: %s\n", e.detail.c_str());
            break;
        case Kind::FaultFound:
            if (++faultLines_ <= kFaultLinesPerUpdate)
                std::printf("message %llu: fault %s: %s\n",
                            static_cast<unsigned long long>(e.message), faultName(e.fault),
                            e.detail.c_str());
            else if (faultLines_ == kFaultLinesPerUpdate + 1)
                std::printf("(further faults counted, not shown)\n");
            break;
        case Kind::Injected:
            std::printf("message %llu: injected %s\n", static_cast<unsigned long long>(e.message),
                        injectionName(e.injection));
            break;
        case Kind::Restarting:
            std::printf("restarting: %s\n", e.detail.c_str());
            break;
        case Kind::UpdateEnded:
            break;
        }
    }

private:
    bool quiet_;
    DeviceSettings settings_;
    int faultLines_ = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    // Output usually goes to a log that scripts watch while we run.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Signals are taken by one thread with sigwait, never by a handler in
    // the middle of the simulator's work; every later thread inherits this.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvik16-devsim"));

    Options options;
    QString message;
    switch (parseCommandLine(QCoreApplication::arguments(), options, message)) {
    case ParseStatus::Help:
        std::printf("%s", qPrintable(message));
        return 0;
    case ParseStatus::Error:
        std::fprintf(stderr, "orvik16-devsim: %s\nTry 'orvik16-devsim --help'.\n",
                     qPrintable(message));
        return kExitUsage;
    case ParseStatus::Run:
        break;
    }

    QString why;
    auto image = loadImage(options.imagePath, &why);
    if (!image) {
        std::fprintf(stderr, "orvik16-devsim: %s\n", qPrintable(why));
        return kExitUsage;
    }

    DeviceSettings& settings = options.settings;
    if (options.randomFaults > 0) {
        if (!options.seedGiven)
            options.seed = std::random_device{}();
        settings.faults.merge(
            FaultSchedule::random(options.randomFaults, options.seed, 6160, options.randomKinds));
        std::printf("random faults: seed %llu\n", static_cast<unsigned long long>(options.seed));
    }
    if (!settings.faults.empty() && !options.quiet)
        std::printf("faults: %s\n", settings.faults.describe().c_str());

    SimulatorHost host(settings, std::move(*image), Log(options.quiet, settings));
    VirtualPorts ports;
    // Sending only hands the bytes to the MIDI system or the kernel's
    // buffer, so an answer due at once may leave from the thread that
    // brought the message, as a unit's own answer leaves at once. A program
    // of two JACK clients hands every message to its own thread instead,
    // and answers from there.
    const bool handsOff = options.jackClients == JackClients::Two;
    host.setAnswerInline(!handsOff);
#ifdef ORVIK_HAVE_ALSA_RAWMIDI
    RawMidiPort raw;
#endif
    const bool useRaw = !options.rawMidi.isEmpty();
    host.start([&](const std::vector<std::uint8_t>& bytes) {
#ifdef ORVIK_HAVE_ALSA_RAWMIDI
        if (useRaw) {
            raw.send(bytes);
            return;
        }
#endif
        ports.send(bytes);
    });

    std::string error;
    const auto post = [&host](const std::uint8_t* data, std::size_t size) {
        host.post(data, size);
    };
    std::string portName = options.portName.toStdString();
    const char* apiName = "RAWMIDI";
    bool opened = false;
    if (useRaw) {
        portName = options.rawMidi.toStdString();
#ifdef ORVIK_HAVE_ALSA_RAWMIDI
        // A unit whose interface went away keeps running, deaf and mute,
        // and hears again once the interface is back.
        opened = raw.open(
            portName, post,
            [](const std::string& why) {
                std::printf("raw MIDI device lost: %s\n", why.c_str());
                std::fflush(stdout);
            },
            [] {
                std::printf("raw MIDI device back\n");
                std::fflush(stdout);
            },
            &error);
#else
        error = "this build has no raw MIDI support";
#endif
    } else {
        opened = ports.open(options.api, options.jackClients, portName, post, &error);
        apiName = ports.apiName();
    }
    if (!opened) {
        host.stop();
        std::fprintf(stderr, "orvik16-devsim: cannot open the %s: %s\n",
                     useRaw ? "raw MIDI device" : "virtual ports", error.c_str());
        return kExitMismatch;
    }
    if (useRaw)
        std::printf("unit ready behind raw MIDI device %s", portName.c_str());
    else
        std::printf("unit ready on %s ports \"%s\"%s", apiName, portName.c_str(),
                    handsOff ? " (two clients, answering from the unit's thread)" : "");
    std::printf(": serial %u, firmware %s, name \"%s\"\n", settings.serialNumber & 0x0FFFFFFFu,
                firmwareText(settings.firmwareVersion).c_str(), settings.name.c_str());

    if (!options.readyFile.isEmpty()) {
        QFile ready(options.readyFile);
        if (!ready.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            ready.write(QByteArray(apiName) + ' ' + QByteArray::fromStdString(portName) + '\n') <
                0) {
            std::fprintf(stderr, "orvik16-devsim: cannot write %s: %s\n",
                         qPrintable(options.readyFile), qPrintable(ready.errorString()));
            host.stop();
            return kExitUsage;
        }
    }

    std::atomic<bool> interrupted{false};
    std::thread signalWatcher([&] {
        int received = 0;
        sigwait(&handled, &received);
        if (received != SIGUSR1)
            interrupted = true;
        host.wake();
    });

    const bool serve = options.serve;
    while (!host.waitUntil(
        [&](const DeviceSimulator& s) {
            return interrupted || (!serve && s.stats().updatesCompleted > 0);
        },
        std::chrono::hours(1))) {
    }

    if (!interrupted && settings.restartsAfterUpdate) {
        // Up again, the unit stays until the tool has asked it who it is now.
        host.waitUntil(
            [&](const DeviceSimulator& s) {
                return interrupted || s.stats().identityAfterRestart > 0;
            },
            settings.rebootTime + std::chrono::seconds(90));
        std::printf("after the restart: %llu identity requests answered\n",
                    static_cast<unsigned long long>(host.stats().identityAfterRestart));
    }

    if (!interrupted && options.linger.count() > 0) {
        // Whatever a tool sends after the unit's last answer is counted.
        const auto before = host.stats().messagesReceived;
        host.waitUntil([&](const DeviceSimulator&) { return interrupted.load(); }, options.linger);
        std::printf("after the end: %llu messages in %lld ms\n",
                    static_cast<unsigned long long>(host.stats().messagesReceived - before),
                    static_cast<long long>(options.linger.count()));
    }

    // After a finished update the last acknowledgement is still to go out.
    host.stop(!interrupted);
    ports.close();
#ifdef ORVIK_HAVE_ALSA_RAWMIDI
    raw.close();
    // Not the tool's fault nor the unit's, but a loss all the same: said
    // next to the verdict, never folded into it.
    if (useRaw)
        std::printf("interface: %llu bytes dropped before the unit read them\n",
                    static_cast<unsigned long long>(raw.dropped()));
#endif
    if (!interrupted)
        pthread_kill(signalWatcher.native_handle(), SIGUSR1);
    signalWatcher.join();

    const Stats stats = host.stats();
    const UpdateReport last = host.report();
    if (interrupted && last.outcome == UpdateReport::Outcome::Running && last.number > 0)
        std::printf("%s\n", summaryLine(last).c_str());
    // Whether a box that says success can be true: only this answer may end
    // the update in the tool.
    if (last.outcome == UpdateReport::Outcome::Matched ||
        last.outcome == UpdateReport::Outcome::Differs)
        std::printf("last commit: %s\n", last.lastCommitAnswered ? "confirmed" : "not confirmed");
    // Everything the unit counted since it started, after-the-end included.
    std::printf("verdict: %s\n",
                total(stats.faults) ? ("faults " + describe(stats.faults)).c_str() : "clean");
    const bool success =
        stats.updatesCompleted > 0 && stats.updatesMatched == stats.updatesCompleted;
    return success ? 0 : kExitMismatch;
}
