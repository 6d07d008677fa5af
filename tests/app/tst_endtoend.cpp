// The whole job through the real window: the simulated unit sits on an
// in-process loopback MIDI device, the window lists it, connects, updates,
// and the unit checks the image it rebuilt byte for byte. The watchdog is
// ticked by hand whenever the unit has chosen to stay silent.

#include "FirmwareVersion.h"
#include "Loopback.h"
#include "PrivateBus.h"
#include "WindowDriver.h"

#include <QtTest>

#include <atomic>

#include <mutex>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::UpdateReport;
using orvik::testsupport::ChildProcess;
using orvik::testsupport::nextStandInLine;

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    // The window keeps the machine awake through a stand-in for the desktop
    // portal on a bus of the test's own.
    void initTestCase() { QVERIFY(bus_.start()); }
    void wholeUpdate_data();
    void wholeUpdate();
    void secondUpdateOverTheSameConnection();
    void unconfirmedEndThenSecondUpdate();
    void restartRequestBeforeUpdate();
    void versionAfterTheUpdate_data();
    void versionAfterTheUpdate();
    void unitThatNeverComesBack();
    void unansweredAnnouncementIsSentAgain();
    void interfacePulledMidUpdate_data();
    void interfacePulledMidUpdate();
    void closingDuringTransferAsksFirst_data();
    void closingDuringTransferAsksFirst();
    void givingUpLetsTheMachineSleep();

private:
    orvik::testsupport::PrivateBus bus_;
};

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
    // Flash work as a real unit does it; nothing may reach the unit meanwhile.
    QTest::newRow("busy 8 s erasing and 8 s finishing") << "erase-ms=8000 finish-ms=8000"
                                                        << "transfer successful";
}

void TestEndToEnd::wholeUpdate()
{
    QFETCH(QString, faults);
    QFETCH(QString, boxText);

    DeviceSettings settings;
    std::string error;
    QVERIFY2(addFaults(settings, faults, &error), error.c_str());
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    auto& answerer = tool.answerer;

    tool.pressUpdate();
    QVERIFY(window->progressBar->isVisible());
    QVERIFY2(tool.finish(), unit.state().c_str());

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
    // Late answers and duplicates may still be on their way: nothing may
    // follow the unit's last answer.
    for (int t = 0; t < 30; ++t)
        tool.tick();
    QCOMPARE(answerer.texts.size(), 1);
    QCOMPARE(orvik::devsim::describe(host.stats().faults), std::string("none"));
    QCOMPARE(host.stats().updatesMatched, 1);
}

void TestEndToEnd::unconfirmedEndThenSecondUpdate()
{
    // A unit that takes the last commit and says nothing more.
    DeviceSettings settings;
    settings.answersLastCommit = false;
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    auto& answerer = tool.answerer;
    auto& host = unit.host();

    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY2(answerer.texts.first().contains(QLatin1String("not confirm")),
             qPrintable(answerer.texts.first()));
    QVERIFY(!answerer.texts.first().contains(QLatin1String("successful")));
    QCOMPARE(answerer.titles.first(), QStringLiteral("Orvik16(KX/LX) Update"));
    QCOMPARE(window->ConnState, int(Connected));
    QVERIFY(window->TransferButton->isEnabled());
    QVERIFY(window->ConnectButton->isEnabled());
    QVERIFY(window->progressBar->isHidden());

    // The last block went out again at most twice, one slice each, and
    // nothing after the box, however long the window waits.
    for (int t = 0; t < 30; ++t)
        tool.tick();
    QCOMPARE(answerer.texts.size(), 1);
    const auto afterEnd = host.stats().faults[int(orvik::devsim::Fault::AfterEnd)];
    QVERIFY2(afterEnd <= 2, unit.state().c_str());
    QCOMPARE(orvik::devsim::total(host.stats().faults), afterEnd);
    QCOMPARE(host.stats().updatesMatched, 1);

    // The same unit, answering this time: the window is ready for it.
    host.configure([](DeviceSettings& s) { s.answersLastCommit = true; });
    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesMatched == 2; },
                           std::chrono::seconds(10)));
    QCOMPARE(orvik::devsim::total(host.stats().faults), afterEnd);
}

