// The image is scrambled for one unit's serial number; any other unit must
// never receive it. Cables can move to a second unit while the window shows
// the first, so the window asks before an update and listens during and
// after it.

#include "WindowDriver.h"

#include <QtTest>

using namespace testsupport;

namespace {
constexpr std::uint32_t kFirstUnit = 123456789; // shows as 586-638-764
constexpr std::uint32_t kSecondUnit = 42;       // shows as 040-000-020
} // namespace

class TestWhichUnit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void silentUnitGetsNoImage();
    void anotherUnitDuringTheUpdateStopsIt();
    void versionReadBackOnlyFromTheUpdatedUnit();
    void secondUnitOnTheSamePortsBeforeUpdate();

private:
    MainWindow* window = nullptr;
    MessageBoxAnswerer* answerer = nullptr;
};

void TestWhichUnit::init()
{
    window = new MainWindow;
    window->show();
    window->initController();
    window->WatchdogTimer->stop();
    answerer = new MessageBoxAnswerer;
    window->ConnState = Connected;
    deliver(*window, identityReply(kFirstUnit, 0x0602));
    window->refreshControls();
}

void TestWhichUnit::cleanup()
{
    delete answerer;
    delete window;
}

void TestWhichUnit::silentUnitGetsNoImage()
{
    window->Transfer();
    for (int tick = 0; tick < 9; ++tick)
        window->comtimeout();
    QVERIFY(answerer->texts.isEmpty());
    window->comtimeout();
    QCOMPARE(answerer->texts.size(), 1);
    QVERIFY(answerer->texts[0].contains(QStringLiteral("did not answer when asked who it is")));
    QVERIFY(!window->transferRunning());
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->progressBar->isHidden());
    // A late answer now starts nothing.
    deliver(*window, identityReply(kFirstUnit, 0x0602));
    QVERIFY(!window->transferRunning());
}

void TestWhichUnit::anotherUnitDuringTheUpdateStopsIt()
{
    pressUpdate(*window);
    deliver(*window, replyFrame(0x2E));
    // The same unit saying who it is changes nothing.
    deliver(*window, identityReply(kFirstUnit, 0x0602));
    QVERIFY(window->transferRunning());
    QVERIFY(answerer->texts.isEmpty());

    deliver(*window, identityReply(kSecondUnit, 0x0602));
    QVERIFY(!window->transferRunning());
    QCOMPARE(answerer->texts.size(), 1);
    QVERIFY(answerer->texts[0].contains(QStringLiteral("Another unit answered during the update")));
    QVERIFY(answerer->texts[0].contains(QStringLiteral("586-638-764")));
    QCOMPARE(window->SnEdit->text(), QStringLiteral("040-000-020"));
    // Its answers move nothing of the image any more.
    const std::uint32_t step = window->Session.SendStep;
    acknowledge(*window);
    QCOMPARE(window->Session.SendStep, step);
    QCOMPARE(int(window->WatchdogCountdown), -1);
}

void TestWhichUnit::versionReadBackOnlyFromTheUpdatedUnit()
{
    pressUpdate(*window);
    deliver(*window, replyFrame(0x2E));
    while (answerer->texts.isEmpty())
        acknowledge(*window);
    QCOMPARE(answerer->texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(window->Version.running());

    deliver(*window, identityReply(kSecondUnit, 0x0602));
    QVERIFY(
        window->ResultNote.label()->text().contains(QStringLiteral("not the unit just updated")));
    QVERIFY(!window->ResultNote.label()->text().contains(QStringLiteral("now runs")));
    QCOMPARE(answerer->texts.size(), 1);
}

// Cables moved to a second unit after Connect: Update must not send it the
// image scrambled for the first.
void TestWhichUnit::secondUnitOnTheSamePortsBeforeUpdate()
{
    // The driver's window and its own answerer stand in for the fixture's.
    delete answerer;
    answerer = nullptr;
    orvik::devsim::DeviceSettings settings;
    settings.serialNumber = kFirstUnit;
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QCOMPARE(tool.window->SnEdit->text(), QStringLiteral("586-638-764"));

    unit.host().configure([](auto& s) { s.serialNumber = kSecondUnit; });
    tool.pressUpdate();
    QVERIFY(tool.finish());
    QVERIFY2(tool.boxText().contains(QStringLiteral("Another unit answered")),
             qPrintable(tool.boxText()));
    QCOMPARE(unit.host().stats().updatesBegun, 0);
    QCOMPARE(tool.window->SnEdit->text(), QStringLiteral("040-000-020"));
    QVERIFY(tool.window->TransferButton->isEnabled());

    // Update again: this is the unit the window now shows.
    QVERIFY(tool.update());
    QCOMPARE(tool.boxText(), QStringLiteral("transfer successful"));
    QVERIFY(unit.host().waitUntil([](const auto& sim) { return sim.stats().updatesMatched == 1; },
                                  std::chrono::seconds(10)));
}

QTEST_MAIN(TestWhichUnit)
#include "tst_whichunit.moc"
