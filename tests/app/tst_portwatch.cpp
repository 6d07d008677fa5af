// Which port, which interface: the lists and the opened pair through the real
// window, with in-process ports named as the ALSA sequencer names those of
// real USB interfaces, twins included. Each port carries what the MIDI
// system tells its twin apart by: an address that changes with every plug
// (the sequencer's "24:1") and an identity that does not (its card's USB
// path and its number within the card).

#include "Loopback.h"
#include "PrivateBus.h"
#include "WindowDriver.h"

#include <QAccessible>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::UpdateReport;
using orvik::loopback::Link;
using orvik::loopback::LinkOptions;

namespace {

const std::string kPort1 = "MIDISPORT 2x2 Anniv:MIDISPORT 2x2 Anniv MIDI 1";
const std::string kPort2 = "MIDISPORT 2x2 Anniv:MIDISPORT 2x2 Anniv MIDI 2";
const std::string kCardA = "M-Audio MIDISPORT 2x2 Anniv at usb-dummy_hcd.0-1, high speed";
const std::string kCardB = "M-Audio MIDISPORT 2x2 Anniv at usb-dummy_hcd.1-1, high speed";

// A port of a card as the sequencer shows it. Without a card, the port has
// nothing but its name to be known by, as a program's own port.
LinkOptions port(const std::string& address, const std::string& card, int number)
{
    LinkOptions options;
    options.address = address;
    if (!card.empty())
        options.identity = "alsa card " + card + " port " + std::to_string(number);
    return options;
}

// A port with nothing behind it but a count of what reaches it.
struct Counted
{
    Counted(const std::string& name, LinkOptions options)
        : link(std::make_unique<Link>(
              name, [this](const std::uint8_t*, std::size_t) { ++received; }, options))
    {}
    std::atomic<int> received{0};
    std::unique_ptr<Link> link;
};

// The unit sits behind port 2 of interface A; port 1 of A comes first.
struct TwoInterfaces
{
    explicit TwoInterfaces(bool cards) : cards(cards)
    {
        unit.unplug();
        plugA("24");
        plugB("32");
    }
    void plugA(const std::string& client)
    {
        a1 = std::make_unique<Counted>(kPort1, port(client + ":0", cards ? kCardA : "", 0));
        unit.plug(kPort2, port(client + ":1", cards ? kCardA : "", 1));
    }
    void pullA()
    {
        a1.reset();
        unit.unplug();
    }
    void plugB(const std::string& client)
    {
        b1 = std::make_unique<Counted>(kPort1, port(client + ":0", cards ? kCardB : "", 0));
        b2 = std::make_unique<Counted>(kPort2, port(client + ":1", cards ? kCardB : "", 1));
    }
    void pullB()
    {
        b1.reset();
        b2.reset();
    }
    int toB() const { return (b1 ? b1->received.load() : 0) + (b2 ? b2->received.load() : 0); }

    const bool cards;
    Unit unit{DeviceSettings{}};
    std::unique_ptr<Counted> a1;
    std::unique_ptr<Counted> b1;
    std::unique_ptr<Counted> b2;
};

// Connected to the unit behind A, with twenty blocks of an update committed.
bool updateUnderWay(WindowDriver& tool, TwoInterfaces& ports)
{
    if (!tool.connect())
        return false;
    tool.pressUpdate();
    auto& host = ports.unit.host();
    return tool.waitFor([&] { return host.stats().blocksCommitted >= 20; }, 30000);
}

QStringList shownTexts(const QListWidget* list, int rows)
{
    QStringList texts;
    for (int row = 0; row < rows && row < list->count(); ++row)
        texts << list->item(row)->text();
    return texts;
}

} // namespace

class TestPortWatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(bus_.start()); }
    void twinsReadApartRowByRow();
    void pickStaysWithItsPort();
    void twinPulledMidUpdate();
    void bothPulledBackInTheOtherOrder_data();
    void bothPulledBackInTheOtherOrder();
    void pulledWhileConnected();
    void pulledWhileUpdateAsksWhoItIs();
    void connectRightAfterDisconnect();
    void refusedPortSaysTheSystemsReason();