namespace {
// A unit on 2.05 that restarts into `version` six seconds after its last
// answer, as a real one was measured to.
DeviceSettings restartingUnit(std::uint16_t version, std::chrono::milliseconds reboot)
{
    DeviceSettings settings;
    settings.firmwareVersion = 0x0502;
    settings.restartsAfterUpdate = true;
    settings.rebootTime = reboot;
    settings.newFirmwareVersion = version;
    return settings;
}

// Ticks until the window has stopped asking the unit for its version.
bool tickUntilVersionKnown(WindowDriver& tool)
{
    for (int t = 0; t < 70 && tool.window->Version.running(); ++t) {
        tool.tick();
        tool.waitFor([&] { return !tool.window->Version.running(); }, 50);
    }
    return !tool.window->Version.running();
}
} // namespace

void TestEndToEnd::versionAfterTheUpdate_data()
{
    QTest::addColumn<int>("newVersion");
    QTest::addColumn<bool>("answersLastCommit");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("warned");
    const QString expected = QString::fromLatin1(kFirmwareVersionText);
    QTest::newRow("the image's version") << int(kFirmwareVersion) << true << expected << false;
    QTest::newRow("another version") << 0x0B07 << true << "7.11" << true;
    QTest::newRow("unconfirmed end, then the image's version")
        << int(kFirmwareVersion) << false << expected << false;
}

void TestEndToEnd::versionAfterTheUpdate()
{
    QFETCH(int, newVersion);
    QFETCH(bool, answersLastCommit);
    QFETCH(QString, shown);
    QFETCH(bool, warned);

    DeviceSettings settings =
        restartingUnit(std::uint16_t(newVersion), std::chrono::milliseconds(6000));
    settings.answersLastCommit = answersLastCommit;
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    QCOMPARE(window->VersionEdit->text(), QStringLiteral("2.05"));

    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(tool.answerer.texts.size(), 1);
    // The old version is no longer true while the unit restarts.
    QVERIFY(window->VersionEdit->text().isEmpty());
    QVERIFY(window->ResultNote.label()->isVisible());

    QVERIFY(tickUntilVersionKnown(tool));
    QCOMPARE(window->VersionEdit->text(), shown);
    QCOMPARE(window->ConnState, int(Connected));
    QVERIFY(window->TransferButton->isEnabled());
    const QString line = window->ResultNote.label()->text();
    QVERIFY2(window->ResultNote.label()->isVisible() && line.contains(shown), qPrintable(line));
    if (warned) {
        QCOMPARE(tool.answerer.texts.size(), 2);
        const QString box = tool.answerer.texts[1];
        QVERIFY2(box.contains(shown) && box.contains(QString::fromLatin1(kFirmwareVersionText)) &&
                     box.contains(QStringLiteral("Update")),
                 qPrintable(box));
    } else {
        QCOMPARE(tool.answerer.texts.size(), 1);
    }

    // After a confirmed end it asked while the unit could not hear, and kept
    // asking until it could; the unconfirmed end came long after the restart.
    const auto stats = unit.host().stats();
    QVERIFY2(answersLastCommit ? stats.lostWhileRestarting >= 2 : stats.lostWhileRestarting == 0,
             unit.state().c_str());
    // A loaded machine may let one more question out before the answer is
    // in; once the version is known, no more go.
    QVERIFY(stats.identityAfterRestart >= 1);
    QCOMPARE(orvik::devsim::describe(stats.faults), std::string("none"));
    for (int t = 0; t < 10; ++t)
        tool.tick();
    const auto asked = unit.host().stats().identityAfterRestart;
    QVERIFY(asked <= 2);
    for (int t = 0; t < 10; ++t)
        tool.tick();
    QCOMPARE(unit.host().stats().identityAfterRestart, asked);
}

void TestEndToEnd::unitThatNeverComesBack()
{
    Unit unit(restartingUnit(kFirmwareVersion, std::chrono::minutes(10)));
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QVERIFY2(tool.update(), unit.state().c_str());

    QVERIFY(tickUntilVersionKnown(tool));
    auto& window = tool.window;
    QCOMPARE(unit.host().stats().lostWhileRestarting, std::uint64_t(30));
    QVERIFY(window->VersionEdit->text().isEmpty());
    QVERIFY2(window->ResultNote.label()->text().contains(QStringLiteral("not answered")),
             qPrintable(window->ResultNote.label()->text()));
    QCOMPARE(tool.answerer.texts.size(), 1);
    QCOMPARE(window->ConnState, int(Connected));
    QVERIFY(window->TransferButton->isEnabled());

    // Said once: no more questions, no box.
    for (int t = 0; t < 10; ++t)
        tool.tick();
    QCOMPARE(unit.host().stats().lostWhileRestarting, std::uint64_t(30));
    QCOMPARE(tool.answerer.texts.size(), 1);
}

