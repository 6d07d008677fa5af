// The controller's state machine, driven with replies delivered as MIDI events
// and with the watchdog slot invoked by hand. No MIDI port is open here: what
// the tool would send is read off the block sender's state.

#include "ControllerTestSupport.h"
#if ORVIK_HAVE_LOOPBACK
// What the window sends, captured where a loopback link can be had.
#include "LoopbackCapture.h"
#endif

#include <QtTest>

#include <algorithm>
#include <memory>

using namespace testsupport;

class TestController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startingLook();
    void versionAndSerialShown_data();
    void versionAndSerialShown();
    void identityReplyInEachState_data();
    void identityReplyInEachState();
    void connectWhileConnectingOrConnectedDisconnects_data();
    void connectWhileConnectingOrConnectedDisconnects();
    void connectWithPortsThatFailStaysDisconnected();
    void transferSetsUpBarAndLocksButtons();
    void wholeTransferWaitsForLastAcknowledgement();
    void barPaintsAfterTheAcknowledgement();
    void retriesReportedInTheBox_data();
    void retriesReportedInTheBox();
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
    void close1ClosesPortsAndWindow();

private:
    // Restart request, then acknowledgements until `messages` messages of
    // the image have gone out (the restart sends the first).
    void runTo(int messages);
    int sentMessages() const;
    void tick(int ticks);

    MainWindow* window = nullptr;
    MessageBoxAnswerer* answerer = nullptr;
#if ORVIK_HAVE_LOOPBACK
    // From here on, what the window sends is captured; sentCommands() takes
    // the command bytes of everything sent since its last call.
    void captureSends();
    QList<int> sentCommands();
    std::unique_ptr<LoopbackCapture> capture;
#endif
};

void TestController::init()
{
    window = new MainWindow;
    window->show();
    window->initController();
    // The tests tick the watchdog themselves.
    window->WatchdogTimer->stop();
    answerer = new MessageBoxAnswerer;
}

void TestController::cleanup()
{
    delete answerer;
    delete window;
#if ORVIK_HAVE_LOOPBACK
    capture.reset();
#endif
}

void TestController::tick(int ticks)
{
    for (int i = 0; i < ticks; ++i)
        window->comtimeout();
}

#if ORVIK_HAVE_LOOPBACK
void TestController::captureSends()
{
    capture = std::make_unique<LoopbackCapture>();
    QVERIFY(capture->open(window->Session));
}

QList<int> TestController::sentCommands()
{
    QList<int> commands;
    for (const QByteArray& m : capture->takeAll(window->Session))
        commands << (m.size() > 9 ? int(std::uint8_t(m[9])) : -1);
    return commands;
}
#endif

int TestController::sentMessages() const
{
    const UpdateSession& s = window->Session;
    const int blocks = static_cast<int>(s.ImageOffset / kBlockSize);
    if (s.SendStep == 7)
        return blocks * 7;
    return blocks * 7 + static_cast<int>(s.SendStep);
}

void TestController::runTo(int messages)
{
    deliver(*window, replyFrame(0x2E));
    while (sentMessages() < messages)
        acknowledge(*window);
}

void TestController::startingLook()
{
    MainWindow& w = *window;
    QCOMPARE(w.ConnState, int(Disconnected));
    QCOMPARE(w.TransferButton->text(), QStringLiteral("Update"));
    QVERIFY(!w.TransferButton->isEnabled());
    QVERIFY(w.ConnectButton->isEnabled());
    QCOMPARE(w.ConnectButton->text(), QStringLiteral("Connect"));
    QVERIFY(w.progressBar->isHidden());
    QVERIFY(w.TryConText->isHidden());
    QVERIFY(w.MidiInList->isEnabled());
    QCOMPARE(w.IconLabel->pixmap().size(), QSize(320, 87));
    QCOMPARE(int(w.WatchdogCountdown), -1);
    QCOMPARE(static_cast<std::uint8_t>(w.WatchdogCountdown), std::uint8_t(255));
    QCOMPARE(w.WatchdogTimer->interval(), 1000);
}

void TestController::versionAndSerialShown_data()
{
    QTest::addColumn<quint32>("serial");
    QTest::addColumn<quint32>("version");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("versionText");

    QTest::newRow("2.06") << 123456789u << 0x0602u << "586-638-764"
                          << "2.06";
    QTest::newRow("1.10") << 0u << 0x0A01u << "000-000-000"
                          << "1.10";
    QTest::newRow("5.01") << 42u << 0x0105u << "040-000-020"
                          << "5.01";
    QTest::newRow("5.50") << 268435455u << 0x3205u << "355-581-494"
                          << "5.50";
    QTest::newRow("largest minor a reply carries") << 1u << (63u << 8 | 3u) << "000-000-010"
                                                   << "3.63";
}