private:
    orvik::testsupport::PrivateBus bus_;
};

void TestPortWatch::twinsReadApartRowByRow()
{
    // Two two-port interfaces, a gadget's two ports, and two interfaces
    // whose names run past 31 characters only by their last words.
    const std::string scarlett = "Scarlett 2i2 USB:Scarlett 2i2 USB MIDI 1";
    std::vector<std::unique_ptr<Counted>> ports;
    auto add = [&](const std::string& name, LinkOptions options) {
        ports.push_back(std::make_unique<Counted>(name, std::move(options)));
    };
    add(kPort1, port("24:0", kCardA, 0));
    add(kPort2, port("24:1", kCardA, 1));
    add("f_midi:f_midi-0", port("20:0", "f_midi", 0));
    add("f_midi:f_midi-1", port("20:1", "f_midi", 1));
    add(kPort1, port("32:0", kCardB, 0));
    add(kPort2, port("32:1", kCardB, 1));
    add(scarlett, port("28:0", "Scarlett at usb-0000:00:14.0-2", 0));
    add(scarlett, port("36:0", "Scarlett at usb-0000:00:14.0-3", 0));
    const QStringList whole{
        QString::fromStdString(kPort1 + " 24:0"),   QString::fromStdString(kPort2 + " 24:1"),
        QStringLiteral("f_midi:f_midi-0"),          QStringLiteral("f_midi:f_midi-1"),
        QString::fromStdString(kPort1 + " 32:0"),   QString::fromStdString(kPort2 + " 32:1"),
        QString::fromStdString(scarlett + " 28:0"), QString::fromStdString(scarlett + " 36:0")};
    const int rows = int(whole.size());

    MainWindow window;
    window.show();
    window.initController();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList}) {
        const QStringList shown = shownTexts(list, rows);
        QCOMPARE(shown.size(), rows);
        QCOMPARE(QSet<QString>(shown.begin(), shown.end()).size(), rows);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(list);
        QVERIFY(accessible);
        for (int row = 0; row < rows; ++row) {
            const QListWidgetItem* item = list->item(row);
            QCOMPARE(item->toolTip(), whole[row]);
            QCOMPARE(item->data(Qt::AccessibleTextRole).toString(), whole[row]);
            QCOMPARE(accessible->child(row)->text(QAccessible::Name), whole[row]);
            // The list keeps its width; the end of the name, which says
            // which port of which interface this is, stays in view.
            QVERIFY2(list->fontMetrics().horizontalAdvance(shown[row]) < list->viewport()->width(),
                     qPrintable(shown[row]));
            const QString tail = whole[row].section(QLatin1Char(' '), -3);
            QVERIFY2(shown[row].endsWith(whole[row].contains(QLatin1String("f_midi")) ? whole[row]
                                                                                      : tail),
                     qPrintable(shown[row] + QStringLiteral(" / ") + whole[row]));
        }
    }

    // Once the twins have gone, a name says enough by itself.
    ports[4].reset();
    ports[5].reset();
    ports[7].reset();
    window.comtimeout();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList}) {
        QCOMPARE(list->item(0)->toolTip(), QString::fromStdString(kPort1));
        QVERIFY2(list->item(1)->text().endsWith(QLatin1String("Anniv MIDI 2")),
                 qPrintable(list->item(1)->text()));
        QCOMPARE(list->item(4)->toolTip(), QString::fromStdString(scarlett));
    }
}

void TestPortWatch::pickStaysWithItsPort()
{
    TwoInterfaces ports(true);
    MainWindow window;
    window.show();
    window.initController();
    // Port 2 of B, in both lists.
    window.MidiInList->setCurrentRow(3);
    window.MidiOutList->setCurrentRow(3);

    // B goes: its twin on A reads the same but for the address, and is not
    // picked in its place.
    ports.pullB();
    window.comtimeout();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList})
        QVERIFY2(!list->currentItem()->toolTip().startsWith(QString::fromStdString(kPort2)),
                 qPrintable(list->currentItem()->toolTip()));

    // Back at A's old address, behind A: picked again.
    ports.pullA();
    ports.plugB("24");
    ports.plugA("32");
    window.comtimeout();
    for (QListWidget* list : {window.MidiInList, window.MidiOutList})
        QCOMPARE(list->currentItem()->toolTip(), QString::fromStdString(kPort2 + " 24:1"));
    QCOMPARE(window.MidiInList->currentRow(), 1);
}