void TestEndToEnd::restartRequestBeforeUpdate()
{
    // A unit left in update mode asks for a fresh start as soon as it has
    // said who it is. No image was prepared for it yet: nothing may go out.
    DeviceSettings settings;
    settings.restartAfterIdentity = true;
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& host = unit.host();
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().unpromptedRestarts == 1; },
                           std::chrono::seconds(10)));
    for (int t = 0; t < 30; ++t)
        tool.tick();
    QCOMPARE(host.stats().messagesReceived, std::uint64_t(1));

    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesMatched == 1; },
                           std::chrono::seconds(10)));
    QCOMPARE(orvik::devsim::describe(host.stats().faults), std::string("none"));
}

void TestEndToEnd::secondUpdateOverTheSameConnection()
{
    Unit unit(DeviceSettings{});
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());

    QVERIFY(tool.update());
    // Watched as it moves: the unit answers at once, so by the time Update
    // has been pressed and the announcement has gone out, blocks may have
    // gone too.
    QSignalSpy bar(tool.window->progressBar, &QProgressBar::valueChanged);
    tool.pressUpdate();
    QVERIFY(!bar.isEmpty());
    QCOMPARE(bar.first().first().toInt(), 0);
    QVERIFY(tool.finish());
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
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

    // The unit says who it is, and the next tick announces the update.
    window.Transfer();
    QTRY_VERIFY_WITH_TIMEOUT(window.Unit.confirmed(), 10000);
    window.comtimeout();
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

void TestEndToEnd::interfacePulledMidUpdate_data()
{
    QTest::addColumn<bool>("comesBack");
    QTest::newRow("plugged back") << true;
    QTest::newRow("never back") << false;
}

void TestEndToEnd::interfacePulledMidUpdate()
{
    QFETCH(bool, comesBack);
    Unit unit(DeviceSettings{});
    // Made after the unit: once the unit's ports go, this one takes their
    // numbers.
    std::atomic<int> toOther{0};
    orvik::loopback::Link other("Other synth",
                                [&](const std::uint8_t*, std::size_t) { ++toOther; });
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    auto& host = unit.host();
    const int openedAt = unit.inputDeviceNumber();
    tool.pressUpdate();
    QVERIFY(tool.waitFor([&] { return host.stats().blocksCommitted >= 20; }, 30000));

    unit.unplug();
    QCOMPARE(other.inputDeviceNumber(), openedAt);
    tool.tick();
    QVERIFY(window->Ports.away());
    QVERIFY(window->GoneNote.label()->isVisible());
    QVERIFY(window->progressBar->isHidden());
    const QString text = window->GoneNote.label()->text();
    for (const char* says : {"interface has gone", "keeps what it has", "do not switch it off",
                             "goes on once the interface is plugged in again"})
        QVERIFY2(text.contains(QLatin1String(says)), qPrintable(text));
    // Longer than the watchdog waits for a unit writing its flash: nothing
    // goes out, nothing gives up.
    const int resends = window->Run.silentResends();
    for (int t = 0; t < 3 * MainWindow::kBusyWatchdogTicks; ++t)
        tool.tick();
    QCOMPARE(toOther.load(), 0);
    QCOMPARE(window->Run.silentResends(), resends);
    QVERIFY(tool.answerer.texts.isEmpty());
    QVERIFY(window->transferRunning());
    QVERIFY(window->ConnectButton->isEnabled());

    if (!comesBack) {
        // Closing asks first, as during any transfer; Disconnect gives up.
        window->close();
        QVERIFY(window->Closing.box() && window->Closing.box()->isVisible());
        QVERIFY(window->isVisible());
        window->ConnectButton->click();
        QCOMPARE(window->ConnState, int(Disconnected));
        QVERIFY(!window->Closing.box());
        QVERIFY(!window->transferRunning());
        QVERIFY(window->GoneNote.label()->isHidden());
        QVERIFY(window->ResultNote.label()->text().contains(QLatin1String("unfinished")));
        QVERIFY(tool.answerer.texts.isEmpty());
        window->close();
        QVERIFY(!window->isVisible());
        QCOMPARE(toOther.load(), 0);
        return;
    }

    // Back behind the other port: found by name, and the unit, still in the
    // middle of the update, hears the current block again.
    unit.plug();
    QVERIFY(unit.inputDeviceNumber() != openedAt);
    QVERIFY2(tool.finish(), unit.state().c_str());
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(window->GoneNote.label()->isHidden());
    QVERIFY(host.waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                           std::chrono::seconds(10)));
    QCOMPARE(host.report().outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(orvik::devsim::describe(host.stats().faults), std::string("none"));
    QCOMPARE(toOther.load(), 0);
}

