// The bare side of every comparison: the tool is only fairly measured against
// a client that sends exactly what the tool sends, and that gets over a lost
// reply the way the tool does.

#include "DeviceSimulator.h"
#include "Figures.h"
#include "ImageFile.h"
#include "Loopback.h"
#include "Protocol.h"
#include "Runs.h"
#include "UnitReplies.h"
#include "UpdateMessages.h"

#include <QMap>
#include <QTest>

#include <mutex>

using namespace orvik::bench;

namespace {

constexpr std::uint32_t kSerial = 123456789;
// The tool's rule at a tenth of its pace: a silence of 500 to 600 ms, long
// enough that a busy machine does not pass for a lost reply.
constexpr Recovery kRecovery{100, 5};
constexpr int kSilenceMs = kRecovery.tickMs * (kRecovery.idleTicks + 1);

// A made-up message that carries its own number.
Bytes numbered(int i)
{
    return {0xF0,
            0x00,
            0x11,
            0x22,
            0x0B,
            0x00,
            0x00,
            0x00,
            0x00,
            DataSlice,
            static_cast<std::uint8_t>(i >> 7),
            static_cast<std::uint8_t>(i & 0x7F),
            0xF7};
}

Bytes reply(std::uint8_t command)
{
    return testsupport::replyFrame(command);
}

enum ScriptedAnswer
{
    Acknowledge,
    Silence, // this once
    Repeat,
    Restart,
    Garbage,
    Mute, // from here on
};

// A unit on a loopback link: answers each message as the script says the
// first time it comes, acknowledges it after that, and keeps the order in
// which messages came.
class ScriptedUnit
{
public:
    explicit ScriptedUnit(QMap<int, int> script)
        : script_(std::move(script)),
          link_("bench scripted unit",
                [this](const std::uint8_t* data, std::size_t size) { receive(data, size); })
    {}

    int input() const { return link_.inputDeviceNumber(); }
    int output() const { return link_.outputDeviceNumber(); }

    QList<int> received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void receive(const std::uint8_t* data, std::size_t size)
    {
        const int n = size > 11 ? (data[10] << 7) | data[11] : -1;
        int answer = Acknowledge;
        {
            std::lock_guard lock(mutex_);
            received_ << n;
            if (script_.contains(n))
                answer = script_.take(n);
            if (answer == Mute)
                muted_ = true;
            if (muted_)
                return;
        }
        Bytes r;
        switch (answer) {
        case Acknowledge:
            r = reply(n == 0 ? kReplyRestart : kReplyAckSlice);
            break;
        case Repeat:
            r = reply(kReplyRepeat);
            break;
        case Restart:
            r = reply(kReplyRestart);
            break;
        case Garbage:
            r = reply(0x55);
            break;
        default:
            return;
        }
        link_.toTool(r.data(), r.size());
    }

    std::mutex mutex_;
    QMap<int, int> script_;
    QList<int> received_;
    bool muted_ = false;
    // Last, so that its thread is gone before anything it uses.
    orvik::loopback::Link link_;
};

QList<int> range(int from, int to)
{
    QList<int> r;
    for (int i = from; i <= to; ++i)
        r << i;
    return r;
}

using Script = QMap<int, int>;

} // namespace

Q_DECLARE_METATYPE(orvik::bench::Answer)

class TestBenchClients : public QObject
{
    Q_OBJECT

private slots:
    void pingPongFollowsTheUnit_data();
    void pingPongFollowsTheUnit();
    void capturedUpdateIsOneWholeUpdate();
};

void TestBenchClients::pingPongFollowsTheUnit_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QList<int>>("order");
    QTest::addColumn<int>("resent");
    QTest::addColumn<QString>("error");

    for (const Answer answer : {Answer::InCallback, Answer::OnMainThread}) {
        const char* where = answer == Answer::InCallback ? "in callback" : "on main thread";
        auto row = [&](const char* name) -> QTestData& {
            return QTest::addRow("%s, %s", where, name) << answer;
        };
        // Twenty messages after BeginUpdate: blocks of six slices and a commit
        // are messages 1-7, 8-14 and 15-20.
        row("clean") << Script{} << range(0, 20) << 0 << QString();
        row("a slice's reply lost")
            << Script{{10, Silence}} << range(0, 10) + range(8, 20) << 1 << QString();
        // The commit went through but nobody heard: its block goes again.
        row("a commit's reply lost")
            << Script{{7, Silence}} << range(0, 7) + range(1, 20) << 1 << QString();
        row("the first slice of a block lost")
            << Script{{8, Silence}} << range(0, 8) + range(8, 20) << 1 << QString();
        row("BeginUpdate's reply lost")
            << Script{{0, Silence}} << range(0, 0) + range(0, 20) << 1 << QString();
        // A unit that asks for anything again has found fault with what came:
        // the run goes on as the tool's would, but its figures do not count.
        row("a repeat request") << Script{{5, Repeat}} << range(0, 5) + range(1, 20) << 1
                                << QStringLiteral("1 repeats");
        row("a restart request") << Script{{12, Restart}} << range(0, 12) + range(1, 20) << 0
                                 << QStringLiteral("1 restarts");
        row("a reply of another kind")
            << Script{{3, Garbage}} << range(0, 3) + range(1, 20) << 1 << QStringLiteral("neither");
        row("a unit that falls silent")
            << Script{{4, Mute}} << QList<int>{} << -1 << QStringLiteral("timed out");
    }
}

