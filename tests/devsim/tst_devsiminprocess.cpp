// Whole updates from the tool's real session through the loopback layer to
// the simulated unit, and the unit's host thread on its own.

#include "DeviceCodec.h"
#include "InProcessDevice.h"
#include "ToolModel.h"

#include "ImagePreparation.h"
#include "ToolDriver.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <functional>
#include <mutex>

using namespace orvik::devsim;
using namespace testsupport;

namespace {

constexpr std::uint32_t kSerial = 123456789;
constexpr auto kUpdateTimeout = 120000;

} // namespace

class TestDevsimInProcess : public QObject
{
    Q_OBJECT

private slots:
    void cleanUpdate();
    void updateWithFaults();
    void lateReplyKeepsOrder();
    void manualClockHoldsBusyAnswerBack();

private:
    void runUpdate(DeviceSettings settings, int watchdogMs);
    Stats stats_;
    int restarts_ = 0;
    int repeats_ = 0;
};

void TestDevsimInProcess::runUpdate(DeviceSettings settings, int watchdogMs)
{
    settings.serialNumber = kSerial;
    settings.name = "KX bench";
    InProcessDevice unit("Orvik16 KX (simulated)", settings, plainImage());
    ToolDriver tool(watchdogMs);

    QVERIFY(tool.session.OpenPorts(unit.inputDeviceNumber(), unit.outputDeviceNumber()));
    QVERIFY(tool.session.SendIdentityRequest());
    QVERIFY(waitFor(
        tool, [&] { return tool.identified; }, 10000));
    QCOMPARE(tool.session.SerialNumber, std::int32_t(kSerial));
    QCOMPARE(tool.session.DeviceName, QStringLiteral("KX bench"));

    QVERIFY(prepareImage(tool.session.ImageData(), std::uint32_t(tool.session.SerialNumber)));
    QVERIFY(tool.session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize));
    QVERIFY(waitFor(
        tool, [&] { return tool.restarts > 0 && !tool.transferring; }, kUpdateTimeout));
    QVERIFY(unit.host().waitForCompletedUpdates(1, std::chrono::milliseconds(10000)));

    stats_ = unit.host().stats();
    restarts_ = tool.restarts;
    repeats_ = tool.repeats;
    tool.session.PortPair.Close();
}

void TestDevsimInProcess::cleanUpdate()
{
    runUpdate({}, 5000);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(describe(stats_.faults), std::string("none"));
    QCOMPARE(stats_.updatesCompleted, 1);
    QVERIFY(stats_.lastImageMatched);
    QCOMPARE(stats_.blocksCommitted, 880u);
    QCOMPARE(stats_.identityRequests, 1u);
    QCOMPARE(restarts_, 1);
    QCOMPARE(stats_.repeatsAsked + stats_.restartsAsked, 0u);
    // No message lost, none repeated: the begin-update and 6160 more.
    QCOMPARE(stats_.messagesReceived, 1u + 6161u);
}

void TestDevsimInProcess::updateWithFaults()
{
    DeviceSettings settings;
    settings.lateDelay = std::chrono::milliseconds(50);
    settings.faults.add(30, Injection::Repeat);
    settings.faults.add(200, Injection::Unrelated);
    settings.faults.add(700, Injection::Silent);
    settings.faults.add(1500, Injection::Late);
    settings.faults.add(2000, Injection::Oversized);
    settings.faults.add(3000, Injection::Restart);
    settings.faults.add(6000, Injection::Duplicate);
    runUpdate(settings, 1000);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(describe(stats_.faults), std::string("none"));
    QCOMPARE(stats_.updatesCompleted, 1);
    QVERIFY(stats_.lastImageMatched);
    QCOMPARE(stats_.repeatsAsked, 1u);
    QCOMPARE(stats_.restartsAsked, 1u);
    QCOMPARE(restarts_, 2);
    QCOMPARE(repeats_, 1);
    for (int i = 0; i < kInjectionKindCount; ++i)
        QCOMPARE(stats_.injected[i], 1u);
}

void TestDevsimInProcess::lateReplyKeepsOrder()
{
    DeviceSettings settings;
    settings.lateDelay = std::chrono::milliseconds(100);
    settings.faults.add(0, Injection::Late);
    SimulatorHost host(settings, plainImage());
    std::mutex lock;
    std::vector<Bytes> sent;
    host.start([&](const Bytes& m) {
        std::lock_guard guard(lock);
        sent.push_back(m);
    });

    // The identity request comes after the begin-update but its answer must
    // wait behind the late one.
    const Bytes begin = beginUpdate();
    const Bytes identity = command(IdentityRequest);
    host.post(begin.data(), begin.size());
    host.post(identity.data(), identity.size());
    QVERIFY(host.waitUntil([](const DeviceSimulator& s) { return s.stats().messagesReceived == 2; },
                           std::chrono::milliseconds(10000)));
    host.stop(true);

    QCOMPARE(sent.size(), std::size_t(2));
    QCOMPARE(sent[0], shortReply(kReplyRestart));
    QCOMPARE(sent[1][9], kReplyIdentity);
}

void TestDevsimInProcess::manualClockHoldsBusyAnswerBack()
{
    // In-process, an eight-second erase passes when the test says so.
    DeviceSettings settings;
    settings.eraseTime = std::chrono::milliseconds(8000);
    auto clock = std::make_shared<ManualClock>();
    SimulatorHost host(settings, plainImage(), {}, clock);
    std::mutex lock;
    std::vector<Bytes> sent;
    host.start([&](const Bytes& m) {
        std::lock_guard guard(lock);
        sent.push_back(m);
    });
    auto sentCount = [&] {
        std::lock_guard guard(lock);
        return sent.size();
    };

    const Bytes begin = beginUpdate();
    host.post(begin.data(), begin.size());
    QVERIFY(host.waitUntil([](const DeviceSimulator& s) { return s.stats().updatesBegun == 1; },
                           std::chrono::milliseconds(10000)));
    QCOMPARE(host.advanceClock(std::chrono::milliseconds(7999)), 0);
    QCOMPARE(sentCount(), std::size_t(0));
    QCOMPARE(host.advanceClock(std::chrono::milliseconds(1)), 1);
    QTRY_COMPARE_WITH_TIMEOUT(sentCount(), std::size_t(1), 10000);
    host.stop();
    QCOMPARE(sent[0], shortReply(kReplyRestart));
}

QTEST_GUILESS_MAIN(TestDevsimInProcess)
#include "tst_devsiminprocess.moc"
