// The simulated unit fed bytes directly, message by message, on a clock the
// test sets: how it judges and answers each one. Whole updates through the
// real window are in tst_devsiminprocess.cpp.

#include "DeviceCodec.h"
#include "DeviceMessages.h"
#include "DeviceSimulator.h"
#include "UnitBench.h"

#include <QRandomGenerator>
#include <QTest>

using namespace orvik::devsim;
using namespace testsupport;

Q_DECLARE_METATYPE(testsupport::Bytes)

class TestDeviceSimulator : public QObject
{
    Q_OBJECT

private slots:
    void identityReply_data();
    void identityReply();
    void foreignFramesAreNotAnswered();
    void refusedBeginUpdate_data();
    void refusedBeginUpdate();
    void staleMessagesAfterRepeat_data();
    void staleMessagesAfterRepeat();
    void lastBlockAfterTheEnd_data();
    void lastBlockAfterTheEnd();
    void busyTimes_data();
    void busyTimes();
    void twoInFlight_data();
    void twoInFlight();
    void restartRequestAfterIdentity();
    void wrongImageDiffers();
    void restartAfterTheUpdate_data();
    void restartAfterTheUpdate();
    void descrambleInvertsScramble_data();
    void descrambleInvertsScramble();
    void arbitraryBytesAreHarmless();
    void scheduleText_data();
    void scheduleText();
    void randomScheduleIsReproducible();
};

void TestDeviceSimulator::identityReply_data()
{
    QTest::addColumn<quint32>("serial");
    QTest::addColumn<quint16>("version");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("typical") << quint32(123456789) << quint16(0x0602) << QByteArray("ABC")
                             << QByteArray::fromHex("f0001122 0b 15 1a 6f 3a 20 02 0c"
                                                    "414243 00000000000000000000000000 f7");
    QTest::newRow("zero") << quint32(0) << quint16(0) << QByteArray()
                          << QByteArray::fromHex("f0001122 0b 00000000 20 0000"
                                                 "00000000000000000000000000000000 f7");
    QTest::newRow("top bits dropped")
        << quint32(0xFFFFFFFF) << quint16(0x3FFF) << QByteArray("0123456789abcdef")
        << QByteArray::fromHex("f0001122 0b 7f7f7f7f 20 7f7f"
                               "30313233343536373839616263646566 f7");
}

void TestDeviceSimulator::identityReply()
{
    QFETCH(quint32, serial);
    QFETCH(quint16, version);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);

    DeviceSettings s;
    s.serialNumber = serial;
    s.firmwareVersion = version;
    s.name = name.toStdString();
    std::vector<Reply> replies;
    DeviceSimulator sim(s, {}, [&](Reply r) { replies.push_back(std::move(r)); });
    const Bytes request = command(IdentityRequest);
    sim.receive(request.data(), request.size());

    QCOMPARE(replies.size(), std::size_t(1));
    const QByteArray got(reinterpret_cast<const char*>(replies[0].bytes.data()),
                         qsizetype(replies[0].bytes.size()));
    QCOMPARE(got.toHex(), expected.toHex());
    QCOMPARE(sim.stats().identityRequests, 1u);
    QCOMPARE(total(sim.stats().faults), 0u);
}

void TestDeviceSimulator::foreignFramesAreNotAnswered()
{
    std::vector<Reply> replies;
    DeviceSimulator sim(settings(), {}, [&](Reply r) { replies.push_back(std::move(r)); });
    const std::vector<Bytes> foreign = {
        {},
        {0x90, 0x3C, 0x40},
        {0xF0, 0x43, 0x10, 0xF7},
        {0xF0, 0x00, 0x11, 0x22, 0x0C, 0, 0, 0, 0, 0, 0xF7},
        {0xF0, 0x00, 0x11},
    };
    for (const auto& m : foreign)
        sim.receive(m.data(), m.size());
    QCOMPARE(sim.stats().faults[int(Fault::FrameHeader)], std::uint64_t(foreign.size()));
    QCOMPARE(replies.size(), std::size_t(0));

    // Image data before any begin-update is out of place.
    const Bytes data = slice(Bytes(kImageSize), 0, 0);
    sim.receive(data.data(), data.size());
    QCOMPARE(sim.stats().faults[int(Fault::OutsideUpdate)], 1u);
    QCOMPARE(count(replies, kReplyRepeat), 1);
}

