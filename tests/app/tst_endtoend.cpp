// The whole job through the real window: the simulated unit sits on an
// in-process loopback MIDI device, the window lists it, connects, updates,
// and the unit checks the image it rebuilt byte for byte. The watchdog is
// ticked by hand whenever the unit has chosen to stay silent.

#include "EndToEndSupport.h"
#include "Loopback.h"

#include <QtTest>

#include <mutex>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::UpdateReport;

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void portListsShowTheUnit();
    void connectShowsIdentity_data();
    void connectShowsIdentity();
    void portsThatFailToOpenStayDisconnected();
    void brokenIdentityReplies_data();
    void brokenIdentityReplies();
    void wholeUpdate_data();
    void wholeUpdate();
    void secondUpdateOverTheSameConnection();
    void unansweredAnnouncementIsSentAgain();
    void closingDuringTransferEndsTheProgram();
};

void TestEndToEnd::portListsShowTheUnit()
{
    Unit unit(DeviceSettings{});
    MainWindow window;
    window.show();
    window.initController();
    QVERIFY(window.MidiInList->count() >= 1);
    QCOMPARE(window.MidiInList->item(0)->text(), QStringLiteral("Orvik16 KX"));
    QCOMPARE(window.MidiOutList->item(0)->text(), QStringLiteral("Orvik16 KX"));
    QCOMPARE(window.MidiInList->currentRow(), 0);
    QCOMPARE(window.MidiOutList->currentRow(), 0);
}

void TestEndToEnd::connectShowsIdentity_data()
{
    QTest::addColumn<quint32>("serial");
    QTest::addColumn<quint16>("version");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("versionText");
    QTest::newRow("2.06") << 123456789u << quint16(0x0602) << "586-638-764"
                          << "2.06";
    QTest::newRow("1.10") << 42u << quint16(0x0A01) << "040-000-020"
                          << "1.10";
}

void TestEndToEnd::connectShowsIdentity()
{
    QFETCH(quint32, serial);
    QFETCH(quint16, version);
    QFETCH(QString, serialText);
    QFETCH(QString, versionText);

    DeviceSettings settings;
    settings.serialNumber = serial;
    settings.firmwareVersion = version;
    Unit unit(settings);

    MainWindow window;
    window.show();
    window.initController();
    window.Connect();
    QCOMPARE(window.ConnState, int(Connecting));
    QVERIFY(window.TryConText->isVisible());
    QVERIFY(!window.MidiInList->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(window.ConnState, int(Connected), 10000);
    QCOMPARE(unit.identityRequests.load(), 1);
    QCOMPARE(window.SnEdit->text(), serialText);
    QCOMPARE(window.VersionEdit->text(), versionText);
    QCOMPARE(window.DeviceNameCopy, QStringLiteral("Orvik16 KX"));
    QVERIFY(window.TransferButton->isEnabled());
    QVERIFY(window.TryConText->isHidden());

    window.Connect();
    QCOMPARE(window.ConnState, int(Disconnected));
    QVERIFY(window.SnEdit->text().isEmpty());
    QVERIFY(!window.Session.PortPair.MidiIn.load());
    QVERIFY(!window.Session.PortPair.MidiOut);
}

void TestEndToEnd::portsThatFailToOpenStayDisconnected()
{
    orvik::loopback::LinkOptions options;
    options.outputOpenFails = true;
    Unit unit(DeviceSettings{}, options);

    MainWindow window;
    window.show();
    window.initController();
    window.Connect();
    QCOMPARE(window.ConnState, int(Disconnected));
    QCOMPARE(window.ConnectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!window.TransferButton->isEnabled());
    QCOMPARE(unit.identityRequests.load(), 0);
}

void TestEndToEnd::brokenIdentityReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("versionText");

    const QByteArray header("\xF0\x00\x11\x22\x0B", 5);
    // Serial 0x7F 0x7F 0x7F 0x7F, command, then nothing but the end: the
    // version reads the F7 and a zero past the end.
    QTest::newRow("truncated") << header + QByteArray("\x7F\x7F\x7F\x7F\x20\xF7", 6)
                               << "355-581-494"
                               << "247.00";
    // Well-formed SysEx, nonsense inside: a name that runs past its 16
    // bytes, a version nobody made.
    QByteArray garbage = header + QByteArray("\x7F\x7F\x7F\x7F\x20\x7E\x7E", 7);
    garbage += QByteArray(40, '\x55') + QByteArray("\xF7", 1);
    QTest::newRow("garbage") << garbage << "355-581-494"
                             << "126.63";
    // Longer than an input buffer: it arrives in two, and only the first
    // starts with the reply's header.
    QByteArray oversized = header + QByteArray("\x15\x1A\x6F\x3A\x20\x02\x0C", 7);
    oversized += QByteArray("Orvik16 KX", 10) + QByteArray(1100, 'A') + QByteArray("\xF7", 1);
    QTest::newRow("oversized") << oversized << "586-638-764"
                               << "2.06";
}