void TestPortWatch::twinPulledMidUpdate()
{
    TwoInterfaces ports(true);
    WindowDriver tool(&ports.unit);
    QVERIFY(updateUnderWay(tool, ports));
    auto& window = tool.window;
    auto& host = ports.unit.host();

    // A goes; its twin stays, with ports of the very same names.
    ports.pullA();
    tool.tick();
    QVERIFY(window->Ports.away());
    QVERIFY(!window->Ports.unsure());
    QVERIFY(window->GoneNote.label()->isVisible());
    QVERIFY(window->GoneNote.label()->text().contains(QLatin1String("interface has gone")));
    const int resends = window->Run.silentResends();
    for (int t = 0; t < 3 * MainWindow::kBusyWatchdogTicks; ++t)
        tool.tick();
    QCOMPARE(ports.toB(), 0);
    QCOMPARE(window->Run.silentResends(), resends);
    QVERIFY(tool.answerer.texts.isEmpty());

    // A back, at other addresses: the update goes on there.
    ports.plugA("40");
    QVERIFY2(tool.finish(), ports.unit.state().c_str());
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(window->GoneNote.label()->isHidden());
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                           std::chrono::seconds(10)));
    QCOMPARE(host.report().outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(ports.toB(), 0);
}

void TestPortWatch::bothPulledBackInTheOtherOrder_data()
{
    QTest::addColumn<bool>("cards");
    QTest::newRow("told apart by their cards") << true;
    QTest::newRow("nothing but their names") << false;
}

void TestPortWatch::bothPulledBackInTheOtherOrder()
{
    QFETCH(bool, cards);
    TwoInterfaces ports(cards);
    WindowDriver tool(&ports.unit);
    QVERIFY(updateUnderWay(tool, ports));
    auto& window = tool.window;
    auto& host = ports.unit.host();

    // A hub pulled: both go. B comes back first, at A's old addresses.
    ports.pullA();
    ports.pullB();
    tool.tick();
    QVERIFY(window->Ports.away());
    ports.plugB("24");
    for (int t = 0; t < 5; ++t)
        tool.tick();
    QVERIFY(window->Ports.away());
    QCOMPARE(window->Ports.unsure(), !cards);
    ports.plugA("32");
    if (cards) {
        QVERIFY2(tool.finish(), ports.unit.state().c_str());
        QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
        QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                               std::chrono::seconds(10)));
        QCOMPARE(host.report().outcome, UpdateReport::Outcome::Matched);
        QCOMPARE(ports.toB(), 0);
        return;
    }
    // Either could be the one: the window says so and waits, sending
    // nothing anywhere, until the user gives up.
    const auto received = host.stats().messagesReceived;
    for (int t = 0; t < 3 * MainWindow::kBusyWatchdogTicks; ++t)
        tool.tick();
    QVERIFY(window->Ports.unsure());
    const QString text = window->GoneNote.label()->text();
    QVERIFY2(text.contains(QLatin1String("cannot tell which holds the unit")), qPrintable(text));
    QVERIFY(window->GoneNote.label()->isVisible());
    QCOMPARE(host.stats().messagesReceived, received);
    QCOMPARE(ports.toB(), 0);
    QVERIFY(tool.answerer.texts.isEmpty());
    QVERIFY(window->ConnectButton->isEnabled());
    window->ConnectButton->click();
    QCOMPARE(window->ConnState, int(Disconnected));
    QVERIFY(window->GoneNote.label()->isHidden());
    QVERIFY(window->ResultNote.label()->text().contains(QLatin1String("unfinished")));
}

