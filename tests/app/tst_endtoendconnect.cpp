// Connecting through the real window: the simulated unit sits on an
// in-process loopback MIDI device, the window lists its ports, opens them and
// asks the unit who it is, however its replies come.

#include "Loopback.h"
#include "PrivateBus.h"
#include "UnitReplies.h"
#include "WindowDriver.h"

#include <QtTest>

#include <atomic>

using namespace testsupport;
using orvik::devsim::DeviceSettings;

class TestEndToEndConnect : public QObject
{
    Q_OBJECT

private slots:
    // The window keeps the machine awake through a stand-in for the desktop
    // portal on a bus of the test's own.
    void initTestCase() { QVERIFY(bus_.start()); }
    void portListsShowTheUnit();
    void emptyPortListsSaySo();
    void portListsFollowThePlugs();
    void connectShowsIdentity_data();
    void connectShowsIdentity();
    void portsThatFailToOpenStayDisconnected_data();
    void portsThatFailToOpenStayDisconnected();
    void connectAsksAgainUntilTheUnitAnswers_data();
    void connectAsksAgainUntilTheUnitAnswers();
    void brokenIdentityReplies_data();
    void brokenIdentityReplies();

private:
    orvik::testsupport::PrivateBus bus_;
};

void TestEndToEndConnect::portListsShowTheUnit()
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

void TestEndToEndConnect::emptyPortListsSaySo()
{
    MainWindow window;
    window.show();
    window.initController();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList}) {
        if (list->count() != 1 || list->item(0)->flags() != Qt::NoItemFlags)
            QSKIP("this machine has MIDI ports of its own");
        QVERIFY2(list->item(0)->text().contains(QStringLiteral("appear here")),
                 qPrintable(list->item(0)->text()));
        QCOMPARE(list->currentRow(), -1);
    }
    // Connect says the same, and nothing opens.
    MessageBoxAnswerer answerer;
    window.Connect();
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY2(answerer.texts[0].startsWith(QStringLiteral("There is no MIDI port")),
             qPrintable(answerer.texts[0]));
    QCOMPARE(window.ConnState, int(Disconnected));
}

namespace {
QStringList portsIn(const QListWidget* list)
{
    QStringList names;
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->flags() != Qt::NoItemFlags)
            names << list->item(row)->text();
    }
    return names;
}

QString currentIn(const QListWidget* list)
{
    return list->currentItem() ? list->currentItem()->text() : QString();
}
} // namespace

void TestEndToEndConnect::portListsFollowThePlugs()
{
    const QString unitPort = QStringLiteral("Orvik16 KX");
    const QString otherPort = QStringLiteral("Other synth");
    auto other = std::make_unique<orvik::loopback::Link>(otherPort.toStdString(), nullptr);
    MainWindow window;
    window.show();
    window.initController();
    QVERIFY(!portsIn(window.MidiInList).contains(unitPort));
    QCOMPARE(currentIn(window.MidiInList), otherPort);

    // Plugged in after the start: offered on the next tick, the row picked
    // by then left where it was.
    auto unit = std::make_unique<Unit>(DeviceSettings{});
    window.comtimeout();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList}) {
        QVERIFY(portsIn(list).contains(unitPort));
        QCOMPARE(currentIn(list), otherPort);
    }
    window.MidiInList->setCurrentRow(int(portsIn(window.MidiInList).indexOf(unitPort)));
    window.MidiOutList->setCurrentRow(int(portsIn(window.MidiOutList).indexOf(unitPort)));

    // The rows shift as another port goes; the pick follows its name.
    other.reset();
    window.comtimeout();
    QVERIFY(!portsIn(window.MidiInList).contains(otherPort));
    QCOMPARE(currentIn(window.MidiInList), unitPort);
    QCOMPARE(currentIn(window.MidiOutList), unitPort);

    // Pulled out: gone from the lists, and nothing asks for a new start.
    unit.reset();
    window.comtimeout();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList}) {
        QVERIFY(!portsIn(list).contains(unitPort));
        for (int row = 0; row < list->count(); ++row)
            QVERIFY2(!list->item(row)->text().contains(QStringLiteral("again")),
                     qPrintable(list->item(row)->text()));
    }

    // Back, now behind another port: picked again, and Connect reaches it.
    other = std::make_unique<orvik::loopback::Link>(otherPort.toStdString(), nullptr);
    unit = std::make_unique<Unit>(DeviceSettings{});
    window.comtimeout();
    QCOMPARE(currentIn(window.MidiInList), unitPort);
    QCOMPARE(currentIn(window.MidiOutList), unitPort);
    QVERIFY(!window.Ports.noInputPorts() && !window.Ports.noOutputPorts());
    window.Connect();
    QTRY_COMPARE_WITH_TIMEOUT(window.ConnState, int(Connected), 10000);
    QCOMPARE(unit->identityRequests.load(), 1);

    // Connected, the lists stay as they were opened from.
    const QStringList opened = portsIn(window.MidiInList);
    other.reset();
    window.comtimeout();
    QCOMPARE(portsIn(window.MidiInList), opened);
    QCOMPARE(currentIn(window.MidiInList), unitPort);
    window.Connect();
}