void TestEndToEnd::brokenIdentityReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, serialText);
    QFETCH(QString, versionText);

    // A unit that answers the identity request with these bytes and nothing
    // else.
    orvik::loopback::Link* linkPtr = nullptr;
    auto link = std::make_unique<orvik::loopback::Link>(
        "Broken unit", [&linkPtr, reply](const std::uint8_t* data, std::size_t size) {
            if (size == 11 && data[9] == 0x00)
                linkPtr->toTool(reinterpret_cast<const std::uint8_t*>(reply.constData()),
                                static_cast<std::size_t>(reply.size()));
        });
    linkPtr = link.get();

    MainWindow window;
    window.show();
    window.initController();
    window.MidiInList->setCurrentRow(link->inputDeviceNumber());
    window.MidiOutList->setCurrentRow(link->outputDeviceNumber());
    window.Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.ConnState, int(Connected), 10000);
    QCOMPARE(window.SnEdit->text().size(), 11);
    if (!serialText.isEmpty())
        QCOMPARE(window.SnEdit->text(), serialText);
    QCOMPARE(window.VersionEdit->text(), versionText);
    QVERIFY(window.DeviceNameCopy.size() <= 16);
    // The window still answers: Disconnect works.
    window.Connect();
    QCOMPARE(window.ConnState, int(Disconnected));
}

void TestEndToEnd::wholeUpdate_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("boxText");

    // Message 0 is the begin-update; slices of block 0 are 1 to 6, its commit 7.
    QTest::newRow("clean") << ""
                           << "transfer successful";
    QTest::newRow("silence after an acknowledgement") << "silent@10"
                                                      << "transfer successful";
    QTest::newRow("silence after a commit") << "silent@14"
                                            << "transfer successful";
    QTest::newRow("repeat requests") << "repeat@100 repeat@2001"
                                     << "transfer successful, 2 retries";
    QTest::newRow("restart wipes earlier retries") << "repeat@50 restart@3000"
                                                   << "transfer successful";
    QTest::newRow("retries after a restart count") << "restart@500 repeat@600"
                                                   << "transfer successful, 1 retries";
    QTest::newRow("last commit lost") << "silent@6160"
                                      << "transfer successful";
    QTest::newRow("duplicate acknowledgements") << "duplicate@30 duplicate@4000"
                                                << "transfer successful";
    QTest::newRow("late answers") << "late@40 late@41 late@6160"
                                  << "transfer successful";
    QTest::newRow("unrelated traffic") << "unrelated@60 unrelated@6160"
                                       << "transfer successful";
    QTest::newRow("oversized sysex") << "oversized@70 oversized@5000"
                                     << "transfer successful";
}

void TestEndToEnd::wholeUpdate()
{
    QFETCH(QString, faults);
    QFETCH(QString, boxText);

    DeviceSettings settings;
    for (const QString& fault : faults.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        std::string error;
        QVERIFY2(settings.faults.addFromText(fault.toStdString(), &error), error.c_str());
    }
    Unit unit(settings);
    auto window = connectedWindow(unit);
    QVERIFY(window);
    MessageBoxAnswerer answerer;

    window->Transfer();
    QVERIFY(window->progressBar->isVisible());
    QVERIFY(finishUpdate(*window, unit, answerer));

    QCOMPARE(answerer.texts, QStringList{boxText});
    QCOMPARE(answerer.texts.size(), 1);
    QCOMPARE(answerer.titles, QStringList{QStringLiteral("Orvik16(KX/LX) Update")});
    QVERIFY(window->progressBar->isHidden());
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QCOMPARE(window->ConnState, int(Connected));

    auto& host = unit.host();
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                           std::chrono::seconds(10)));
    const auto report = host.report();
    QCOMPARE(report.outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(orvik::devsim::total(host.stats().faults), std::uint64_t(0));
    QCOMPARE(host.stats().updatesMatched, 1);
}