void TestDeviceSimulator::refusedBeginUpdate_data()
{
    QTest::addColumn<Bytes>("message");
    QTest::addColumn<QList<int>>("faults");

    const std::uint8_t wrongCode[4] = {UpdateAccessCode[0], UpdateAccessCode[1],
                                       std::uint8_t(UpdateAccessCode[2] ^ 1), UpdateAccessCode[3]};
    QTest::newRow("parameters") << beginUpdate(2, 5) << QList<int>{int(Fault::BeginParameters)};
    QTest::newRow("length") << beginUpdate(2, 6, kImageSize - 512)
                            << QList<int>{int(Fault::BeginLength)};
    QTest::newRow("access code") << beginUpdate(2, 6, kImageSize, wrongCode)
                                 << QList<int>{int(Fault::AccessCode)};
    QTest::newRow("all three") << beginUpdate(6, 2, 0, wrongCode)
                               << QList<int>{int(Fault::BeginParameters), int(Fault::BeginLength),
                                             int(Fault::AccessCode)};
}

void TestDeviceSimulator::refusedBeginUpdate()
{
    QFETCH(Bytes, message);
    QFETCH(QList<int>, faults);

    std::vector<Reply> replies;
    DeviceSimulator sim(settings(), {}, [&](Reply r) { replies.push_back(std::move(r)); });
    sim.receive(message.data(), message.size());

    // A unit that refuses says nothing and starts nothing.
    QVERIFY(!sim.updateRunning());
    QCOMPARE(replies.size(), std::size_t(0));
    FaultCounts expected{};
    for (int f : faults)
        expected[f] = 1;
    QCOMPARE(describe(sim.stats().faults), describe(expected));
}

void TestDeviceSimulator::staleMessagesAfterRepeat_data()
{
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("answers");

    QTest::newRow("lenient: ignored") << false << "none" << 0;
    QTest::newRow("strict: counted and answered") << true << "out-of-step=4" << 4;
}

void TestDeviceSimulator::staleMessagesAfterRepeat()
{
    QFETCH(bool, strict);
    QFETCH(QString, faults);
    QFETCH(int, answers);

    // Acknowledgements carry no sequence number: a tool one message ahead
    // (after a duplicate acknowledgement, or a late one) still has a message
    // on the wire when the unit asks for the block again.
    DeviceSettings s = settings();
    s.strict = strict;
    s.faults.add(sliceMessage(1, 2), Injection::Repeat);
    Bench unit(s);
    const Bytes& image = scrambledImage();
    unit.begin();
    feedBlock(unit.sim, image, 0, 0);
    for (int n = 0; n <= 2; ++n)
        unit.send(slice(image, 1, n));
    QCOMPARE(unit.lastCommand(), kReplyRepeat);

    const auto before = unit.replies.size();
    for (int n = 3; n < kSliceCount; ++n)
        unit.send(slice(image, 1, n));
    unit.send(commit(std::uint8_t(tagAfter(1))));
    QCOMPARE(int(unit.replies.size() - before), answers);
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);

    // The block started over is taken as if nothing had happened.
    feedBlock(unit.sim, image, 1, tagAfter(1));
    QCOMPARE(unit.lastCommand(), kReplyAckCommit);
    QCOMPARE(unit.sim.report().commits, 2);
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);
}

void TestDeviceSimulator::lastBlockAfterTheEnd_data()
{
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("lastAnswer");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("answers");

    // The last block again, seven messages: only a tool that never heard the
    // last acknowledgement has reason to send it.
    QTest::newRow("strict, answer lost on the wire") << true << "lost"
                                                     << "none" << 7;
    QTest::newRow("strict, answer given") << true << "given"
                                          << "after-end=7" << 7;
    QTest::newRow("strict, no final answer") << true << "withheld"
                                             << "after-end=7" << 0;
    QTest::newRow("lenient, answer given") << false << "given"
                                           << "none" << 7;
}