void TestEndToEndConnect::connectShowsIdentity_data()
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

void TestEndToEndConnect::connectShowsIdentity()
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

void TestEndToEndConnect::portsThatFailToOpenStayDisconnected_data()
{
    QTest::addColumn<bool>("inputFails");
    QTest::addColumn<QString>("named");
    QTest::newRow("input held elsewhere") << true << "MIDI input port \"Orvik16 KX\"";
    // The input opens first: it must not stay open behind the failure.
    QTest::newRow("output held elsewhere") << false << "MIDI output port \"Orvik16 KX\"";
}

void TestEndToEndConnect::portsThatFailToOpenStayDisconnected()
{
    QFETCH(bool, inputFails);
    QFETCH(QString, named);
    orvik::loopback::LinkOptions options;
    options.inputOpenFails = inputFails;
    options.outputOpenFails = !inputFails;
    Unit unit(DeviceSettings{}, options);

    MainWindow window;
    window.show();
    window.initController();
    window.MidiInList->setCurrentRow(unit.inputDeviceNumber());
    window.MidiOutList->setCurrentRow(unit.outputDeviceNumber());
    MessageBoxAnswerer answerer;
    window.Connect();
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY2(answerer.texts[0].contains(named), qPrintable(answerer.texts[0]));
    QVERIFY2(answerer.texts[0].contains(QStringLiteral("in use by another program")),
             qPrintable(answerer.texts[0]));
    QCOMPARE(answerer.texts[0].count(QStringLiteral("could not be opened")), 1);
    QCOMPARE(window.ConnState, int(Disconnected));
    QCOMPARE(window.ConnectButton->text(), QStringLiteral("Connect"));
    QVERIFY(window.MidiInList->isEnabled());
    QVERIFY(!window.TransferButton->isEnabled());
    QVERIFY(!window.Session.PortPair.MidiIn.load());
    QVERIFY(!window.Session.PortPair.MidiOut);
    QCOMPARE(unit.identityRequests.load(), 0);
}

void TestEndToEndConnect::connectAsksAgainUntilTheUnitAnswers_data()
{
    QTest::addColumn<int>("repliesLost");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<bool>("connects");
    QTest::newRow("first reply lost") << 1 << 1 << true;
    QTest::newRow("four replies lost") << 4 << 4 << true;
    QTest::newRow("silent for ten seconds") << 1000 << 5 << false;
}

