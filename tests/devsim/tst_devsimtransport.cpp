// What a transport does to the messages between tool and unit (a message
// delivered twice, an answer twice, an answer past the tool's watchdog), and
// how the unit's verdict still tells a whole image from one with a hole.

#include "UnitBench.h"

#include <QTest>

#include <functional>

using namespace orvik::devsim;
using namespace testsupport;

using Script = std::function<void(Bench&)>;
Q_DECLARE_METATYPE(Script)

class TestDevsimTransport : public QObject
{
    Q_OBJECT

private slots:
    void doubledMessage_data();
    void doubledMessage();
    void verdictCatchesHoles_data();
    void verdictCatchesHoles();
    void spareAnswerExcusesOneMessageAhead();
    void overdueLastAnswerCrossesTheResend();
};

void TestDevsimTransport::doubledMessage_data()
{
    QTest::addColumn<quint64>("message");
    QTest::addColumn<int>("busyMs"); // to erase, and to write after the last commit
    QTest::addColumn<int>("restarts");
    QTest::addColumn<int>("sliceAcks");
    QTest::addColumn<int>("commitAcks");

    constexpr int slices = kBlockCount * kSliceCount;
    QTest::newRow("slice") << quint64(sliceMessage(3, 2)) << 0 << 1 << slices + 1 << kBlockCount;
    QTest::newRow("first slice") << quint64(1) << 0 << 1 << slices + 1 << kBlockCount;
    QTest::newRow("last slice of a block")
        << quint64(sliceMessage(3, 5)) << 0 << 1 << slices + 1 << kBlockCount;
    QTest::newRow("commit") << quint64(sliceMessage(3, 6)) << 0 << 1 << slices << kBlockCount + 1;
    QTest::newRow("last commit") << quint64(6160) << 0 << 1 << slices << kBlockCount + 1;
    QTest::newRow("begin-update") << quint64(0) << 0 << 2 << slices << kBlockCount;
    // A busy unit misses the copy as it would miss anything, but it is not
    // the tool's doing.
    QTest::newRow("last commit while writing")
        << quint64(6160) << 8000 << 1 << slices << kBlockCount;
    QTest::newRow("begin-update while erasing") << quint64(0) << 8000 << 1 << slices << kBlockCount;
}

void TestDevsimTransport::doubledMessage()
{
    QFETCH(quint64, message);
    QFETCH(int, busyMs);
    QFETCH(int, restarts);
    QFETCH(int, sliceAcks);
    QFETCH(int, commitAcks);

    const std::chrono::milliseconds busy(busyMs);
    DeviceSettings s = settings();
    s.faults.add(message, Injection::Doubled);
    s.eraseTime = busy;
    s.finishTime = busy;
    // Where nothing follows at once, the answer is late: still due when
    // the copy arrives, which is no second message in flight.
    if (message == 0 || message == 6160)
        s.faults.add(message, Injection::Late);
    Bench unit(s);
    unit.begin();
    unit.at += busy + s.lateDelay;
    unit.wholeImage();

    QCOMPARE(describe(unit.sim.stats().faults), std::string("none"));
    QCOMPARE(unit.sim.stats().copiesReceived, 1u);
    QCOMPARE(unit.sim.report().outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(unit.sim.report().commits, kBlockCount);
    QVERIFY(unit.sim.report().lastCommitAnswered);
    QCOMPARE(count(unit.replies, kReplyRestart), restarts);
    QCOMPARE(count(unit.replies, kReplyAckSlice), sliceAcks);
    QCOMPARE(count(unit.replies, kReplyAckCommit), commitAcks);
    QCOMPARE(unit.sim.stats().restartsAsked, 0u);
}

void TestDevsimTransport::verdictCatchesHoles_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("faults");

    const Bytes& image = scrambledImage();
    auto block = [&image](int b, int tag) {
        return [&image, b, tag](Bench& u) { feedBlock(u.sim, image, b, tag); };
    };
    auto slices = [&image](int b, int first, int last) {
        return [&image, b, first, last](Bench& u) {
            for (int n = first; n <= last; ++n)
                u.send(slice(image, b, n));
        };
    };
    auto then = [](std::vector<Script> steps) {
        return Script([steps](Bench& u) {
            for (const auto& step : steps)
                step(u);
        });
    };
    auto bareCommit = [](int tag) {
        return [tag](Bench& u) { u.send(commit(std::uint8_t(tag))); };
    };

    // The commit just taken, again: the same tag says it is a repeat.
    QTest::newRow("commit again, its own tag")
        << then({block(0, 0), block(1, 2), bareCommit(2)}) << "none";
    QTest::newRow("commit again, the next tag")
        << then({block(0, 0), block(1, 2), bareCommit(3)}) << "slice-order=1";
    QTest::newRow("block again, the next tag")
        << then({block(0, 0), block(1, 2), block(1, 3)}) << "commit-tag=1";
    QTest::newRow("block never committed")
        << then({block(0, 0), slices(1, 0, 5), slices(2, 0, 0)}) << "block-address=1";
    QTest::newRow("tag out of step") << then({block(0, 0), block(1, 3)}) << "commit-tag=1";
    QTest::newRow("a slice again out of turn")
        << then({block(0, 0), slices(1, 0, 3), slices(1, 1, 1)}) << "slice-order=1";
}

