// A transport may double, delay or drop any answer. The controller must never
// take such an answer for the answer to the message in flight: that runs it
// ahead of the unit, and a slice's answer taken for a lost commit's counts a
// block the unit never committed, shifting every later tag by one.

#include "ControllerTestSupport.h"

#include <QtTest>

using namespace testsupport;

namespace {
constexpr std::uint8_t kSliceAnswer = 0x29;
constexpr std::uint8_t kCommitAnswer = 0x2A;
constexpr std::uint8_t kRestartRequest = 0x2E;
} // namespace

class TestStayingInStep : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void doubledSliceAnswerThenLostCommitCountsNoBlock();
    void lateSliceAnswerIsNoConfirmationOfTheLastCommit();
    void strayAnswerSendsNothing_data();
    void strayAnswerSendsNothing();
    void unreadableImageSaysSoAndGivesTheWindowBack();

private:
    void startTransfer();
    void tick(int ticks);

    MainWindow* window = nullptr;
    MessageBoxAnswerer* answerer = nullptr;
};

void TestStayingInStep::init()
{
    window = new MainWindow;
    window->show();
    window->initController();
    window->WatchdogTimer->stop();
    answerer = new MessageBoxAnswerer;
}

void TestStayingInStep::cleanup()
{
    delete answerer;
    delete window;
}

void TestStayingInStep::startTransfer()
{
    window->ConnState = Connected;
    window->refreshControls();
    pressUpdate(*window);
    deliver(*window, replyFrame(kRestartRequest));
    QCOMPARE(window->Session.SendStep, 1u);
}

void TestStayingInStep::tick(int ticks)
{
    for (int i = 0; i < ticks; ++i)
        window->comtimeout();
}

// The one path by which a wrong image reached a unit: two messages in flight
// after a doubled answer, then the commit lost on the way.
void TestStayingInStep::doubledSliceAnswerThenLostCommitCountsNoBlock()
{
    startTransfer();
    for (int i = 0; i < 4; ++i)
        deliver(*window, replyFrame(kSliceAnswer)); // slices 1 to 4 out
    // Slice 4's answer comes twice: slice 5 and the commit go out at once.
    deliver(*window, replyFrame(kSliceAnswer));
    deliver(*window, replyFrame(kSliceAnswer));
    QCOMPARE(window->Session.SendStep, 7u);
    QCOMPARE(window->Session.CommittedBlocks, 1);

    // The commit never reached the unit; its answer to slice 5 comes in.
    deliver(*window, replyFrame(kSliceAnswer));
    QCOMPARE(window->Session.SendStep, 7u);
    QCOMPARE(window->SavedBlockCounter, 0);
    QCOMPARE(window->Session.StrayAcknowledgements, 1);

    // Silence: the block goes out again, its commit with the same tag.
    tick(6);
    QCOMPARE(window->Session.ImageOffset, 0u);
    QCOMPARE(window->Session.CommittedBlocks, 0);
    QCOMPARE(window->BlockCounter, 0);
    QCOMPARE(window->Session.SendStep, 1u);
    for (int i = 0; i < 6; ++i)
        acknowledge(*window);
    acknowledge(*window);
    QCOMPARE(window->SavedBlockCounter, 1);
    QCOMPARE(window->Session.ImageOffset, kBlockSize);
    QCOMPARE(window->Session.SendStep, 1u);
}

void TestStayingInStep::lateSliceAnswerIsNoConfirmationOfTheLastCommit()
{
    startTransfer();
    while (window->BlockCounter < kBlockCount)
        acknowledge(*window);
    QCOMPARE(window->Session.SendStep, 7u);

    deliver(*window, replyFrame(kSliceAnswer));
    QVERIFY(answerer->texts.isEmpty());
    QVERIFY(window->progressBar->isVisible());

    deliver(*window, replyFrame(kCommitAnswer));
    QCOMPARE(answerer->texts, QStringList{QStringLiteral("transfer successful")});
}

void TestStayingInStep::strayAnswerSendsNothing_data()
{
    QTest::addColumn<int>("messagesOut"); // of the image, before the stray
    QTest::addColumn<int>("stray");
    QTest::newRow("commit's answer while a slice is out") << 3 << int(kCommitAnswer);
    QTest::newRow("commit's answer twice") << 8 << int(kCommitAnswer);
    QTest::newRow("slice's answer while the commit is out") << 7 << int(kSliceAnswer);
}

void TestStayingInStep::strayAnswerSendsNothing()
{
    QFETCH(int, messagesOut);
    QFETCH(int, stray);
    startTransfer();
    for (int out = 1; out < messagesOut; ++out)
        acknowledge(*window);
    const std::uint32_t offset = window->Session.ImageOffset;
    const std::uint32_t step = window->Session.SendStep;

    tick(2);
    deliver(*window, replyFrame(std::uint8_t(stray)));
    QCOMPARE(window->Session.ImageOffset, offset);
    QCOMPARE(window->Session.SendStep, step);
    QCOMPARE(window->Session.StrayAcknowledgements, 1);
    // It tells nothing of the message in flight, so the silence counts on:
    // the block goes out again six ticks after the last real answer.
    tick(3);
    QCOMPARE(window->Session.SendStep, step);
    tick(1);
    QCOMPARE(window->Session.SendStep, 1u);
}

void TestStayingInStep::unreadableImageSaysSoAndGivesTheWindowBack()
{
    window->ConnState = Connected;
    window->refreshControls();
    Q_CLEANUP_RESOURCE(orvik16);
    pressUpdate(*window);
    Q_INIT_RESOURCE(orvik16);

    QCOMPARE(answerer->texts.size(), 1);
    QVERIFY(answerer->texts[0].contains(QStringLiteral("could not be read")));
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QVERIFY(window->progressBar->isHidden());
    QVERIFY(!window->transferRunning());
    QCOMPARE(int(window->WatchdogCountdown), -1);

    pressUpdate(*window);
    QVERIFY(window->transferRunning());
}

QTEST_MAIN(TestStayingInStep)
#include "tst_stayinginstep.moc"
