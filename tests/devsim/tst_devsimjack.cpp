// orvik16-devsim as a separate program on a private JACK server, updated by
// the tool's real window through the winmm layer's JACK devices.

#include "BusyCore.h"
#include "PrivateJack.h"
#include "WindowDriver.h"
#include "WinmmDevices.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace testsupport;

namespace {

constexpr std::uint32_t kSerial = 87654321;
constexpr int kUpdateTimeoutMs = 600000;

} // namespace

class TestDevsimJack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void updateArrivesWhole();
    void signalEndsAnIdleUnit();
    void cleanupTestCase();

private:
    bool startUnit(QProcess& unit, const QString& port, const QStringList& extra);

    orvik::testsupport::PrivateJack jack_;
    QTemporaryDir dir_;
};

void TestDevsimJack::initTestCase()
{
    QVERIFY(dir_.isValid());
    QVERIFY2(jack_.start(), jack_.error().c_str());
}

bool TestDevsimJack::startUnit(QProcess& unit, const QString& port, const QStringList& extra)
{
    const QString ready = dir_.filePath(port + ".ready");
    unit.setProcessChannelMode(QProcess::MergedChannels);
    unit.start(ORVIK_DEVSIM,
               QStringList{"--api", "jack", "--port", port, "--ready-file", ready} + extra);
    if (!unit.waitForStarted(10000))
        return false;
    // The ready file is the program's only promise that its ports exist.
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(ready) && unit.state() == QProcess::Running && waited.elapsed() < 30000)
        unit.waitForFinished(50);
    return QFile::exists(ready);
}

void TestDevsimJack::updateArrivesWhole()
{
    const QString port = QString("sim%1").arg(QCoreApplication::applicationPid());
    QProcess unit;
    // The last answer comes late, from the unit's worker, and the unit ends
    // right after giving it: it must still reach the tool.
    QVERIFY2(startUnit(unit, port,
                       {"--serial", QString::number(kSerial), "--fault", "repeat@50", "--finish-ms",
                        "1000"}),
             unit.readAll().constData());

    // One client holds both ports; the input's name says so.
    const int in = orvik::testsupport::findInputDevice((port + ":" + port).toStdU16String());
    const int out =
        orvik::testsupport::findOutputDevice((port + ":" + port + " in").toStdU16String());
    QVERIFY2(in >= 0 && out >= 0, "the unit's ports are not in the device lists");

    orvik::testsupport::BusyCore busy;
    // The unit runs on the wall clock, and so does the window's watchdog.
    WindowDriver tool;
    // A late server cycle may lose the request or the answer; the window
    // asks again every two seconds.
    QVERIFY(tool.connect(in, out, 60000));
    QCOMPARE(tool.window->DeviceSerial, kSerial);

    const bool finished = tool.update(kUpdateTimeoutMs);
    busy.stop();
    tool.disconnect();
    QVERIFY(finished);
    QVERIFY2(tool.boxText().contains("transfer successful"), qPrintable(tool.boxText()));

    // Having seen the last block, the unit checks the image and exits.
    QVERIFY(unit.waitForFinished(30000));
    const QByteArray log = unit.readAll();
    qInfo("box \"%s\", %d watchdog re-sends, %d late server cycles; the unit said:\n%s",
          qPrintable(tool.boxText()), tool.watchdogResends, jack_.xruns(), log.constData());
    QVERIFY2(unit.exitStatus() == QProcess::NormalExit && unit.exitCode() == 0, log.constData());
    QVERIFY2(log.contains("progress: blocks 440/880"), log.constData());
    QVERIFY2(log.contains("summary: update 1: image matched"), log.constData());
    QVERIFY2(log.contains("injected 1"), log.constData());

    // JACK loses whole events in late cycles and never alters one: when two
    // messages are in flight (an answer came after the watchdog) a lost one
    // shows up as a gap in the slices or the blocks, and what the tool had
    // sent behind it as out of step, but never as damage.
    const QRegularExpression faults("faults ([^,]*),");
    const auto match = faults.match(QString::fromLatin1(log));
    QVERIFY(match.hasMatch());
    for (const QString& item : match.captured(1).split(' ')) {
        const QString kind = item.section('=', 0, 0);
        QVERIFY2(kind == "none" || kind == "slice-order" || kind == "block-address" ||
                     kind == "out-of-step",
                 qPrintable(item));
    }
}

void TestDevsimJack::signalEndsAnIdleUnit()
{
    QProcess unit;
    QVERIFY2(
        startUnit(unit, QString("idle%1").arg(QCoreApplication::applicationPid()), {"--serve"}),
        unit.readAll().constData());
    ::kill(pid_t(unit.processId()), SIGTERM);
    QVERIFY(unit.waitForFinished(10000));
    // Ended cleanly, but no image arrived.
    QCOMPARE(unit.exitStatus(), QProcess::NormalExit);
    QCOMPARE(unit.exitCode(), 1);
}

void TestDevsimJack::cleanupTestCase()
{
    jack_.stop();
}

QTEST_MAIN(TestDevsimJack)
#include "tst_devsimjack.moc"