void TestController::versionAndSerialShown()
{
    QFETCH(quint32, serial);
    QFETCH(quint32, version);
    QFETCH(QString, serialText);
    QFETCH(QString, versionText);

    QVERIFY(deliver(*window, identityReply(serial, version)));
    QCOMPARE(window->SnEdit->text(), serialText);
    QCOMPARE(window->VersionEdit->text(), versionText);
    QCOMPARE(window->DeviceSerial, serial);
}

void TestController::identityReplyInEachState_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("disconnected") << int(Disconnected) << int(Disconnected);
    QTest::newRow("connecting") << int(Connecting) << int(Connected);
    QTest::newRow("connected") << int(Connected) << int(Connected);
}

void TestController::identityReplyInEachState()
{
    QFETCH(int, before);
    QFETCH(int, after);

    window->ConnState = before;
    window->refreshControls();
    const bool updateEnabled = window->TransferButton->isEnabled();
    const QString connectText = window->ConnectButton->text();

    deliver(*window, identityReply(123456789, 0x0602));
    QCOMPARE(window->ConnState, after);
    QCOMPARE(window->SnEdit->text(), QStringLiteral("586-638-764"));
    QCOMPARE(window->VersionEdit->text(), QStringLiteral("2.06"));
    if (before == Connecting) {
        QVERIFY(window->TransferButton->isEnabled());
        QVERIFY(window->TryConText->isHidden());
    } else {
        // Only the two fields change.
        QCOMPARE(window->TransferButton->isEnabled(), updateEnabled);
        QCOMPARE(window->ConnectButton->text(), connectText);
    }
}

void TestController::connectWhileConnectingOrConnectedDisconnects_data()
{
    QTest::addColumn<int>("state");
    QTest::newRow("connecting") << int(Connecting);
    QTest::newRow("connected") << int(Connected);
}

void TestController::connectWhileConnectingOrConnectedDisconnects()
{
    QFETCH(int, state);
    deliver(*window, identityReply(123456789, 0x0602));
    window->ConnState = state;
    window->refreshControls();
    QCOMPARE(window->ConnectButton->text(), QStringLiteral("Disconnect"));

    window->Connect();
    QCOMPARE(window->ConnState, int(Disconnected));
    QVERIFY(window->SnEdit->text().isEmpty());
    QVERIFY(window->VersionEdit->text().isEmpty());
    QCOMPARE(window->ConnectButton->text(), QStringLiteral("Connect"));
    QVERIFY(window->MidiInList->isEnabled());
    QVERIFY(!window->TransferButton->isEnabled());
}

void TestController::connectWithPortsThatFailStaysDisconnected()
{
    // No current row: the rows reach the platform as -1, which names no device.
    window->MidiInList->setCurrentRow(-1);
    window->MidiOutList->setCurrentRow(-1);
    window->SnEdit->setText(QStringLiteral("stale"));
    window->Connect();
    QCOMPARE(window->ConnState, int(Disconnected));
    QCOMPARE(window->InputRow, -1);
    QVERIFY(window->SnEdit->text().isEmpty());
    QVERIFY(window->TryConText->isHidden());
}

void TestController::transferSetsUpBarAndLocksButtons()
{
    window->ConnState = Connected;
    window->refreshControls();
    pressUpdate(*window);
    QVERIFY(window->progressBar->isVisible());
    QCOMPARE(window->progressBar->maximum(), kBlockCount);
    QCOMPARE(window->progressBar->value(), 0);
    QVERIFY(!window->TransferButton->isEnabled());
    QVERIFY(!window->ConnectButton->isEnabled());
    QCOMPARE(window->BlockCounter, 0);
    QCOMPARE(window->Session.CommittedBlocks, 0);
}

