// The controller's state machine when the unit stays silent, starts over or
// answers out of turn: the watchdog slot is invoked by hand, and replies are
// delivered as MIDI events.

#include "ControllerFixture.h"

#include <QtTest>

#include <algorithm>

using namespace testsupport;

class TestControllerWatchdog : public QObject, private ControllerFixture
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void watchdogResendsOnSixthTickThenEverySix();
    void watchdogRollsBackAnUnacknowledgedCommit();
    void lostLastCommitIsSentAgain();
    void restartWhileWaitingForLastAcknowledgement();
#if ORVIK_HAVE_LOOPBACK
    void silentUnitAtTheStartGivesUp();
    void unconfirmedEndIsNoSuccess_data();
    void unconfirmedEndIsNoSuccess();
    void secondRestartRequestAtTheStart_data();
    void secondRestartRequestAtTheStart();
    void repliesOutsideATransferSendNothing_data();
    void repliesOutsideATransferSendNothing();
#endif
};

void TestControllerWatchdog::watchdogResendsOnSixthTickThenEverySix()
{
    pressUpdate(*window);
    runTo(4); // slices 0 to 3 out
    QCOMPARE(window->Session.SendStep, 4u);

    for (int tick = 1; tick <= 5; ++tick) {
        window->comtimeout();
        QCOMPARE(window->Session.SendStep, 4u);
    }
    window->comtimeout();
    QCOMPARE(window->Session.SendStep, 1u); // slice 0 again
    QCOMPARE(window->Session.ImageOffset, 0u);
    QCOMPARE(int(window->WatchdogCountdown), 5);

    acknowledge(*window);
    acknowledge(*window);
    QCOMPARE(window->Session.SendStep, 3u);
    for (int tick = 1; tick <= 6; ++tick)
        window->comtimeout();
    QCOMPARE(window->Session.SendStep, 1u);
    // Re-sends are not retries.
    QCOMPARE(window->Session.RetryCount, 0);
}

void TestControllerWatchdog::watchdogRollsBackAnUnacknowledgedCommit()
{
    pressUpdate(*window);
    runTo(3 * 7); // three blocks committed, the third commit unanswered
    QCOMPARE(window->BlockCounter, 3);
    QCOMPARE(window->Session.SendStep, 7u);
    QCOMPARE(window->Session.CommittedBlocks, 3);

    for (int tick = 1; tick <= 6; ++tick)
        window->comtimeout();
    QCOMPARE(window->BlockCounter, 2);
    QCOMPARE(window->Session.ImageOffset, 2 * kBlockSize);
    QCOMPARE(window->Session.CommittedBlocks, 2);
    QCOMPARE(window->Session.SendStep, 1u);

    // The block goes out whole again and is counted once.
    for (int i = 0; i < 6; ++i)
        acknowledge(*window);
    QCOMPARE(window->BlockCounter, 3);
    QCOMPARE(window->Session.CommittedBlocks, 3);
}

void TestControllerWatchdog::lostLastCommitIsSentAgain()
{
    window->ConnState = Connected;
    pressUpdate(*window);
    runTo(kBlockCount * 7);
    QVERIFY(answerer->texts.isEmpty());

    // The unit may be writing its flash: twenty seconds pass in silence, then
    // the last block goes out again from slice 0.
    tick(20);
    QCOMPARE(window->Session.SendStep, 7u);
    tick(1);
    QVERIFY(answerer->texts.isEmpty());
    QCOMPARE(window->BlockCounter, kBlockCount - 1);
    QCOMPARE(window->Session.ImageOffset, kImageSize - kBlockSize);
    QCOMPARE(window->Session.SendStep, 1u);

    for (int i = 0; i < 6; ++i)
        acknowledge(*window);
    QCOMPARE(window->BlockCounter, kBlockCount);
    QVERIFY(answerer->texts.isEmpty());
    acknowledge(*window);
    QCOMPARE(answerer->texts, QStringList{QStringLiteral("transfer successful")});
}