void TestDevsimTransport::verdictCatchesHoles()
{
    QFETCH(Script, script);
    QFETCH(QString, faults);

    Bench unit(settings());
    unit.begin();
    script(unit);
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);
    if (faults == "none") {
        QCOMPARE(unit.lastCommand(), kReplyAckCommit);
        QCOMPARE(unit.sim.report().commits, 2);
    }
}

void TestDevsimTransport::spareAnswerExcusesOneMessageAhead()
{
    // A slice answered twice: the tool may take the spare answer for the
    // next slice's and have one more slice on the wire when the unit asks for
    // the block again. That one is the transport's doing; what the tool
    // sends after its watchdog's wait is its own.
    DeviceSettings s = settings();
    s.faults.add(sliceMessage(1, 1), Injection::Duplicate);
    s.faults.add(sliceMessage(1, 2), Injection::Repeat);
    Bench unit(s);
    const Bytes& image = scrambledImage();
    unit.begin();
    feedBlock(unit.sim, image, 0, 0);
    for (int n = 0; n <= 2; ++n)
        unit.send(slice(image, 1, n));
    QCOMPARE(unit.lastCommand(), kReplyRepeat);

    const auto before = unit.replies.size();
    unit.send(slice(image, 1, 3));
    QCOMPARE(unit.replies.size(), before);
    QCOMPARE(describe(unit.sim.stats().faults), std::string("none"));

    unit.at += kWatchdogSilence;
    unit.send(slice(image, 1, 4));
    QCOMPARE(describe(unit.sim.stats().faults), std::string("out-of-step=1"));
    feedBlock(unit.sim, image, 1, tagAfter(1));
    QCOMPARE(unit.lastCommand(), kReplyAckCommit);
    QCOMPARE(unit.sim.report().commits, 2);
}

void TestDevsimTransport::overdueLastAnswerCrossesTheResend()
{
    // The tool waits 20 s for the last commit's answer while the unit may be
    // writing; an answer later still crosses its re-send of the last block,
    // which then reaches a unit whose last answer is not yet out.
    DeviceSettings s = settings();
    s.overdueDelay = std::chrono::milliseconds(20001);
    s.faults.add(6160, Injection::Overdue);
    Bench unit(s);
    unit.begin();
    unit.wholeImage();
    QCOMPARE(unit.replies.back().delay, s.overdueDelay);
    QCOMPARE(unit.sim.report().outcome, UpdateReport::Outcome::Matched);

    unit.at += std::chrono::seconds(20);
    const auto before = unit.replies.size();
    feedBlock(unit.sim, scrambledImage(), kBlockCount - 1, tagAfter(kBlockCount - 1));
    QCOMPARE(describe(unit.sim.stats().faults), std::string("none"));
    QCOMPARE(unit.replies.size() - before, std::size_t(7));
    QCOMPARE(unit.sim.stats().updatesCompleted, 1);
}

QTEST_GUILESS_MAIN(TestDevsimTransport)
#include "tst_devsimtransport.moc"