void TestDeviceSimulator::lastBlockAfterTheEnd()
{
    QFETCH(bool, strict);
    QFETCH(QString, lastAnswer);
    QFETCH(QString, faults);
    QFETCH(int, answers);

    DeviceSettings s = settings();
    s.strict = strict;
    if (lastAnswer == "lost")
        s.faults.add(sliceMessage(879, 6), Injection::Silent);
    s.answersLastCommit = lastAnswer != "withheld";
    Bench unit(s);
    unit.begin();
    unit.wholeImage();
    QCOMPARE(unit.sim.report().outcome, UpdateReport::Outcome::Matched);
    QCOMPARE(unit.lastCommand(), lastAnswer == "given" ? kReplyAckCommit : kReplyAckSlice);

    const auto before = unit.replies.size();
    feedBlock(unit.sim, scrambledImage(), kBlockCount - 1, tagAfter(kBlockCount - 1));
    QCOMPARE(int(unit.replies.size() - before), answers);
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);
    QCOMPARE(unit.sim.stats().updatesCompleted, 1);
    QVERIFY(!unit.sim.updateRunning());

    // Whatever the end, the unit answers who it is and takes a new update.
    unit.send(command(IdentityRequest));
    QCOMPARE(unit.lastCommand(), kReplyIdentity);
    unit.begin();
    QCOMPARE(unit.lastCommand(), kReplyRestart);
    QVERIFY(unit.sim.updateRunning());
}

void TestDeviceSimulator::busyTimes_data()
{
    QTest::addColumn<bool>("erase");
    QTest::addColumn<int>("offsetMs"); // from the end of the busy time
    QTest::addColumn<QString>("faults");

    QTest::newRow("erasing, 1 ms before the end") << true << -1 << "busy=1";
    QTest::newRow("erase over") << true << 0 << "none";
    QTest::newRow("writing, 1 ms before the end") << false << -1 << "busy=1";
    QTest::newRow("write over") << false << 0 << "after-end=1";
}

void TestDeviceSimulator::busyTimes()
{
    QFETCH(bool, erase);
    QFETCH(int, offsetMs);
    QFETCH(QString, faults);

    const std::chrono::milliseconds busy(8000);
    DeviceSettings s = settings();
    s.eraseTime = busy;
    s.finishTime = busy;
    Bench unit(s);
    unit.begin();
    // Each answer leaves once the flash work is done.
    QCOMPARE(unit.replies.back().delay, busy);
    unit.at += busy;
    if (!erase) {
        unit.wholeImage();
        QCOMPARE(unit.replies.back().delay, busy);
        QCOMPARE(unit.lastCommand(), kReplyAckCommit);
        unit.at += busy;
    }

    // The tool's next message, or one too many: slice 0 of block 0 after the
    // erase, the last block again after the write.
    unit.at += std::chrono::milliseconds(offsetMs);
    const auto before = unit.replies.size();
    unit.send(slice(scrambledImage(), erase ? 0 : kBlockCount - 1, 0));
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);
    // Lost on a busy unit; otherwise answered.
    QCOMPARE(unit.replies.size() - before, std::size_t(offsetMs < 0 ? 0 : 1));
}

void TestDeviceSimulator::twoInFlight_data()
{
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<int>("nextAtMs");
    QTest::addColumn<QString>("faults");

    QTest::newRow("after the late answer") << 1500 << 1500 << "none";
    QTest::newRow("before the late answer") << 1500 << 1499 << "two-in-flight=1";
    // The tool's watchdog may send again once the unit has been silent 5 s.
    QTest::newRow("silent for the watchdog's time") << 10000 << 5000 << "none";
    QTest::newRow("silent for less") << 10000 << 4999 << "two-in-flight=1";
}

void TestDeviceSimulator::twoInFlight()
{
    QFETCH(int, lateMs);
    QFETCH(int, nextAtMs);
    QFETCH(QString, faults);

    DeviceSettings s = settings();
    s.lateDelay = std::chrono::milliseconds(lateMs);
    s.faults.add(1, Injection::Late);
    Bench unit(s);
    unit.begin();
    unit.send(slice(scrambledImage(), 0, 0));
    QCOMPARE(unit.replies.back().delay, std::chrono::milliseconds(lateMs));
    unit.at = std::chrono::milliseconds(nextAtMs);
    unit.send(slice(scrambledImage(), 0, 1));
    QCOMPARE(QString::fromStdString(describe(unit.sim.stats().faults)), faults);
    // Counted, and answered all the same.
    QCOMPARE(unit.lastCommand(), kReplyAckSlice);
}

