// The simulator program's options: what is taken, what is refused and how.

#include "CommandLine.h"

#include <QProcess>
#include <QTest>

using namespace orvik::devsim;

class TestDevsimCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void rejected_data();
    void rejected();
    void accepted();
    void programExitsTwoOnBadOptions();
};

void TestDevsimCommandLine::rejected_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << "bogus";
    QTest::newRow("positional") << QStringList{"extra"} << "extra";
    QTest::newRow("serial too big") << QStringList{"--serial", "4294967296"} << "--serial";
    QTest::newRow("serial not a number") << QStringList{"--serial", "12ab"} << "--serial";
    QTest::newRow("firmware minor too big") << QStringList{"--firmware", "2.64"} << "--firmware";
    QTest::newRow("firmware number too big") << QStringList{"--firmware", "16384"} << "--firmware";
    QTest::newRow("firmware three parts") << QStringList{"--firmware", "2.0.6"} << "--firmware";
    QTest::newRow("name too long") << QStringList{"--name", "seventeen chars!!"} << "--name";
    QTest::newRow("name not ASCII") << QStringList{"--name", "K\u00e4se"} << "--name";
    QTest::newRow("api") << QStringList{"--api", "coremidi"} << "--api";
    QTest::newRow("rawmidi blank") << QStringList{"--rawmidi", " "} << "--rawmidi";
    QTest::newRow("jack clients") << QStringList{"--api", "jack", "--jack-clients", "3"}
                                  << "--jack-clients '3'";
    // On ALSA, or behind an interface, the option would say nothing.
    QTest::newRow("jack clients left to auto")
        << QStringList{"--jack-clients", "two"} << "needs --api jack";
    QTest::newRow("jack clients behind an interface")
        << QStringList{"--api", "jack", "--rawmidi", "hw:1,0", "--jack-clients", "one"}
        << "needs --api jack";
    QTest::newRow("fault kind") << QStringList{"--fault", "loud@3"} << "loud";
    QTest::newRow("fault number") << QStringList{"--fault", "silent@x"} << "silent@x";
    QTest::newRow("random count") << QStringList{"--random-faults", "6161"} << "--random-faults";
    QTest::newRow("late") << QStringList{"--late-ms", "-5"} << "--late-ms";
    QTest::newRow("overdue") << QStringList{"--overdue-ms", "x"} << "--overdue-ms";
    QTest::newRow("fault kinds") << QStringList{"--fault-kinds", "silent,,late"} << "--fault-kinds";
    QTest::newRow("on-bad") << QStringList{"--on-bad", "shout"} << "--on-bad";
    QTest::newRow("erase") << QStringList{"--erase-ms", "8s"} << "--erase-ms";
    QTest::newRow("finish") << QStringList{"--finish-ms", "600001"} << "--finish-ms";
    QTest::newRow("missing value") << QStringList{"--serial"} << "serial";
}

void TestDevsimCommandLine::rejected()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);

    Options options;
    QString message;
    QCOMPARE(parseCommandLine(QStringList{"orvik16-devsim"} + arguments, options, message),
             ParseStatus::Error);
    QVERIFY2(message.contains(complaint), qPrintable(message));
}

void TestDevsimCommandLine::accepted()
{
    Options options;
    QString message;
    const QStringList arguments = {"orvik16-devsim",
                                   "--serial",
                                   "0x0FFFFFFF",
                                   "--firmware",
                                   "1.10",
                                   "--name",
                                   "LX bench",
                                   "--port",
                                   "Bench",
                                   "--api",
                                   "JACK",
                                   "--jack-clients",
                                   "Two",
                                   "--serve",
                                   "--fault",
                                   "silent@120",
                                   "--fault",
                                   "late@3,4",
                                   "--seed",
                                   "42",
                                   "--random-faults",
                                   "3",
                                   "--late-ms",
                                   "250",
                                   "--overdue-ms",
                                   "6001",
                                   "--fault-kinds",
                                   "doubled,overdue",
                                   "--on-bad",
                                   "ignore",
                                   "--quiet",
                                   "--ready-file",
                                   "/tmp/ready",
                                   "--erase-ms",
                                   "8000",
                                   "--finish-ms",
                                   "7000",
                                   "--no-final-answer",
                                   "--restart-after-identity",
                                   "--lenient",
                                   "--linger-ms",
                                   "900"};
    QCOMPARE(parseCommandLine(arguments, options, message), ParseStatus::Run);

    const DeviceSettings& s = options.settings;
    QCOMPARE(s.serialNumber, 0x0FFFFFFFu);
    QCOMPARE(s.firmwareVersion, std::uint16_t(0x0A01)); // shown as 1.10
    QCOMPARE(s.name, std::string("LX bench"));
    QCOMPARE(options.portName, QString("Bench"));
    QCOMPARE(options.api, MidiApi::Jack);
    QCOMPARE(options.jackClients, JackClients::Two);
    QVERIFY(options.serve && options.quiet);
    QCOMPARE(s.faults.describe(), std::string("late@3 late@4 silent@120"));
    QCOMPARE(options.randomFaults, 3);
    QVERIFY(options.seedGiven);
    QCOMPARE(options.seed, 42u);
    QCOMPARE(s.lateDelay, std::chrono::milliseconds(250));
    QCOMPARE(s.overdueDelay, std::chrono::milliseconds(6001));
    QCOMPARE(options.randomKinds,
             (1u << int(Injection::Doubled)) | (1u << int(Injection::Overdue)));
    QCOMPARE(s.onBadMessage, BadMessageReply::Ignore);
    QCOMPARE(options.readyFile, QString("/tmp/ready"));
    QCOMPARE(s.eraseTime, std::chrono::milliseconds(8000));
    QCOMPARE(s.finishTime, std::chrono::milliseconds(7000));
    QVERIFY(!s.answersLastCommit && s.restartAfterIdentity && !s.strict);
    QCOMPARE(options.linger, std::chrono::milliseconds(900));

    // A unit as strict as real hardware unless told otherwise.
    Options plain;
    QCOMPARE(parseCommandLine({"orvik16-devsim"}, plain, message), ParseStatus::Run);
    QVERIFY(plain.settings.strict && plain.settings.answersLastCommit);
    QVERIFY(!plain.settings.restartAfterIdentity);
    QCOMPARE(plain.randomKinds, kAllInjectionKinds);
    QCOMPARE(plain.settings.eraseTime.count(), 0);
    QCOMPARE(plain.jackClients, JackClients::One);

    QCOMPARE(parseCommandLine({"orvik16-devsim", "--help"}, options, message), ParseStatus::Help);
    QVERIFY(message.contains("--ready-file"));
}

void TestDevsimCommandLine::programExitsTwoOnBadOptions()
{
    QProcess program;
    program.start(ORVIK_DEVSIM, {"--fault", "nope@1"});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    QVERIFY(program.readAllStandardError().contains("unknown fault 'nope'"));

    program.start(ORVIK_DEVSIM, {"--image", "/nonexistent/image.bin"});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitCode(), 2);
}

QTEST_GUILESS_MAIN(TestDevsimCommandLine)
#include "tst_devsimcommandline.moc"
