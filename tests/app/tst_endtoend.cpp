// The whole job through the real window: the simulated unit sits on an
// in-process loopback MIDI device, the window lists it, connects, updates,
// and the unit checks the image it rebuilt byte for byte. The watchdog is
// ticked by hand whenever the unit has chosen to stay silent.

#include "ControllerTestSupport.h"
#include "ImageFile.h"
#include "InProcessDevice.h"

#include <QtTest>

#include <atomic>
#include <memory>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::Event;
using orvik::devsim::InProcessDevice;
using orvik::devsim::Injection;
using orvik::devsim::UpdateReport;

namespace {

std::vector<std::uint8_t> plainImage()
{
    QString error;
    auto image = orvik::devsim::loadImage(QStringLiteral(":/data/orvik_resources_v2_06.bin"), &error);
    return image ? *image : std::vector<std::uint8_t>{};
}

// The unit and what the test learns from it on the unit's own thread.
struct Unit
{
    explicit Unit(DeviceSettings settings, orvik::loopback::LinkOptions options = {})
    {
        settings.lateDelay = std::chrono::milliseconds(20);
        device = std::make_unique<InProcessDevice>(
            "Orvik16 KX", std::move(settings), plainImage(),
            [this](const Event& e) {
                if (e.kind == Event::Kind::IdentityRequest)
                    ++identityRequests;
                // Silence and repeat requests leave the tool waiting for
                // its watchdog.
                if (e.kind == Event::Kind::Injected &&
                    (e.injection == Injection::Silent || e.injection == Injection::Repeat))
                    ++stalls;
            },
            options);
    }

    std::atomic<int> identityRequests{0};
    std::atomic<int> stalls{0};
    std::unique_ptr<InProcessDevice> device;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void portListsShowTheUnit();
    void connectShowsIdentity_data();
    void connectShowsIdentity();
    void portsThatFailToOpenStayDisconnected();
    void wholeUpdate_data();
    void wholeUpdate();
    void secondUpdateOverTheSameConnection();
    void closingDuringTransferEndsTheProgram();

private:
    std::unique_ptr<MainWindow> connectedWindow(Unit& unit);
    // Runs until the success box has been answered, ticking the watchdog six
    // times for every stall the unit reports.
    bool finishUpdate(MainWindow& window, Unit& unit, MessageBoxAnswerer& answerer);
};

std::unique_ptr<MainWindow> TestEndToEnd::connectedWindow(Unit& unit)
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->initController();
    window->WatchdogTimer->stop();
    window->MidiInList->setCurrentRow(unit.device->inputDeviceNumber());
    window->MidiOutList->setCurrentRow(unit.device->outputDeviceNumber());
    window->Connect();
    [&] { QTRY_COMPARE_WITH_TIMEOUT(window->ConnState, int(Connected), 10000); }();
    return window;
}

bool TestEndToEnd::finishUpdate(MainWindow& window, Unit& unit, MessageBoxAnswerer& answerer)
{
    QDeadlineTimer deadline(120000);
    int serviced = 0;
    auto lastReceived = unit.device->host().stats().messagesReceived;
    QElapsedTimer quiet;
    quiet.start();
    auto expireWatchdog = [&] {
        for (int tick = 0; tick < 6; ++tick)
            window.comtimeout();
        quiet.restart();
    };
    while (answerer.texts.isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (serviced < unit.stalls.load()) {
            ++serviced;
            // Let whatever the unit said before falling silent arrive first.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            expireWatchdog();
            continue;
        }
        // A reply can also be lost on the way in: traffic that fills both
        // input buffers leaves none for the answer right behind it. Nothing
        // moving for a while is then the silence the watchdog is there for.
        const auto received = unit.device->host().stats().messagesReceived;
        if (received != lastReceived) {
            lastReceived = received;
            quiet.restart();
        } else if (quiet.elapsed() > 500) {
            expireWatchdog();
        }
    }
    return true;
}

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
    QTest::newRow("2.06") << 123456789u << quint16(0x0602) << "586-638-764" << "2.06";
    QTest::newRow("1.10") << 42u << quint16(0x0A01) << "040-000-020" << "1.10";
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

void TestEndToEnd::wholeUpdate_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("boxText");

    // Message 0 is the begin-update; slices of block 0 are 1 to 6, its commit 7.
    QTest::newRow("clean") << "" << "transfer successful";
    QTest::newRow("silence after an acknowledgement") << "silent@10" << "transfer successful";
    QTest::newRow("silence after a commit") << "silent@14" << "transfer successful";
    QTest::newRow("repeat requests") << "repeat@100 repeat@2001" << "transfer successful, 2 retries";
    QTest::newRow("restart wipes earlier retries") << "repeat@50 restart@3000"
                                                   << "transfer successful";
    QTest::newRow("retries after a restart count") << "restart@500 repeat@600"
                                                   << "transfer successful, 1 retries";
    QTest::newRow("last commit lost") << "silent@6160" << "transfer successful";
    QTest::newRow("duplicate acknowledgements") << "duplicate@30 duplicate@4000"
                                                << "transfer successful";
    QTest::newRow("late answers") << "late@40 late@41 late@6160" << "transfer successful";
    QTest::newRow("unrelated traffic") << "unrelated@60 unrelated@6160" << "transfer successful";
    QTest::newRow("oversized sysex") << "oversized@70 oversized@5000" << "transfer successful";
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
    MessageBoxAnswerer answerer;

    window->Transfer();
    QVERIFY(window->progressBar->isVisible());
    QVERIFY(finishUpdate(*window, unit, answerer));

    QCOMPARE(answerer.texts, QStringList{boxText});
    QCOMPARE(answerer.titles, QStringList{QStringLiteral("Orvik16(KX/LX) Update")});
    QVERIFY(window->progressBar->isHidden());
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QCOMPARE(window->ConnState, int(Connected));

    auto& host = unit.device->host();
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
    MessageBoxAnswerer answerer;

    window->Transfer();
    QVERIFY(finishUpdate(*window, unit, answerer));
    window->Transfer();
    QCOMPARE(window->progressBar->value(), 0);
    answerer.texts.clear();
    QVERIFY(finishUpdate(*window, unit, answerer));
    QCOMPARE(answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(unit.device->host().waitUntil(
        [](const auto& sim) { return sim.stats().updatesMatched == 2; }, std::chrono::seconds(10)));
}

void TestEndToEnd::closingDuringTransferEndsTheProgram()
{
    Unit unit(DeviceSettings{});
    auto window = connectedWindow(unit);
    window->Transfer();
    auto& host = unit.device->host();
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