void TestEndToEnd::closingDuringTransferAsksFirst_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("keep updating") << "&Keep updating";
    QTest::newRow("no answer before the update ends") << "";
    QTest::newRow("close anyway") << "&Close anyway";
}

void TestEndToEnd::closingDuringTransferAsksFirst()
{
    QFETCH(QString, answer);
    ChildProcess portal;
    QVERIFY(orvik::testsupport::startSleepStandIn(portal, {"--portal"}));
    Unit unit(DeviceSettings{});
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    auto& window = tool.window;
    tool.pressUpdate();
    QVERIFY(nextStandInLine(portal).startsWith(QStringLiteral("portal inhibit flags=12 ")));
    auto& host = unit.host();
    QTRY_VERIFY_WITH_TIMEOUT(host.stats().blocksCommitted >= 20, 30000);

    window->close();
    QVERIFY(window->isVisible());
    QPointer<QMessageBox> question = window->Closing.box();
    QVERIFY(question && question->isVisible());
    QCOMPARE(question->windowTitle(), QStringLiteral("Orvik16(KX/LX) Update"));
    QCOMPARE(question->defaultButton()->text(), QStringLiteral("&Keep updating"));
    // A second request while asking asks nothing more.
    window->close();
    QCOMPARE(window->Closing.box(), question.data());

    if (answer == QLatin1String("&Close anyway")) {
        // Then the close is what it always was: the event loop ends with 0,
        // the machine may sleep, and the window's destruction closes the
        // ports.
        QTimer::singleShot(0, question, [&] {
            for (QAbstractButton* button : question->buttons())
                if (button->text() == answer)
                    button->click();
        });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!window->isVisible());
        QCOMPARE(nextStandInLine(portal), QStringLiteral("portal release"));
        window.reset();
        const auto received = host.stats().messagesReceived;
        QCoreApplication::processEvents();
        QCOMPARE(host.stats().messagesReceived, received);
        QCOMPARE(host.stats().updatesCompleted, 0);
        return;
    }
    if (!answer.isEmpty()) {
        for (QAbstractButton* button : question->buttons())
            if (button->text() == answer)
                button->click();
        QTRY_VERIFY(!question);
    }

    // The transfer goes on meanwhile; when it ends, an open question goes
    // and the usual box follows.
    QVERIFY(tool.finish());
    QTRY_VERIFY(!question);
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    QVERIFY(window->isVisible());
    QVERIFY(host.stats().lastImageMatched);
    QCOMPARE(nextStandInLine(portal), QStringLiteral("portal release"));
    QTRY_VERIFY(window->ConnectButton->isEnabled());
}

// A unit that never answers the announcement: the window gives up, and the
// machine may sleep again.
void TestEndToEnd::givingUpLetsTheMachineSleep()
{
    ChildProcess portal;
    QVERIFY(orvik::testsupport::startSleepStandIn(portal, {"--portal"}));
    MainWindow window;
    window.show();
    window.initController();
    window.WatchdogTimer->stop();
    pressUpdate(window);
    QVERIFY(nextStandInLine(portal).startsWith(QStringLiteral("portal inhibit")));
    MessageBoxAnswerer answerer;
    for (int tick = 0; tick < 1000 && answerer.texts.isEmpty(); ++tick) {
        window.comtimeout();
        QCoreApplication::processEvents();
    }
    QCOMPARE(answerer.texts.size(), 1);
    QVERIFY(!window.transferRunning());
    QCOMPARE(nextStandInLine(portal), QStringLiteral("portal release"));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