void TestControllerWatchdog::restartWhileWaitingForLastAcknowledgement()
{
    pressUpdate(*window);
    runTo(kBlockCount * 7);
    deliver(*window, replyFrame(0x2E));
    QCOMPARE(window->BlockCounter, 0);
    QCOMPARE(window->Session.ImageOffset, 0u);
    QCOMPARE(window->Session.SendStep, 1u);
    // The commit cycle carries on across the restart.
    QCOMPARE(window->Session.CommittedBlocks, kBlockCount);
    QVERIFY(answerer->texts.isEmpty());

    acknowledge(*window);
    QVERIFY(answerer->texts.isEmpty());
}

#if ORVIK_HAVE_LOOPBACK
void TestControllerWatchdog::silentUnitAtTheStartGivesUp()
{
    captureSends();
    window->ConnState = Connected;
    pressUpdate(*window);
    QCOMPARE(sentCommands(), (QList<int>{IdentityRequest, BeginUpdate}));
    tick(1);
    QVERIFY(window->progressBar->text().contains(QStringLiteral("erase")));

    // Announced three times in all, twenty seconds of silence before each
    // repeat: a unit erasing its flash hears nothing.
    for (int announcement = 2; announcement <= 3; ++announcement) {
        tick(announcement == 2 ? 19 : 20);
        QVERIFY(sentCommands().isEmpty());
        tick(1);
        QCOMPARE(sentCommands(), QList<int>{BeginUpdate});
    }
    tick(20);
    QVERIFY(answerer->texts.isEmpty());
    tick(1);
    QCOMPARE(answerer->texts.size(), 1);
    QVERIFY(answerer->texts[0].contains(QStringLiteral("did not answer the update request")));
    QCOMPARE(answerer->titles, QStringList{QStringLiteral("Orvik16(KX/LX) Update")});
    QCOMPARE(window->ConnState, int(Connected));
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QVERIFY(window->progressBar->isHidden());
    QCOMPARE(int(window->WatchdogCountdown), -1);
    tick(60);
    // Nothing about the image; after an update that may have reached its
    // end, the questions for the version the unit now runs.
    const QList<int> sent = sentCommands();
    QVERIFY2(std::all_of(sent.begin(), sent.end(), [](int c) { return c == IdentityRequest; }),
             qPrintable(QString::number(sent.size())));

    // The next update starts afresh.
    pressUpdate(*window);
    deliver(*window, replyFrame(0x2E));
    while (answerer->texts.size() < 2)
        acknowledge(*window);
    QCOMPARE(answerer->texts[1], QStringLiteral("transfer successful"));
}

void TestControllerWatchdog::unconfirmedEndIsNoSuccess_data()
{
    QTest::addColumn<bool>("slicesAnswered");
    QTest::newRow("re-sent slices answered, commits not") << true;
    QTest::newRow("silent after the last commit") << false;
}

void TestControllerWatchdog::unconfirmedEndIsNoSuccess()
{
    QFETCH(bool, slicesAnswered);
    window->ConnState = Connected;
    window->refreshControls();
    pressUpdate(*window);
    captureSends();
    runTo(kBlockCount * 7);
    sentCommands();

    const QList<int> wholeBlock{DataSlice, DataSlice, DataSlice,  DataSlice,
                                DataSlice, DataSlice, CommitBlock};
    for (int resend = 1; resend <= 2; ++resend) {
        tick(20);
        QVERIFY(sentCommands().isEmpty());
        tick(1);
        QCOMPARE(sentCommands(), QList<int>{DataSlice});
        QCOMPARE(window->Session.ImageOffset, kImageSize - kBlockSize);
        QVERIFY(window->progressBar->text().contains(QStringLiteral("block 880 sent again")));
        if (slicesAnswered) {
            for (int i = 0; i < 6; ++i)
                acknowledge(*window);
            QCOMPARE(sentCommands(), wholeBlock.mid(1));
        }
    }
    tick(20);
    QVERIFY(answerer->texts.isEmpty());
    tick(1);
    QCOMPARE(answerer->texts.size(), 1);
    QVERIFY(answerer->texts[0].contains(QStringLiteral("did not confirm the last one")));
    QVERIFY(!answerer->texts[0].contains(QStringLiteral("successful")));
    QCOMPARE(window->ConnState, int(Connected));
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->progressBar->isHidden());
    // Only the questions for the version the unit now runs.
    tick(60);
    QCOMPARE(sentCommands(), QList<int>(30, IdentityRequest));

    pressUpdate(*window);
    QCOMPARE(sentCommands(), (QList<int>{IdentityRequest, BeginUpdate}));
    deliver(*window, replyFrame(0x2E));
    while (answerer->texts.size() < 2)
        acknowledge(*window);
    QCOMPARE(answerer->texts[1], QStringLiteral("transfer successful"));
}