void TestEndToEnd::secondUpdateOverTheSameConnection()
{
    Unit unit(DeviceSettings{});
    auto window = connectedWindow(unit);
    QVERIFY(window);
    MessageBoxAnswerer answerer;

    window->Transfer();
    QVERIFY(finishUpdate(*window, unit, answerer));
    window->Transfer();
    QCOMPARE(window->progressBar->value(), 0);
    answerer.texts.clear();
    QVERIFY(finishUpdate(*window, unit, answerer));
    QCOMPARE(answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(unit.host().waitUntil([](const auto& sim) { return sim.stats().updatesMatched == 2; },
                                  std::chrono::seconds(10)));
}

void TestEndToEnd::unansweredAnnouncementIsSentAgain()
{
    // A unit that answers the identity request and otherwise only records
    // what reaches it: the begin-update, or the unit's answer to it, is lost.
    std::mutex lock;
    std::vector<std::vector<std::uint8_t>> received;
    orvik::loopback::Link* linkPtr = nullptr;
    auto link = std::make_unique<orvik::loopback::Link>(
        "Deaf unit", [&](const std::uint8_t* data, std::size_t size) {
            if (size == 11 && data[9] == 0x00) {
                const auto reply = identityReply(123456789, 0x0602);
                linkPtr->toTool(reply.data(), reply.size());
                return;
            }
            const std::lock_guard<std::mutex> guard(lock);
            received.emplace_back(data, data + size);
        });
    linkPtr = link.get();
    auto messages = [&] {
        const std::lock_guard<std::mutex> guard(lock);
        return received;
    };

    MainWindow window;
    window.show();
    window.initController();
    window.WatchdogTimer->stop();
    window.MidiInList->setCurrentRow(link->inputDeviceNumber());
    window.MidiOutList->setCurrentRow(link->outputDeviceNumber());
    window.Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.ConnState, int(Connected), 10000);

    window.Transfer();
    QTRY_COMPARE_WITH_TIMEOUT(messages().size(), std::size_t(1), 10000);
    const auto announcement = messages().front();
    QCOMPARE(announcement.size(), std::size_t(21));
    QCOMPARE(int(announcement[9]), 0x0E);

    // Twenty quiet ticks change nothing, while a unit may be erasing; the
    // next announces the update again, the same bytes.
    for (int round = 2; round <= 3; ++round) {
        for (int tick = 0; tick < 20; ++tick)
            window.comtimeout();
        QCoreApplication::processEvents();
        QCOMPARE(messages().size(), std::size_t(round - 1));
        window.comtimeout();
        QTRY_COMPARE_WITH_TIMEOUT(messages().size(), std::size_t(round), 10000);
        QCOMPARE(messages().back(), announcement);
    }
    QVERIFY(window.progressBar->isVisible());
    QVERIFY(!window.TransferButton->isEnabled());

    // The unit answers at last: block 0 starts, and from then on the watchdog
    // sends blocks, not announcements.
    const auto restart = replyFrame(0x2E);
    link->toTool(restart.data(), restart.size());
    QTRY_COMPARE_WITH_TIMEOUT(messages().size(), std::size_t(4), 10000);
    QCOMPARE(int(messages().back()[9]), 0x09);
    for (int tick = 0; tick < 6; ++tick)
        window.comtimeout();
    QTRY_COMPARE_WITH_TIMEOUT(messages().size(), std::size_t(5), 10000);
    QCOMPARE(messages().back(), messages()[3]);
}

void TestEndToEnd::closingDuringTransferEndsTheProgram()
{
    Unit unit(DeviceSettings{});
    auto window = connectedWindow(unit);
    QVERIFY(window);
    window->Transfer();
    auto& host = unit.host();
    QTRY_VERIFY_WITH_TIMEOUT(host.stats().blocksCommitted >= 20, 30000);

    // The close is accepted at once, the event loop ends with 0, and the
    // window's destruction closes the ports.
    QTimer::singleShot(0, window.get(), &QWidget::close);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window->isVisible());
    window.reset();

    const auto received = host.stats().messagesReceived;
    QCoreApplication::processEvents();
    QCOMPARE(host.stats().messagesReceived, received);
    QVERIFY(host.stats().updatesCompleted == 0);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