void TestDeviceSimulator::restartRequestAfterIdentity()
{
    DeviceSettings s = settings();
    s.restartAfterIdentity = true;
    Bench unit(s);
    unit.send(command(IdentityRequest));
    QCOMPARE(unit.replies.size(), std::size_t(2));
    QCOMPARE(unit.replies[0].bytes[9], kReplyIdentity);
    QCOMPARE(unit.replies[1].bytes, shortReply(kReplyRestart));
    QCOMPARE(unit.sim.stats().unpromptedRestarts, 1u);
    QCOMPARE(unit.sim.stats().restartsAsked, 0u);

    // A tool that takes it for the start of an update sends image data that
    // no begin-update announced.
    unit.send(slice(scrambledImage(), 0, 0));
    QCOMPARE(unit.sim.stats().faults[int(Fault::OutsideUpdate)], 1u);
}

void TestDeviceSimulator::wrongImageDiffers()
{
    // The tool scrambled for another unit: everything checks out on the wire,
    // only the image tells.
    DeviceSettings s = settings();
    s.serialNumber = kSerial + 1;
    DeviceSimulator sim(s, plainImage(), [](Reply) {});
    const Bytes image = scrambledFor(plainImage(), kSerial);
    Bytes m = beginUpdate();
    sim.receive(m.data(), m.size());
    for (int b = 0; b < kBlockCount; ++b) {
        for (int n = 0; n < kSliceCount; ++n) {
            m = slice(image, b, n);
            sim.receive(m.data(), m.size());
        }
        m = commit(b == 0 ? 0 : (b & 7) + 1);
        sim.receive(m.data(), m.size());
    }
    QCOMPARE(describe(sim.stats().faults), std::string("none"));
    QCOMPARE(sim.stats().updatesCompleted, 1);
    QCOMPARE(sim.report().outcome, UpdateReport::Outcome::Differs);
    // The keystream starts with the serial's own bytes.
    QCOMPARE(sim.report().firstDifference, std::int64_t(0));
}

void TestDeviceSimulator::restartAfterTheUpdate_data()
{
    QTest::addColumn<bool>("matches");
    QTest::addColumn<int>("reported");
    QTest::newRow("image matched: the new version") << true << 0x0702;
    // A unit keeps the firmware it had when the image did not check out.
    QTest::newRow("image differs: the old version") << false << 0x0502;
}

void TestDeviceSimulator::restartAfterTheUpdate()
{
    QFETCH(bool, matches);
    QFETCH(int, reported);

    DeviceSettings s = settings();
    s.serialNumber = matches ? kSerial : kSerial + 1;
    s.firmwareVersion = 0x0502;
    s.restartsAfterUpdate = true;
    s.rebootTime = std::chrono::milliseconds(6000);
    s.newFirmwareVersion = 0x0702;
    Bench unit(s);
    unit.begin();
    unit.wholeImage();
    QCOMPARE(unit.lastCommand(), kReplyAckCommit);
    QCOMPARE(unit.sim.stats().restarts, 1);

    // Deaf while it restarts: the question is no fault, a begin-update is
    // lost as on a busy unit.
    const auto answered = unit.replies.size();
    unit.at += std::chrono::milliseconds(5999);
    unit.send(command(IdentityRequest));
    unit.begin();
    QCOMPARE(unit.replies.size(), answered);
    QCOMPARE(unit.sim.stats().lostWhileRestarting, 2u);
    QCOMPARE(describe(unit.sim.stats().faults), std::string("busy=1"));

    unit.at += std::chrono::milliseconds(1);
    unit.send(command(IdentityRequest));
    QCOMPARE(unit.replies.size(), answered + 1);
    const Bytes& identity = unit.replies.back().bytes;
    QCOMPARE(identity[9], kReplyIdentity);
    QCOMPARE(identity[10] | identity[11] << 7, reported);

    // Up again, it knows nothing of the update: the last block once more,
    // after an answer that was heard, goes unanswered and is counted.
    unit.send(slice(scrambledImage(), kBlockCount - 1, 0));
    QCOMPARE(unit.replies.size(), answered + 1);
    QCOMPARE(describe(unit.sim.stats().faults), std::string("busy=1 after-end=1"));
}

void TestDeviceSimulator::descrambleInvertsScramble_data()
{
    QTest::addColumn<quint32>("serial");
    QTest::newRow("0") << quint32(0);
    QTest::newRow("123456789") << quint32(123456789);
    QTest::newRow("268435455") << quint32(268435455);
    QTest::newRow("bits 28-31 set") << quint32(0xF0000000u | 123456789);
}

