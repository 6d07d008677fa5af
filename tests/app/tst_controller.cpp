// The controller's state machine, driven with replies delivered as MIDI events
// and with the watchdog slot invoked by hand. No MIDI port is open here: what
// the tool would send is read off the block sender's state. Here: connecting,
// what the window shows, and a transfer the unit answers throughout.

#include "ControllerFixture.h"

#include <QtTest>

using namespace testsupport;

class TestController : public QObject, private ControllerFixture
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

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
    void close1ClosesPortsAndWindow();
};

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