void TestBenchClients::pingPongFollowsTheUnit()
{
    QFETCH(Answer, answer);
    QFETCH(Script, script);
    QFETCH(QList<int>, order);
    QFETCH(int, resent);
    QFETCH(QString, error);

    constexpr int kMessages = 20;
    std::vector<Bytes> messages;
    for (int i = 0; i <= kMessages; ++i)
        messages.push_back(numbered(i));

    ScriptedUnit unit(script);
    // Only a unit that falls silent needs the client to notice a silence.
    const bool quiet = !script.isEmpty() && script.first() != Restart;
    const Recovery recovery = quiet ? kRecovery : kNoRecovery;
    const int timeoutMs = error == QLatin1String("timed out") ? 3 * kSilenceMs : 60000;
    const RunFigures r = winmmPingPong(unit.input(), unit.output(), messages, kMessages, recovery,
                                       timeoutMs, answer);

    QCOMPARE(r.error.isEmpty(), error.isEmpty());
    QVERIFY2(r.error.contains(error), qPrintable(r.error));
    QCOMPARE(r.ok, error.isEmpty());
    QCOMPARE(r.roundTrips, kMessages + 1);
    if (order.isEmpty())
        return;
    QCOMPARE(unit.received(), order);
    QCOMPARE(r.sent, std::uint64_t(order.size()));
    QCOMPARE(r.resent, std::uint64_t(resent));
    QVERIFY(r.wall > 0);
    // Every message that arrived was answered, except the one the script
    // kept quiet about.
    const auto silent = std::uint64_t(script.values().count(Silence));
    QCOMPARE(r.replies + silent, std::uint64_t(order.size()));
    if (!error.isEmpty())
        return;
    // Each silence lasted as the tool's would: five ticks, less at most the
    // one that a late tick may take off.
    const std::vector<double> gaps = silences(r.marks);
    QCOMPARE(gaps.size(), std::size_t(resent));
    for (double ns : gaps)
        QVERIFY2(ns >= (kRecovery.idleTicks - 1) * kRecovery.tickMs * 1e6,
                 qPrintable(QString::number(ns / 1e6) + QStringLiteral(" ms")));
}

void TestBenchClients::capturedUpdateIsOneWholeUpdate()
{
    std::vector<Bytes> messages;
    QString error;
    QVERIFY2(captureUpdateMessages(kSerial, messages, &error), qPrintable(error));

    QCOMPARE(messages.size(), std::size_t(1 + kBlockCount * (kSliceCount + 1)));
    QCOMPARE(messages[0].size(), std::size_t(21));
    QCOMPARE(messages[0][9], std::uint8_t(BeginUpdate));
    for (std::size_t i = 1; i < messages.size(); ++i) {
        const std::size_t slot = (i - 1) % (kSliceCount + 1);
        const std::size_t size = slot < 5 ? 126 : slot == 5 ? 97 : 12;
        QCOMPARE(messages[i].size(), size);
        QCOMPARE(messages[i][9], std::uint8_t(slot < 6 ? DataSlice : CommitBlock));
    }

    // A unit that has never met the tool takes the sequence, replayed as it
    // stands, for one whole update with the right image.
    auto image =
        orvik::devsim::loadImage(QStringLiteral(":/data/orvik_resources_v2_06.bin"), &error);
    QVERIFY2(image, qPrintable(error));
    orvik::devsim::DeviceSettings settings;
    settings.serialNumber = kSerial;
    std::vector<Bytes> replies;
    orvik::devsim::DeviceSimulator unit(
        settings, std::move(*image), [&](orvik::devsim::Reply r) { replies.push_back(r.bytes); });
    for (const Bytes& m : messages)
        unit.receive(m.data(), m.size());
    QCOMPARE(unit.stats().updatesMatched, 1);
    QCOMPARE(orvik::devsim::total(unit.stats().faults), std::uint64_t(0));
    QCOMPARE(replies.size(), messages.size());
    QCOMPARE(replies.front()[9], kReplyRestart);
    QVERIFY(std::all_of(replies.begin() + 1, replies.end(), [](const Bytes& r) {
        return r[9] == kReplyAckSlice || r[9] == kReplyAckCommit;
    }));
}

QTEST_GUILESS_MAIN(TestBenchClients)
#include "tst_benchclients.moc"