void TestDeviceSimulator::descrambleInvertsScramble()
{
    QFETCH(quint32, serial);
    const Bytes plain = plainImage();
    QCOMPARE(plain.size(), std::size_t(kImageSize));

    Bytes data = scrambledFor(plain, serial);
    QVERIFY(data != plain);
    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(serial, keystream);
    descrambleImage(data.data(), kImageSize, keystream);
    QVERIFY(data == plain);
}

void TestDeviceSimulator::arbitraryBytesAreHarmless()
{
    // What a fuzzer does, in small: random bytes, truncated and bit-flipped
    // real messages. Sanitizer builds turn any overrun into a failure.
    DeviceSettings s = settings();
    s.faults = FaultSchedule::random(50, 7, 300);
    std::uint64_t replies = 0;
    DeviceSimulator sim(s, plainImage(), [&](Reply) { ++replies; });
    QRandomGenerator rng(1234);
    const Bytes image = scrambledFor(plainImage(), kSerial);
    const std::vector<Bytes> valid = {beginUpdate(), command(IdentityRequest), commit(0),
                                      slice(image, 0, 0), slice(image, 0, 5)};
    for (int i = 0; i < 20000; ++i) {
        Bytes m;
        switch (rng.bounded(3)) {
        case 0:
            m.resize(rng.bounded(200));
            for (auto& b : m)
                b = std::uint8_t(rng.bounded(256));
            break;
        case 1:
            m = valid[rng.bounded(int(valid.size()))];
            m.resize(rng.bounded(int(m.size()) + 1));
            break;
        default:
            m = valid[rng.bounded(int(valid.size()))];
            m[rng.bounded(int(m.size()))] ^= std::uint8_t(1u << rng.bounded(8));
            break;
        }
        sim.receive(m.empty() ? nullptr : m.data(), m.size());
    }
    QCOMPARE(sim.stats().messagesReceived, 20000u);
    QVERIFY(total(sim.stats().faults) > 0);
    QVERIFY(replies > 0);
}

void TestDeviceSimulator::scheduleText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("schedule");

    QTest::newRow("one") << "silent@120"
                         << "silent@120";
    QTest::newRow("list") << "late@3,1"
                          << "late@1 late@3";
    QTest::newRow("unknown kind") << "loud@3" << QString();
    QTest::newRow("no number") << "repeat@" << QString();
    QTest::newRow("no at") << "repeat" << QString();
    QTest::newRow("negative") << "repeat@-1" << QString();
    QTest::newRow("trailing comma") << "repeat@1," << QString();
}

void TestDeviceSimulator::scheduleText()
{
    QFETCH(QString, text);
    QFETCH(QString, schedule);

    FaultSchedule s;
    std::string error;
    const bool ok = s.addFromText(text.toStdString(), &error);
    QCOMPARE(ok, !schedule.isEmpty());
    QCOMPARE(error.empty(), ok);
    QCOMPARE(QString::fromStdString(s.describe()), schedule);
}

void TestDeviceSimulator::randomScheduleIsReproducible()
{
    const FaultSchedule a = FaultSchedule::random(40, 99);
    QCOMPARE(a.describe(), FaultSchedule::random(40, 99).describe());
    QVERIFY(a.describe() != FaultSchedule::random(40, 100).describe());
    QCOMPARE(a.size(), std::size_t(40));
    const FaultSchedule narrow = FaultSchedule::random(5, 1, 5);
    for (int i = 0; i < kInjectionKindCount; ++i) {
        QVERIFY(!narrow.has(0, Injection(i)));
        QVERIFY(!narrow.has(6, Injection(i)));
    }
    QCOMPARE(narrow.size(), std::size_t(5));

    // Only the kinds asked for.
    const FaultSchedule transport = FaultSchedule::random(
        30, 3, 6160, (1u << int(Injection::Doubled)) | (1u << int(Injection::Overdue)));
    QCOMPARE(transport.size(), std::size_t(30));
    const QStringList items = QString::fromStdString(transport.describe()).split(' ');
    for (const QString& item : items)
        QVERIFY2(item.startsWith("doubled@") || item.startsWith("overdue@"), qPrintable(item));
}

QTEST_GUILESS_MAIN(TestDeviceSimulator)
#include "tst_devicesimulator.moc"