void TestController::barPaintsAfterTheAcknowledgement()
{
    window->ConnState = Connected;
    window->refreshControls();
    pressUpdate(*window);
    // What the window shows: the offscreen platform grabs its backing store.
    auto shownBar = [&] {
        const QRect bar(window->progressBar->mapTo(window, QPoint()), window->progressBar->size());
        return window->screen()
            ->grabWindow(window->winId())
            .copy(bar)
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    auto barAsItIs = [&] {
        return window->progressBar->grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    QTRY_COMPARE(shownBar(), barAsItIs());
    const QImage atStart = shownBar();

    // Past several visible steps; each made the bar ask to be painted at once.
    runTo(100 * 7);
    QCOMPARE(window->progressBar->value(), 99);
    QVERIFY(barAsItIs() != atStart);
    // Not while the replies were answered, but soon after, from the event loop.
    QCOMPARE(shownBar(), atStart);
    QTRY_COMPARE(shownBar(), barAsItIs());
}

void TestController::wholeTransferWaitsForLastAcknowledgement()
{
    window->ConnState = Connected;
    window->refreshControls();
    pressUpdate(*window);
    runTo(kBlockCount * 7);

    // The last commit is out but unconfirmed: no verdict yet, the watchdog
    // still armed.
    QCOMPARE(window->BlockCounter, kBlockCount);
    QCOMPARE(window->Session.ImageOffset, kImageSize);
    QCOMPARE(window->progressBar->value(), kBlockCount);
    QVERIFY(answerer->texts.isEmpty());
    QCOMPARE(int(window->WatchdogCountdown), 20);
    tick(1);
    QVERIFY(window->progressBar->text().contains(QStringLiteral("confirm the last block")));

    acknowledge(*window);
    QCOMPARE(answerer->texts, QStringList{QStringLiteral("transfer successful")});
    QCOMPARE(answerer->titles, QStringList{QStringLiteral("Orvik16(KX/LX) Update")});
    QCOMPARE(answerer->buttons.value(0), QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(window->progressBar->isHidden());
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QCOMPARE(int(window->WatchdogCountdown), -1);
}

void TestController::retriesReportedInTheBox_data()
{
    QTest::addColumn<int>("repeats");
    QTest::addColumn<bool>("restartAfter");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << 0 << false << "transfer successful";
    QTest::newRow("one, plural kept") << 1 << false << "transfer successful, 1 retries";
    QTest::newRow("twelve") << 12 << false << "transfer successful, 12 retries";
    QTest::newRow("wiped by a restart") << 3 << true << "transfer successful";
}

void TestController::retriesReportedInTheBox()
{
    QFETCH(int, repeats);
    QFETCH(bool, restartAfter);
    QFETCH(QString, text);

    window->ConnState = Connected;
    pressUpdate(*window);
    runTo(100);
    for (int i = 0; i < repeats; ++i)
        deliver(*window, replyFrame(0x2B));
    if (restartAfter)
        deliver(*window, replyFrame(0x2E));
    while (answerer->texts.isEmpty())
        acknowledge(*window);
    QCOMPARE(answerer->texts, QStringList{text});
}

void TestController::watchdogResendsOnSixthTickThenEverySix()
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

void TestController::watchdogRollsBackAnUnacknowledgedCommit()
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

void TestController::lostLastCommitIsSentAgain()
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

void TestController::restartWhileWaitingForLastAcknowledgement()
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
void TestController::silentUnitAtTheStartGivesUp()
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

void TestController::unconfirmedEndIsNoSuccess_data()
{
    QTest::addColumn<bool>("slicesAnswered");
    QTest::newRow("re-sent slices answered, commits not") << true;
    QTest::newRow("silent after the last commit") << false;
}

void TestController::unconfirmedEndIsNoSuccess()
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

void TestController::secondRestartRequestAtTheStart_data()
{
    QTest::addColumn<int>("acknowledged");
    QTest::addColumn<QList<int>>("afterSecondRestart");
    // Nothing answered since slice 0 went out: it is still on its way.
    QTest::newRow("slice 0 unanswered") << 0 << QList<int>{};
    QTest::newRow("slice 0 answered") << 1 << QList<int>{DataSlice};
}

void TestController::secondRestartRequestAtTheStart()
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

void TestController::repliesOutsideATransferSendNothing_data()
{
    QTest::addColumn<QString>("before");
    QTest::newRow("before any update") << "none";
    QTest::newRow("after success") << "success";
    QTest::newRow("after giving up at the start") << "no answer";
    QTest::newRow("after the unconfirmed end") << "unconfirmed";
}

void TestController::repliesOutsideATransferSendNothing()
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

void TestController::close1ClosesPortsAndWindow()
{
    window->ConnState = Connected;
    QVERIFY(QMetaObject::invokeMethod(window, "close1"));
    QCOMPARE(window->ConnState, int(Disconnected));
    QVERIFY(window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"
