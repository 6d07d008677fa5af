// Whole updates from the real window through the loopback layer to the
// simulated unit: the unit must catch every kind of fault slipped into the
// tool's messages on their way, recover the way a unit does, and put on each
// misbehaviour it is asked for. Then the unit's host thread on its own.

#include "DeviceCodec.h"
#include "DeviceMessages.h"
#include "WindowDriver.h"

#include <QTest>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace orvik::devsim;
using namespace testsupport;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(orvik::devsim::Fault)
Q_DECLARE_METATYPE(orvik::devsim::Injection)
Q_DECLARE_METATYPE(testsupport::Unit::Tamper)

namespace {

constexpr std::uint32_t kSerial = 123456789;

// Message numbers of a clean update: slice s of block b, and its commit.
std::uint64_t sliceMessage(int block, int s)
{
    return 1 + std::uint64_t(block) * 7 + s;
}

// Everything the unit sent, gathered on its thread.
class Replies
{
public:
    Unit::Listener listener()
    {
        return [this](const Bytes& m) {
            std::lock_guard guard(lock_);
            all_.push_back(m);
        };
    }
    std::vector<Bytes> all()
    {
        std::lock_guard guard(lock_);
        return all_;
    }

private:
    std::mutex lock_;
    std::vector<Bytes> all_;
};

int count(const std::vector<Bytes>& replies, std::uint8_t command)
{
    int n = 0;
    for (const auto& r : replies)
        n += r.size() == 11 && r[9] == command;
    return n;
}

} // namespace

class TestDevsimInProcess : public QObject
{
    Q_OBJECT

private slots:
    void cleanUpdate();
    void updateWithFaults();
    void faultIsCountedAndRecovered_data();
    void faultIsCountedAndRecovered();
    void injectionIsSurvived_data();
    void injectionIsSurvived();
    void repeatAtLastCommitLeavesUpdateOpen();
    void lateReplyKeepsOrder_data();
    void lateReplyKeepsOrder();
    void inlineAnswerLeavesBeforePostReturns();
    void lastBlockIsCheckedOffTheCallersThread();
    void manualClockHoldsBusyAnswerBack();
};

