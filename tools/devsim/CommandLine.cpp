#include "CommandLine.h"

#include "FirmwareVersion.h"
#include "ImagePreparation.h"

#include <QCommandLineParser>

namespace orvik::devsim {

namespace {

constexpr std::uint32_t kMaxVersion = (1u << 14) - 1;
constexpr int kMaxNameLength = 16;
constexpr qint64 kMaxDelayMs = 600000;

bool parseUnsigned(const QString& text, std::uint64_t max, std::uint64_t& value)
{
    bool ok = false;
    const qulonglong v = text.trimmed().toULongLong(&ok, 0); // 0x... accepted
    if (!ok || v > max)
        return false;
    value = v;
    return true;
}

// "2.06" as the tool shows it (major in the low byte, minor in the second),
// or the raw 14-bit number.
bool parseFirmware(const QString& text, std::uint16_t& version)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    std::uint64_t value = 0;
    if (parts.size() == 1) {
        if (!parseUnsigned(parts[0], kMaxVersion, value))
            return false;
        version = static_cast<std::uint16_t>(value);
        return true;
    }
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (parts.size() != 2 || parts[0].isEmpty() || parts[1].isEmpty() ||
        !parseUnsigned(parts[0], 255, major) || !parseUnsigned(parts[1], kMaxVersion >> 8, minor))
        return false;
    version = static_cast<std::uint16_t>(major | (minor << 8));
    return true;
}

bool validName(const QString& name)
{
    if (name.size() > kMaxNameLength)
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

} // namespace

ParseStatus parseCommandLine(const QStringList& arguments, Options& options, QString& message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated Orvik16 unit on virtual MIDI ports. It answers the updater, checks every\n"
        "message it receives, rebuilds and descrambles the image and compares it with the\n"
        "plain image byte for byte.\n"
        "\n"
        "Faults are injected at message numbers counted from the BeginUpdate of each update,\n"
        "which is message 0; the first data slice is message 1 and the last commit of a clean\n"
        "update is message 6160. Kinds, of the unit: silent (no answer), repeat (asks for the\n"
        "block again), restart (asks for the image again), late (answer after --late-ms),\n"
        "unrelated and oversized (foreign traffic before the answer); of the transport:\n"
        "duplicate (the answer arrives twice), doubled (the unit receives the message twice,\n"
        "and answers both), overdue (answer after --overdue-ms, past the updater's 5-6 s\n"
        "watchdog). The updater waits for the acknowledgement of the last commit, so any\n"
        "kind may fall on it too.\n"
        "\n"
        "The unit is strict unless --lenient: it holds the updater to one message in flight\n"
        "(a second one counts as two-in-flight unless the unit had been silent for 5 s), to\n"
        "nothing after its last answer of an update (after-end), and to nothing stale after a\n"
        "repeat or restart request (out-of-step). Whatever arrives while it erases or writes is\n"
        "lost and counts as busy. The last line printed is the verdict: \"verdict: clean\" or\n"
        "the faults counted.\n"
        "\n"
        "Exit status: 0 when a complete image arrived and matched (with --serve: at least one,\n"
        "and every complete one matched), 1 otherwise, 2 for bad options."));
    const QCommandLineOption help = parser.addHelpOption();

    const QCommandLineOption serial(QStringLiteral("serial"),
                                    QStringLiteral("Serial number (0 to 4294967295; only bits 0-27 "
                                                   "reach the updater). Default 123456789."),
                                    QStringLiteral("n"));
    const QCommandLineOption firmware(
        QStringLiteral("firmware"),
        QStringLiteral("Firmware version as MAJOR.MINOR (e.g. 2.06) or a 14-bit number. "
                       "Default 2.06."),
        QStringLiteral("version"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("Unit name, up to 16 printable ASCII characters. "
                                                 "Default \"Orvik16 KX\"."),
                                  QStringLiteral("text"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Name of both virtual ports; on JACK one client of that name, its "
                       "input port named \"<name> in\" (see --jack-clients). Default "
                       "\"Orvik16 KX\"."),
        QStringLiteral("name"));
    const QCommandLineOption api(
        QStringLiteral("api"),
        QStringLiteral("MIDI system: alsa, jack or auto (ALSA when /dev/snd/seq exists, else a "
                       "running JACK server). Default auto."),
        QStringLiteral("api"));
    const QCommandLineOption serve(QStringLiteral("serve"),
                                   QStringLiteral("Serve update after update until interrupted, "
                                                  "instead of exiting after the first."));
    const QCommandLineOption fault(
        QStringLiteral("fault"),
        QStringLiteral("Inject a fault, KIND@MESSAGE[,MESSAGE...]; repeatable."),
        QStringLiteral("kind@n"));
    const QCommandLineOption randomFaults(
        QStringLiteral("random-faults"),
        QStringLiteral("Inject N faults of random kinds (see --fault-kinds) at random messages "
                       "1-6160."),
        QStringLiteral("n"));
    const QCommandLineOption faultKinds(
        QStringLiteral("fault-kinds"),
        QStringLiteral("Kinds --random-faults draws from, e.g. duplicate,doubled,overdue. "
                       "Default: all."),
        QStringLiteral("list"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of --random-faults (default: random, "
                                                 "printed at start)."),
                                  QStringLiteral("s"));
    const QCommandLineOption lateMs(QStringLiteral("late-ms"),
                                    QStringLiteral("Delay of a late answer in ms. Default 1500."),
                                    QStringLiteral("ms"));
    const QCommandLineOption overdueMs(
        QStringLiteral("overdue-ms"),
        QStringLiteral("Delay of an overdue answer in ms. Default 7000."), QStringLiteral("ms"));
    const QCommandLineOption onBad(
        QStringLiteral("on-bad"),
        QStringLiteral("Answer to a faulty message: repeat (ask for the block again) or ignore "
                       "(say nothing). Default repeat."),
        QStringLiteral("answer"));
    const QCommandLineOption image(QStringLiteral("image"),
                                   QStringLiteral("Plain image to compare with. Default: the one "
                                                  "built into this program."),
                                   QStringLiteral("file"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print only the summary line of each update."));
    const QCommandLineOption readyFile(
        QStringLiteral("ready-file"),
        QStringLiteral("Create this file once the ports exist, for scripts to wait on."),
        QStringLiteral("path"));
    const QCommandLineOption eraseMs(
        QStringLiteral("erase-ms"),
        QStringLiteral("Time to erase the flash before answering a begin-update. Default 0."),
        QStringLiteral("ms"));
    const QCommandLineOption finishMs(
        QStringLiteral("finish-ms"),
        QStringLiteral("Time to write and check before answering the last commit. Default 0."),
        QStringLiteral("ms"));
    const QCommandLineOption noFinalAnswer(
        QStringLiteral("no-final-answer"),
        QStringLiteral("Take the last commit and answer nothing more, as a unit that restarts "
                       "into its new firmware at once."));
    const QCommandLineOption restartAfterIdentity(
        QStringLiteral("restart-after-identity"),
        QStringLiteral("Send a restart request right after every identity reply, as a unit left "
                       "in update mode may."));
    const QCommandLineOption lenient(
        QStringLiteral("lenient"),
        QStringLiteral("Forgive stale, doubled and late messages as long as the image arrives."));
    const QCommandLineOption lingerMs(
        QStringLiteral("linger-ms"),
        QStringLiteral("After the update has ended, keep listening this long and count what still "
                       "arrives. Default 0."),
        QStringLiteral("ms"));
    const QCommandLineOption loseIdentity(
        QStringLiteral("lose-identity"),
        QStringLiteral("Lose the answers to the first N identity requests."), QStringLiteral("n"));
    parser.addOptions(
        {serial,  firmware,     name,        port,     api,           serve,
         fault,   randomFaults, seed,        lateMs,   onBad,         image,
         quiet,   readyFile,    eraseMs,     finishMs, noFinalAnswer, restartAfterIdentity,
         lenient, lingerMs,     loseIdentity});
    // A unit restarting into its new firmware after the update.
    const QCommandLineOption rebootMs(
        QStringLiteral("reboot-ms"),
        QStringLiteral("After an update whose image arrived whole, restart: hear nothing for this "
                       "long after the last answer, then answer identity requests with "
                       "--new-version (the old version if the image did not match)."),
        QStringLiteral("ms"));
    const QCommandLineOption newVersion(
        QStringLiteral("new-version"),
        QStringLiteral("Version reported after the restart, as --firmware takes it; implies a "
                       "restart. Default: the version of the built-in image."),
        QStringLiteral("version"));
    parser.addOption(rebootMs);
    parser.addOption(newVersion);

    const QCommandLineOption rawMidi(
        QStringLiteral("rawmidi"),
        QStringLiteral("Be the unit behind this raw MIDI device of ALSA (e.g. hw:1,0), as behind "
                       "a MIDI interface, instead of on ports of our own; hw:CARD,DEVICE,N is "
                       "its subdevice N alone (port N+1 of a multi-port interface), and CARD "
                       "may be the card's id. Linux only."),
        QStringLiteral("device"));
    parser.addOption(rawMidi);
    const QCommandLineOption jackClients(
        QStringLiteral("jack-clients"),
        QStringLiteral("How the unit appears on JACK (needs --api jack): one (default) is one "
                       "client with both ports that answers inside JACK's process callback, in "
                       "the cycle that brought the message, as a unit behind an interface does; "
                       "two is an RtMidi input client \"<port> in\" and an RtMidi output client "
                       "\"<port>\" whose input hands each message to the unit's own thread, "
                       "which answers from there, as many MIDI programs are built. For "
                       "measuring a host against both kinds."),
        QStringLiteral("one|two"));
    parser.addOption(jackClients);
    parser.addOption(faultKinds);
    parser.addOption(overdueMs);

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return ParseStatus::Error;
    }
    if (parser.isSet(help)) {
        message = parser.helpText();
        return ParseStatus::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return ParseStatus::Error;
    }

    auto error = [&](const QString& text) {
        message = text;
        return ParseStatus::Error;
    };
    std::uint64_t value = 0;
    DeviceSettings& s = options.settings;

    if (parser.isSet(serial)) {
        if (!parseUnsigned(parser.value(serial), 0xFFFFFFFFu, value))
            return error(QStringLiteral("--serial '%1' is not a number from 0 to 4294967295")
                             .arg(parser.value(serial)));
        s.serialNumber = static_cast<std::uint32_t>(value);
    }
    if (parser.isSet(firmware) && !parseFirmware(parser.value(firmware), s.firmwareVersion))
        return error(QStringLiteral("--firmware '%1' is neither MAJOR.MINOR (major up to 255, "
                                    "minor up to 63) nor a number up to 16383")
                         .arg(parser.value(firmware)));
    if (parser.isSet(name)) {
        const QString text = parser.value(name);
        if (!validName(text))
            return error(QStringLiteral("--name '%1' must be at most 16 printable ASCII "
                                        "characters")
                             .arg(text));
        s.name = text.toStdString();
    }
    if (parser.isSet(port)) {
        options.portName = parser.value(port);
        if (options.portName.trimmed().isEmpty())
            return error(QStringLiteral("--port needs a name"));
    }
    if (parser.isSet(api)) {
        const QString text = parser.value(api).toLower();
        if (text == QLatin1String("alsa"))
            options.api = MidiApi::Alsa;
        else if (text == QLatin1String("jack"))
            options.api = MidiApi::Jack;
        else if (text == QLatin1String("auto"))
            options.api = MidiApi::Auto;
        else
            return error(QStringLiteral("--api '%1' is not alsa, jack or auto").arg(text));
    }
    if (parser.isSet(rawMidi)) {
        options.rawMidi = parser.value(rawMidi).trimmed();
        if (options.rawMidi.isEmpty())
            return error(QStringLiteral("--rawmidi needs a device such as hw:1,0"));
    }
    if (parser.isSet(jackClients)) {
        const QString text = parser.value(jackClients).toLower();
        if (text == QLatin1String("one"))
            options.jackClients = JackClients::One;
        else if (text == QLatin1String("two"))
            options.jackClients = JackClients::Two;
        else
            return error(QStringLiteral("--jack-clients '%1' is not one or two").arg(text));
        // Left to --api auto, a machine with ALSA would quietly make it
        // mean nothing.
        if (options.api != MidiApi::Jack || !options.rawMidi.isEmpty())
            return error(QStringLiteral("--jack-clients needs --api jack and no --rawmidi"));
    }
    options.serve = parser.isSet(serve);
    options.quiet = parser.isSet(quiet);
    options.readyFile = parser.value(readyFile);
    options.imagePath =
        parser.isSet(image) ? parser.value(image) : QString::fromLatin1(kImageResourcePath);

    for (const QString& text : parser.values(fault)) {
        std::string why;
        if (!s.faults.addFromText(text.toStdString(), &why))
            return error(QStringLiteral("--fault: %1").arg(QString::fromStdString(why)));
    }
    if (parser.isSet(randomFaults)) {
        if (!parseUnsigned(parser.value(randomFaults), 6160, value))
            return error(QStringLiteral("--random-faults '%1' is not a number from 0 to 6160")
                             .arg(parser.value(randomFaults)));
        options.randomFaults = static_cast<int>(value);
    }
    if (parser.isSet(faultKinds)) {
        std::string why;
        const auto kinds = injectionKindsFromText(parser.value(faultKinds).toStdString(), &why);
        if (!kinds)
            return error(QStringLiteral("--fault-kinds: %1").arg(QString::fromStdString(why)));
        options.randomKinds = *kinds;
    }
    if (parser.isSet(seed)) {
        if (!parseUnsigned(parser.value(seed), ~std::uint64_t{0}, options.seed))
            return error(QStringLiteral("--seed '%1' is not a number").arg(parser.value(seed)));
        options.seedGiven = true;
    }
    auto milliseconds = [&](const QCommandLineOption& option, std::chrono::milliseconds& to) {
        if (!parser.isSet(option))
            return true;
        if (!parseUnsigned(parser.value(option), kMaxDelayMs, value)) {
            message = QStringLiteral("--%1 '%2' is not a number from 0 to %3")
                          .arg(option.names().first(), parser.value(option))
                          .arg(kMaxDelayMs);
            return false;
        }
        to = std::chrono::milliseconds(value);
        return true;
    };
    if (!milliseconds(lateMs, s.lateDelay) || !milliseconds(overdueMs, s.overdueDelay) ||
        !milliseconds(eraseMs, s.eraseTime) || !milliseconds(finishMs, s.finishTime) ||
        !milliseconds(lingerMs, options.linger))
        return ParseStatus::Error;
    s.answersLastCommit = !parser.isSet(noFinalAnswer);
    s.restartAfterIdentity = parser.isSet(restartAfterIdentity);
    s.strict = !parser.isSet(lenient);
    if (parser.isSet(loseIdentity)) {
        if (!parseUnsigned(parser.value(loseIdentity), ~std::uint64_t{0}, s.identityRepliesLost))
            return error(QStringLiteral("--lose-identity '%1' is not a number")
                             .arg(parser.value(loseIdentity)));
    }
    if (parser.isSet(rebootMs) || parser.isSet(newVersion)) {
        s.restartsAfterUpdate = true;
        s.newFirmwareVersion = static_cast<std::uint16_t>(kFirmwareVersion);
        if (!milliseconds(rebootMs, s.rebootTime))
            return ParseStatus::Error;
        if (parser.isSet(newVersion) &&
            !parseFirmware(parser.value(newVersion), s.newFirmwareVersion))
            return error(QStringLiteral("--new-version '%1' is neither MAJOR.MINOR (major up to "
                                        "255, minor up to 63) nor a number up to 16383")
                             .arg(parser.value(newVersion)));
    }
    if (parser.isSet(onBad)) {
        const QString text = parser.value(onBad).toLower();
        if (text == QLatin1String("repeat"))
            s.onBadMessage = BadMessageReply::Repeat;
        else if (text == QLatin1String("ignore"))
            s.onBadMessage = BadMessageReply::Ignore;
        else
            return error(QStringLiteral("--on-bad '%1' is not repeat or ignore").arg(text));
    }
    return ParseStatus::Run;
}

} // namespace orvik::devsim