// One press of Connect: the retry timer's ticks are run by hand.
void TestEndToEndConnect::connectAsksAgainUntilTheUnitAnswers()
{
    QFETCH(int, repliesLost);
    QFETCH(int, ticks);
    QFETCH(bool, connects);
    DeviceSettings settings;
    settings.identityRepliesLost = static_cast<std::uint64_t>(repliesLost);
    Unit unit(settings);

    MainWindow window;
    window.show();
    window.initController();
    window.Connect();
    QVERIFY(window.Asking.asking());
    QTRY_COMPARE_WITH_TIMEOUT(unit.identityRequests.load(), 1, 10000);
    for (int tick = 1; tick <= ticks; ++tick) {
        QCOMPARE(window.ConnState, int(Connecting));
        QVERIFY(window.Asking.noAnswerText()->isHidden());
        window.Asking.askAgain();
        QTRY_COMPARE_WITH_TIMEOUT(unit.identityRequests.load(), tick + 1, 10000);
    }
    if (connects) {
        QTRY_COMPARE_WITH_TIMEOUT(window.ConnState, int(Connected), 10000);
        QCOMPARE(window.SnEdit->text(), QStringLiteral("586-638-764"));
        QVERIFY(!window.Asking.asking());
        QVERIFY(window.Asking.noAnswerText()->isHidden());
        return;
    }
    QCOMPARE(window.ConnState, int(Connecting));
    QVERIFY(window.TryConText->isVisible());
    QCOMPARE(window.TryConText->text(), QStringLiteral("no answer..."));
    QVERIFY(window.Asking.noAnswerText()->isVisible());
    QVERIFY(window.Asking.noAnswerText()->text().contains(QStringLiteral("cables")));
    QVERIFY(window.Asking.asking());

    // Disconnect ends the asking; the next Connect starts afresh.
    window.Connect();
    QVERIFY(!window.Asking.asking());
    QVERIFY(window.Asking.noAnswerText()->isHidden());
    window.Connect();
    QCOMPARE(window.TryConText->text(), QStringLiteral("try to connect..."));
    QVERIFY(window.Asking.noAnswerText()->isHidden());
}

void TestEndToEndConnect::brokenIdentityReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("versionText");

    const QByteArray header(reinterpret_cast<const char*>(kUnitHeader), sizeof kUnitHeader);
    // Serial 0x7F 0x7F 0x7F 0x7F, command, then nothing but the end: no
    // version to show, so no answer to act on (empty texts: not connected).
    QTest::newRow("truncated") << header + QByteArray("\x7F\x7F\x7F\x7F\x20\xF7", 6) << ""
                               << "";
    // Well-formed SysEx, nonsense inside: a name that runs past its 16
    // bytes, a version nobody made.
    QByteArray garbage = header + QByteArray("\x7F\x7F\x7F\x7F\x20\x7E\x7E", 7);
    garbage += QByteArray(40, '\x55') + QByteArray("\xF7", 1);
    QTest::newRow("garbage") << garbage << "355-581-494"
                             << "126.63";
    // Longer than an input buffer: it arrives in two, neither of them a
    // whole message, though the first starts with the reply's header.
    QByteArray oversized = header + QByteArray("\x15\x1A\x6F\x3A\x20\x02\x0C", 7);
    oversized += QByteArray("Orvik16 KX", 10) + QByteArray(1100, 'A') + QByteArray("\xF7", 1);
    QTest::newRow("oversized") << oversized << ""
                               << "";
}

void TestEndToEndConnect::brokenIdentityReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, serialText);
    QFETCH(QString, versionText);

    // A unit that answers the identity request with these bytes and nothing
    // else.
    orvik::loopback::Link* linkPtr = nullptr;
    std::atomic<int> asked{0};
    auto link = std::make_unique<orvik::loopback::Link>(
        "Broken unit", [&linkPtr, &asked, reply](const std::uint8_t* data, std::size_t size) {
            if (size == 11 && data[9] == 0x00) {
                ++asked;
                linkPtr->toTool(reinterpret_cast<const std::uint8_t*>(reply.constData()),
                                static_cast<std::size_t>(reply.size()));
            }
        });
    linkPtr = link.get();

    MainWindow window;
    window.show();
    window.initController();
    window.MidiInList->setCurrentRow(link->inputDeviceNumber());
    window.MidiOutList->setCurrentRow(link->outputDeviceNumber());
    window.Connect();
    if (versionText.isEmpty()) {
        // Not a whole reply: the window asks again, as for no answer at all.
        QTRY_VERIFY_WITH_TIMEOUT(asked >= 2, 10000);
        QCoreApplication::processEvents();
        QCOMPARE(window.ConnState, int(Connecting));
        QVERIFY(window.SnEdit->text().isEmpty());
        QVERIFY(window.VersionEdit->text().isEmpty());
        window.Connect();
        return;
    }
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

QTEST_MAIN(TestEndToEndConnect)
#include "tst_endtoendconnect.moc"