void TestDevsimInProcess::cleanUpdate()
{
    DeviceSettings settings;
    settings.serialNumber = kSerial;
    settings.name = "KX bench";
    Replies replies;
    Unit unit(settings, {}, {}, replies.listener());
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QCOMPARE(tool.window->DeviceSerial, kSerial);
    QCOMPARE(tool.window->DeviceNameCopy, QStringLiteral("KX bench"));
    QVERIFY2(tool.update(), unit.state().c_str());
    QCOMPARE(tool.boxText(), QStringLiteral("transfer successful"));
    QVERIFY(unit.host().waitForCompletedUpdates(1, 10s));

    const Stats st = unit.host().stats();
    QCOMPARE(describe(st.faults), std::string("none"));
    QCOMPARE(st.updatesCompleted, 1);
    QCOMPARE(st.updatesMatched, 1);
    QCOMPARE(st.blocksCommitted, 880u);
    // No message lost, none repeated: the begin-update and 6160 more.
    QCOMPARE(st.messagesReceived - st.identityRequests, 6161u);
    QCOMPARE(tool.watchdogResends, 0);
    const auto sent = replies.all();
    QCOMPARE(count(sent, kReplyRestart), 1);
    QCOMPARE(count(sent, kReplyAckSlice), 880 * 6);
    QCOMPARE(count(sent, kReplyAckCommit), 880);
    QCOMPARE(unit.host().report().outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(unit.host().report().restartsAsked, 0);
}

void TestDevsimInProcess::updateWithFaults()
{
    DeviceSettings settings;
    settings.faults.add(30, Injection::Repeat);
    settings.faults.add(200, Injection::Unrelated);
    settings.faults.add(700, Injection::Silent);
    settings.faults.add(1500, Injection::Late);
    settings.faults.add(2000, Injection::Oversized);
    settings.faults.add(3000, Injection::Restart);
    settings.faults.add(4500, Injection::Overdue);
    settings.faults.add(5000, Injection::Doubled);
    settings.faults.add(6000, Injection::Duplicate);
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QVERIFY2(tool.update(), unit.state().c_str());
    // The restart wiped the retry the repeat request counted.
    QCOMPARE(tool.boxText(), QStringLiteral("transfer successful"));
    QVERIFY(unit.host().waitForCompletedUpdates(1, 10s));

    const Stats st = unit.host().stats();
    QCOMPARE(describe(st.faults), std::string("none"));
    QCOMPARE(st.updatesCompleted, 1);
    QVERIFY(st.lastImageMatched);
    QCOMPARE(st.repeatsAsked, 1u);
    QCOMPARE(st.restartsAsked, 1u);
    for (int i = 0; i < kInjectionKindCount; ++i)
        QCOMPARE(st.injected[i], 1u);
}

void TestDevsimInProcess::faultIsCountedAndRecovered_data()
{
    QTest::addColumn<Unit::Tamper>("tamper");
    QTest::addColumn<Fault>("fault");

    // Each tampers once, early in the image; the tool then recovers on its own.
    auto once = [](std::uint64_t at, std::function<bool(Bytes&)> f) {
        auto done = std::make_shared<bool>(false);
        return Unit::Tamper([=](std::uint64_t n, Bytes& m) {
            if (n != at || *done)
                return true;
            *done = true;
            return f(m);
        });
    };
    const std::uint64_t slice2 = sliceMessage(1, 2);
    const std::uint64_t commit1 = sliceMessage(1, 6);

    QTest::newRow("checksum") << once(slice2, [](Bytes& m) { return m[10] ^= 1, true; })
                              << Fault::Checksum;
    QTest::newRow("payload byte changed")
        << once(slice2, [](Bytes& m) { return m[40] ^= 0x10, true; }) << Fault::Checksum;
    QTest::newRow("commit tag") << once(commit1, [](Bytes& m) { return m[10] = 5, true; })
                                << Fault::CommitTag;
    // A tool that skips a message: what arrives is the one after it.
    const Bytes image = scrambledFor(plainImage(), kSerial);
    QTest::newRow("missing slice")
        << once(slice2, [image](Bytes& m) { return m = slice(image, 1, 3), true; })
        << Fault::SliceOrder;
    QTest::newRow("missing last slice")
        << once(sliceMessage(1, 5), [](Bytes& m) { return m = commit(2), true; })
        << Fault::SliceOrder;
    QTest::newRow("missing F7") << once(slice2, [](Bytes& m) { return m.pop_back(), true; })
                                << Fault::MissingEnd;
    QTest::newRow("high byte") << once(slice2, [](Bytes& m) { return m[50] |= 0x80, true; })
                               << Fault::HighByte;
    QTest::newRow("bytes 5-8 set")
        << once(slice2, [](Bytes& m) { return m[7] = 1, true; }) << Fault::FrameHeader;
    QTest::newRow("unknown command")
        << once(slice2, [](Bytes& m) { return m[9] = 0x0B, true; }) << Fault::Command;
    QTest::newRow("short commit") << once(commit1, [](Bytes& m) {
        m.erase(m.begin() + 10);
        return true;
    }) << Fault::Length;
    QTest::newRow("slice 5 at slice 4's offset") << once(sliceMessage(1, 5), [](Bytes& m) {
        m[10] = (m[10] - m[11] - m[12] + 0x40 + 0x03) & 0x7F;
        m[11] = 0x40;
        m[12] = 0x03;
        return true;
    }) << Fault::Length;
    QTest::newRow("offset off a slice start") << once(slice2, [](Bytes& m) {
        m[11] += 1;
        m[10] = (m[10] + 1) & 0x7F;
        return true;
    }) << Fault::SliceOrder;
    auto readdress = [](int units) {
        return [units](Bytes& m) {
            m[10] = (m[10] - m[13] - m[14] + (units & 0x7F) + (units >> 7)) & 0x7F;
            m[13] = units & 0x7F;
            m[14] = units >> 7;
            return true;
        };
    };
    QTest::newRow("block address ahead")
        << once(sliceMessage(1, 0), readdress(4)) << Fault::BlockAddress;
    QTest::newRow("block address odd")
        << once(sliceMessage(1, 0), readdress(3)) << Fault::BlockAddress;
    QTest::newRow("top-bits byte unused bits") << once(sliceMessage(1, 0), [](Bytes& m) {
        // Payload byte 7 is the top-bits byte of group 0.
        m[13 + 7] |= 0x10;
        m[10] = (m[10] + 0x10) & 0x7F;
        return true;
    }) << Fault::Encoding;
}

void TestDevsimInProcess::faultIsCountedAndRecovered()
{
    QFETCH(Unit::Tamper, tamper);
    QFETCH(Fault, fault);

    Unit unit(DeviceSettings{}, {}, tamper);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QVERIFY2(tool.update(), unit.state().c_str());
    QVERIFY(unit.host().waitForCompletedUpdates(1, 10s));

    const Stats st = unit.host().stats();
    FaultCounts expected{};
    expected[int(fault)] = 1;
    QCOMPARE(describe(st.faults), describe(expected));
    QCOMPARE(unit.host().report().faults[int(fault)], 1u);
    // The unit asked for the block again, and the window's re-send healed it.
    QCOMPARE(st.repeatsAsked, 1u);
    QCOMPARE(st.updatesMatched, 1);
}

void TestDevsimInProcess::injectionIsSurvived_data()
{
    QTest::addColumn<Injection>("injection");
    QTest::addColumn<quint64>("message");

    QTest::newRow("silent on a slice") << Injection::Silent << quint64(sliceMessage(3, 2));
    QTest::newRow("silent on a commit") << Injection::Silent << quint64(sliceMessage(3, 6));
    QTest::newRow("repeat on a slice") << Injection::Repeat << quint64(sliceMessage(3, 2));
    QTest::newRow("repeat on a commit") << Injection::Repeat << quint64(sliceMessage(3, 6));
    QTest::newRow("restart mid-image") << Injection::Restart << quint64(sliceMessage(100, 6));
    QTest::newRow("restart on a slice") << Injection::Restart << quint64(sliceMessage(9, 3));
    QTest::newRow("late") << Injection::Late << quint64(sliceMessage(5, 0));
    QTest::newRow("duplicate") << Injection::Duplicate << quint64(sliceMessage(5, 4));
    QTest::newRow("unrelated") << Injection::Unrelated << quint64(sliceMessage(5, 6));
    QTest::newRow("oversized") << Injection::Oversized << quint64(sliceMessage(5, 1));
    QTest::newRow("restart at the last commit")
        << Injection::Restart << quint64(sliceMessage(879, 6));
}

void TestDevsimInProcess::injectionIsSurvived()
{
    QFETCH(Injection, injection);
    QFETCH(quint64, message);

    DeviceSettings settings;
    settings.faults.add(message, injection);
    Replies replies;
    Unit unit(settings, {}, {}, replies.listener());
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    QVERIFY2(tool.update(), unit.state().c_str());
    QVERIFY(unit.host().waitForCompletedUpdates(1, 10s));

    const Stats st = unit.host().stats();
    QCOMPARE(describe(st.faults), std::string("none"));
    QCOMPARE(st.updatesMatched, 1);
    QCOMPARE(st.injected[int(injection)], 1u);
    QCOMPARE(st.repeatsAsked, injection == Injection::Repeat ? 1u : 0u);
    QCOMPARE(st.restartsAsked, injection == Injection::Restart ? 1u : 0u);
    // Traffic in front of an answer may take both of the window's input
    // buffers, and the answer is lost with it: the watchdog sends again.
    const bool silence = injection == Injection::Silent || injection == Injection::Repeat;
    const bool crowded = injection == Injection::Unrelated || injection == Injection::Oversized;
    QVERIFY2(silence ? tool.watchdogResends == 1 : tool.watchdogResends <= int(crowded),
             qPrintable(QString::number(tool.watchdogResends)));

    // How late an answer comes is the clock's business (see
    // tst_devicesimulator's twoInFlight); here, what was said.
    const auto sent = replies.all();
    bool oversized = false;
    int foreign = 0;
    for (const auto& r : sent) {
        oversized |= r.size() > 1024;
        foreign += r.size() < 10 || r[4] != kModelId || r[3] != 0x22 ||
                   (r[9] != kReplyAckSlice && r[9] != kReplyAckCommit && r[9] != kReplyRestart &&
                    r[9] != kReplyRepeat && r[9] != kReplyIdentity);
    }
    QCOMPARE(oversized, injection == Injection::Oversized);
    if (injection == Injection::Unrelated)
        QVERIFY(foreign >= 5);
    else
        QCOMPARE(foreign, int(oversized));
    // One message ahead, the window takes the answer to the message before
    // the last commit for the commit's own: its box may come before the
    // unit's last answer.
    if (injection == Injection::Duplicate)
        QTRY_VERIFY_WITH_TIMEOUT(
            count(replies.all(), kReplyAckSlice) + count(replies.all(), kReplyAckCommit) > 6160,
            10000);
}

void TestDevsimInProcess::repeatAtLastCommitLeavesUpdateOpen()
{
    DeviceSettings settings;
    settings.faults.add(sliceMessage(879, 6), Injection::Repeat);
    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    // No tick: the window waits for its watchdog before it sends the last
    // block again, and until then the unit holds all but that one.
    tool.pressUpdate();
    QVERIFY(tool.waitFor([&] { return unit.host().stats().repeatsAsked == 1; }, 120000));
    QVERIFY(unit.host().waitUntil(
        [](const DeviceSimulator& sim) {
            return sim.updateRunning() && sim.report().blocksPresent == 879 &&
                   sim.stats().updatesCompleted == 0;
        },
        10s));
}

void TestDevsimInProcess::lateReplyKeepsOrder_data()
{
    QTest::addColumn<bool>("answerInline");
    QTest::newRow("worker") << false;
    QTest::newRow("inline") << true;
}

void TestDevsimInProcess::lateReplyKeepsOrder()
{
    QFETCH(bool, answerInline);
    DeviceSettings settings;
    settings.lateDelay = std::chrono::milliseconds(100);
    settings.faults.add(0, Injection::Late);
    SimulatorHost host(settings, plainImage());
    host.setAnswerInline(answerInline);
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

void TestDevsimInProcess::inlineAnswerLeavesBeforePostReturns()
{
    SimulatorHost host(DeviceSettings{}, plainImage());
    host.setAnswerInline(true);
    std::vector<Bytes> sent;
    std::vector<std::thread::id> senders;
    host.start([&](const Bytes& m) {
        sent.push_back(m);
        senders.push_back(std::this_thread::get_id());
    });
    const Bytes identity = command(IdentityRequest);
    host.post(identity.data(), identity.size());
    // Read before stop(): the worker must have had no part in it.
    const std::size_t sentAtReturn = sent.size();
    host.stop(true);
    QCOMPARE(sentAtReturn, std::size_t(1));
    QCOMPARE(senders[0], std::this_thread::get_id());
    QCOMPARE(sent[0][9], kReplyIdentity);
}

void TestDevsimInProcess::lastBlockIsCheckedOffTheCallersThread()
{
    // The caller stands for JACK's process callback: checking the whole image
    // there overruns its cycle and loses the answer that ends the update.
    SimulatorHost host(DeviceSettings{}, plainImage());
    host.setAnswerInline(true);
    std::mutex lock;
    std::vector<std::thread::id> senders;
    host.start([&](const Bytes&) {
        std::lock_guard guard(lock);
        senders.push_back(std::this_thread::get_id());
    });
    auto sentCount = [&] {
        std::lock_guard guard(lock);
        return senders.size();
    };
    const Bytes image = scrambledFor(plainImage(), kSerial);
    std::vector<Bytes> messages{beginUpdate()};
    for (int b = 0; b < kBlockCount; ++b) {
        for (int n = 0; n < kSliceCount; ++n)
            messages.push_back(slice(image, b, n));
        messages.push_back(commit(std::uint8_t(b == 0 ? 0 : (b & 7) + 1)));
    }
    // One at a time, as the tool sends them.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        host.post(messages[i].data(), messages[i].size());
        QTRY_COMPARE_WITH_TIMEOUT(sentCount(), i + 1, 10000);
    }
    host.stop(true);
    QCOMPARE(host.stats().updatesMatched, 1);
    const auto caller = std::this_thread::get_id();
    QCOMPARE(senders[senders.size() - 8], caller); // the commit before the last block
    QVERIFY(senders.back() != caller);
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

QTEST_MAIN(TestDevsimInProcess)
#include "tst_devsiminprocess.moc"