void TestPortWatch::pulledWhileConnected()
{
    Unit unit(DeviceSettings{});
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    QVERIFY(window->TransferButton->isEnabled());

    unit.unplug();
    tool.tick();
    QVERIFY(window->GoneNote.label()->isVisible());
    QVERIFY(window->GoneNote.label()->text().contains(QLatin1String("interface has gone")));
    QVERIFY(!window->TransferButton->isEnabled());
    QCOMPARE(window->ConnectButton->text(), QStringLiteral("Disconnect"));
    QVERIFY(window->ConnectButton->isEnabled());

    // Back: the pair opens again and the unit is asked who it is; Update
    // waits for its answer.
    const int asked = unit.identityRequests.load();
    unit.plug();
    tool.tick();
    QVERIFY(window->GoneNote.label()->isHidden());
    QVERIFY(tool.waitFor([&] { return unit.identityRequests.load() > asked; }, 10000));
    QVERIFY(tool.waitFor([&] { return window->ConnState == Connected; }, 10000));
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(tool.boxText(), QStringLiteral("transfer successful"));
}

void TestPortWatch::pulledWhileUpdateAsksWhoItIs()
{
    Unit unit(DeviceSettings{});
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;

    // Its answer may already be on its way: pulled before or after, nothing
    // has gone out yet, and Update is given up, said as such.
    window->TransferButton->click();
    unit.unplug();
    tool.tick();
    QCOMPARE(tool.answerer.texts.size(), 1);
    QVERIFY2(tool.boxText().contains(QLatin1String("no firmware was sent")),
             qPrintable(tool.boxText()));
    QVERIFY(window->GoneNote.label()->isVisible());

    // Neither the interface's return nor a new connection begins an update
    // that no one asked for of the unit behind it now.
    unit.plug();
    tool.tick();
    QVERIFY(tool.waitFor([&] { return window->ConnState == Connected; }, 10000));
    for (int t = 0; t < 3; ++t)
        tool.tick();
    tool.disconnect();
    QVERIFY(tool.connect());
    for (int t = 0; t < 12; ++t)
        tool.tick();
    QCOMPARE(unit.host().stats().updatesBegun, 0);
    QVERIFY(!window->transferRunning());
    QCOMPARE(tool.answerer.texts.size(), 1);
    QVERIFY(window->TransferButton->isEnabled());
}

void TestPortWatch::connectRightAfterDisconnect()
{
    auto other = std::make_unique<Counted>("Other synth", LinkOptions{});
    Unit unit(DeviceSettings{});
    Counted third("Third synth", LinkOptions{});
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    tool.pressUpdate();
    QVERIFY(tool.waitFor([&] { return unit.host().stats().blocksCommitted >= 5; }, 30000));

    // A port before the unit's goes while the lists stand still; the
    // window's tick reads the ports meanwhile.
    other.reset();
    tool.tick();
    tool.disconnect();
    window->ConnectButton->click();
    // Only the unit answers who it is.
    QVERIFY(tool.waitFor([&] { return window->ConnState == Connected; }, 10000));
    QCOMPARE(window->Ports.openedInput(), QStringLiteral("Orvik16 KX"));
    QCOMPARE(third.received.load(), 0);
    QCOMPARE(window->MidiInList->currentItem()->text(), QStringLiteral("Orvik16 KX"));
}

void TestPortWatch::refusedPortSaysTheSystemsReason()
{
    LinkOptions refused;
    refused.openFailure = "Permission denied";
    Counted ports("Orvik16 KX", refused);
    MainWindow window;
    window.show();
    window.initController();
    MessageBoxAnswerer answerer;
    window.MidiInList->setCurrentRow(0);
    window.MidiOutList->setCurrentRow(0);
    window.Connect();
    QCOMPARE(window.ConnState, int(Disconnected));
    QCOMPARE(answerer.texts.size(), 1);
    const QString text = answerer.texts[0];
    QVERIFY2(text.contains(QLatin1String("Permission denied")), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("another program")), qPrintable(text));
    QCOMPARE(text.count(QLatin1String("could not be opened")), 2);
}

QTEST_MAIN(TestPortWatch)
#include "tst_portwatch.moc"