void TestControllerWatchdog::secondRestartRequestAtTheStart_data()
{
    QTest::addColumn<int>("acknowledged");
    QTest::addColumn<QList<int>>("afterSecondRestart");
    // Nothing answered since slice 0 went out: it is still on its way.
    QTest::newRow("slice 0 unanswered") << 0 << QList<int>{};
    QTest::newRow("slice 0 answered") << 1 << QList<int>{DataSlice};
}

void TestControllerWatchdog::secondRestartRequestAtTheStart()
{
    QFETCH(int, acknowledged);
    QFETCH(QList<int>, afterSecondRestart);
    captureSends();
    pressUpdate(*window);
    deliver(*window, replyFrame(0x2E));
    for (int i = 0; i < acknowledged; ++i)
        acknowledge(*window);
    sentCommands();

    deliver(*window, replyFrame(0x2E));
    QCOMPARE(sentCommands(), afterSecondRestart);
    QCOMPARE(window->Session.ImageOffset, 0u);
    QCOMPARE(window->Session.SendStep, 1u);
    QCOMPARE(window->Session.RetryCount, 0);
    // The transfer goes on from slice 1 on the next answer.
    acknowledge(*window);
    QCOMPARE(window->Session.SendStep, 2u);
}

void TestControllerWatchdog::repliesOutsideATransferSendNothing_data()
{
    QTest::addColumn<QString>("before");
    QTest::newRow("before any update") << "none";
    QTest::newRow("after success") << "success";
    QTest::newRow("after giving up at the start") << "no answer";
    QTest::newRow("after the unconfirmed end") << "unconfirmed";
}

void TestControllerWatchdog::repliesOutsideATransferSendNothing()
{
    QFETCH(QString, before);
    window->ConnState = Connected;
    window->refreshControls();
    if (before != QLatin1String("none")) {
        pressUpdate(*window);
        if (before == QLatin1String("no answer")) {
            tick(21 * 3);
        } else {
            runTo(kBlockCount * 7);
            if (before == QLatin1String("success"))
                acknowledge(*window);
            else
                tick(21 * 3);
        }
        QCOMPARE(answerer->texts.size(), 1);
    }
    captureSends();
    const std::uint32_t offset = window->Session.ImageOffset;
    const std::uint32_t step = window->Session.SendStep;

    // As a unit left in update mode may send them: the image was prepared
    // for no one, or for an update that has ended.
    deliver(*window, replyFrame(0x2E));
    acknowledge(*window);
    deliver(*window, replyFrame(0x2A));
    deliver(*window, replyFrame(0x2E));
    QCOMPARE(int(window->WatchdogCountdown), -1);
    tick(60);
    // Nothing about the image; after an update that may have reached its
    // end, the questions for the version the unit now runs.
    const QList<int> sent = sentCommands();
    QVERIFY2(std::all_of(sent.begin(), sent.end(), [](int c) { return c == IdentityRequest; }),
             qPrintable(QString::number(sent.size())));
    QCOMPARE(window->Session.ImageOffset, offset);
    QCOMPARE(window->Session.SendStep, step);
    QCOMPARE(answerer->texts.size(), before == QLatin1String("none") ? 0 : 1);
    QVERIFY(window->TransferButton->isEnabled());
}

#endif

QTEST_MAIN(TestControllerWatchdog)
#include "tst_controllerwatchdog.moc"
