// The benchmark's arithmetic: if it is wrong, every figure it prints is.

#include "Figures.h"
#include "JackUnit.h"
#include "Report.h"

#include <QTest>

using namespace orvik::bench;

Q_DECLARE_METATYPE(std::vector<double>)

namespace {

// "R0 A4 S5": a kind letter (Reply, Arrival, Send, Wire, Out), then the
// time in ns.
std::vector<Mark> marks(const QString& script)
{
    std::vector<Mark> out;
    for (const QString& item : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QChar k = item.at(0);
        const MarkKind kind = k == QLatin1Char('R')   ? MarkKind::Reply
                              : k == QLatin1Char('A') ? MarkKind::Arrival
                              : k == QLatin1Char('W') ? MarkKind::Wire
                              : k == QLatin1Char('O') ? MarkKind::Out
                                                      : MarkKind::Send;
        out.push_back({kind, item.mid(1).toLongLong()});
    }
    return out;
}

std::vector<double> descending(int n)
{
    std::vector<double> v;
    for (int i = n; i >= 1; --i)
        v.push_back(i);
    return v;
}

} // namespace

class TestBenchFigures : public QObject
{
    Q_OBJECT

private slots:
    void summaries_data();
    void summaries();
    void intervalsBetweenMarks_data();
    void intervalsBetweenMarks();
    void roundsFromSendToSend_data();
    void roundsFromSendToSend();
    void sendsNoReplyCaused_data();
    void sendsNoReplyCaused();
    void messagesInServerCycles_data();
    void messagesInServerCycles();
    void lossesAtLateCycles_data();
    void lossesAtLateCycles();
    void dinWireTimeOfAnUpdate();
    void unitSummaries_data();
    void unitSummaries();
    void unitUpdatesGoToTheirRuns();
    void unitPortsFoundByName_data();
    void unitPortsFoundByName();
    void comparisonTakesTheMedianRuns();
    void targetsJudgeTheirOwnFigures();
    void peersJudgedAgainstEachKindOfUnit();
};

void TestBenchFigures::summaries_data()
{
    QTest::addColumn<std::vector<double>>("values");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("median");
    QTest::addColumn<double>("p99");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("mean");

    QTest::newRow("none") << std::vector<double>{} << 0.0 << 0.0 << 0.0 << 0.0 << 0.0;
    QTest::newRow("one") << std::vector<double>{7} << 7.0 << 7.0 << 7.0 << 7.0 << 7.0;
    // Nearest rank: no interpolation, the lower middle of an even count.
    QTest::newRow("even count") << std::vector<double>{4, 1, 3, 2} << 1.0 << 2.0 << 4.0 << 4.0
                                << 2.5;
    QTest::newRow("1 to 100, reversed") << descending(100) << 1.0 << 50.0 << 99.0 << 100.0 << 50.5;
    // One slow message in a thousand stays out of the 99th percentile but
    // sets the maximum; eleven of them reach the percentile.
    std::vector<double> spike(1000, 20);
    spike[500] = 900;
    QTest::newRow("one spike in 1000") << spike << 20.0 << 20.0 << 20.0 << 900.0 << 20.88;
    std::vector<double> tail(1000, 20);
    for (std::size_t i = 0; i < 11; ++i)
        tail[i * 90] = 400;
    QTest::newRow("a tail of 1.1 %") << tail << 20.0 << 20.0 << 400.0 << 400.0 << 24.18;
}

void TestBenchFigures::summaries()
{
    QFETCH(std::vector<double>, values);
    QFETCH(double, min);
    QFETCH(double, median);
    QFETCH(double, p99);
    QFETCH(double, max);
    QFETCH(double, mean);

    const Summary s = summarize(values);
    QCOMPARE(s.count, values.size());
    QCOMPARE(s.min, min);
    QCOMPARE(s.median, median);
    QCOMPARE(s.p99, p99);
    QCOMPARE(s.max, max);
    QVERIFY(qAbs(s.mean - mean) < 1e-9);
}

void TestBenchFigures::intervalsBetweenMarks_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<std::vector<double>>("expected");

    const int reply = int(MarkKind::Reply);
    const int arrival = int(MarkKind::Arrival);
    const int send = int(MarkKind::Send);

    QTest::newRow("ping-pong") << "R100 S130 R200 S250" << reply << send
                               << std::vector<double>{30, 50};
    // BeginUpdate goes out on the button, not on a reply.
    QTest::newRow("a send of the tool's own")
        << "S0 R100 S120" << reply << send << std::vector<double>{20};
    // The acknowledgement of the last commit makes the tool send nothing.
    QTest::newRow("the last reply") << "R100 S110 R200" << reply << send << std::vector<double>{10};
    // A reply that caused nothing must not be charged for the next one's send.
    QTest::newRow("a reply without a send")
        << "R100 R500 S520" << reply << send << std::vector<double>{20};
    // A watchdog re-send after silence is no reaction to a reply.
    QTest::newRow("a re-send after silence")
        << "R100 S110 S6000110" << reply << send << std::vector<double>{10};
    QTest::newRow("other marks between")
        << "R100 A140 S150 R200 A230 S260" << reply << send << std::vector<double>{50, 60};
    QTest::newRow("hand-off") << "R100 A140 S150 R200 A230" << reply << arrival
                              << std::vector<double>{40, 30};
    QTest::newRow("work on the GUI thread")
        << "R100 A140 S150 R200 A230" << arrival << send << std::vector<double>{10};
    QTest::newRow("nothing") << "" << reply << send << std::vector<double>{};
}

void TestBenchFigures::intervalsBetweenMarks()
{
    QFETCH(QString, script);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(std::vector<double>, expected);
    QCOMPARE(intervals(marks(script), MarkKind(from), MarkKind(to)), expected);
}

void TestBenchFigures::roundsFromSendToSend_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<std::vector<double>>("expected");

    QTest::newRow("ping-pong") << "S0 R40 S50 R90 S100" << std::vector<double>{50, 50};
    QTest::newRow("arrivals between") << "S0 R40 A45 S50" << std::vector<double>{50};
    // The round that ends in a watchdog re-send is a silence, not a message.
    QTest::newRow("a silence") << "S0 R40 S50 S6000050 R6000090 S6000100"
                               << std::vector<double>{50, 50};
    QTest::newRow("the last reply") << "S0 R40 S50 R90" << std::vector<double>{50};
    QTest::newRow("nothing") << "" << std::vector<double>{};
}

void TestBenchFigures::roundsFromSendToSend()
{
    QFETCH(QString, script);
    QFETCH(std::vector<double>, expected);
    QCOMPARE(cycleTimes(marks(script)), expected);
}

void TestBenchFigures::messagesInServerCycles_data()
{
    // Cycles begin every 100 ns from 0 to 500.
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("oneCycle");
    QTest::addColumn<int>("more");
    QTest::newRow("each reply in the next cycle") << "O50 W150 O160 W250" << 2 << 0;
    QTest::newRow("a reply two cycles on") << "O50 W150 O160 W350" << 1 << 1;
    QTest::newRow("the client's own marks without the layer's") << "S50 R150 S160 R350" << 1 << 1;
    // The layer's marks are where the MIDI system saw the message.
    QTest::newRow("the layer's marks over the client's") << "S90 O110 W210 R330" << 1 << 0;
    QTest::newRow("a reply without a send") << "W150 O160 W250" << 1 << 0;
    QTest::newRow("past the cycles recorded") << "O450 W650" << 0 << 0;
}

void TestBenchFigures::messagesInServerCycles()
{
    QFETCH(QString, script);
    QFETCH(int, oneCycle);
    QFETCH(int, more);
    RunFigures run;
    run.marks = marks(script);
    run.cycleStarts = {0, 100, 200, 300, 400, 500};
    const CyclePlacement p = cyclePlacement({run});
    QCOMPARE_EQ(p.sameCycle, std::size_t(oneCycle));
    QCOMPARE_EQ(p.laterCycle, std::size_t(more));
    QCOMPARE_EQ(p.messages, std::size_t(oneCycle + more));
}

void TestBenchFigures::lossesAtLateCycles_data()
{
    // Cycles of 2.67 ms from 0; the one after cycle `late` begins a cycle
    // late (none for -1). A silence is 6 s from the lost send to the re-send.
    QTest::addColumn<int>("late");
    QTest::addColumn<double>("xrunCycles");     // when the server reported an xrun; -1 for none
    QTest::addColumn<double>("lostSendCycles"); // when the lost message was sent, in cycles
    QTest::addColumn<int>("explained");

    QTest::newRow("the message's next cycle late") << 10 << -1.0 << 10.5 << 1;
    QTest::newRow("its reply's cycle late") << 13 << -1.0 << 10.5 << 1;
    QTest::newRow("a late cycle just before the send") << 9 << -1.0 << 10.5 << 1;
    QTest::newRow("a late cycle long before") << 3 << -1.0 << 10.5 << 0;
    QTest::newRow("a late cycle long after") << 40 << -1.0 << 10.5 << 0;
    QTest::newRow("on time, an xrun reported cycles after the send") << -1 << 16.0 << 10.5 << 1;
    QTest::newRow("on time, an xrun long after") << -1 << 40.0 << 10.5 << 0;
}

void TestBenchFigures::lossesAtLateCycles()
{
    QFETCH(int, late);
    QFETCH(double, xrunCycles);
    QFETCH(double, lostSendCycles);
    QFETCH(int, explained);
    std::vector<std::int64_t> starts;
    double t = 0;
    for (int i = 0; i < 3000; ++i) {
        starts.push_back(std::int64_t(t));
        t += (i == late ? 2 : 1) * kJackCycleNs;
    }
    const auto lost = std::int64_t(lostSendCycles * kJackCycleNs);
    const QString script = QStringLiteral("S0 R1000 S%1 S%2 R%3 S%4")
                               .arg(lost)
                               .arg(lost + 6'000'000'000)
                               .arg(lost + 6'005'000'000)
                               .arg(lost + 6'006'000'000);
    std::vector<std::int64_t> xruns;
    if (xrunCycles >= 0)
        xruns.push_back(std::int64_t(xrunCycles * kJackCycleNs));
    QCOMPARE_EQ(lateCycles(starts), std::size_t(late >= 0 ? 1 : 0));
    QCOMPARE_EQ(silencesAtLateCycles(marks(script), starts, xruns), std::size_t(explained));
}

void TestBenchFigures::sendsNoReplyCaused_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("unprompted");
    // Each one's silence, from the send that got no reply to the re-send.
    QTest::addColumn<std::vector<double>>("silent");

    QTest::newRow("an update without trouble") << "S0 R1 S2 R3 S4 R5" << 1 << std::vector<double>{};
    QTest::newRow("a watchdog re-send") << "S0 R1 S2 S9 R10 S11 R12" << 2 << std::vector<double>{7};
    QTest::newRow("two in a row") << "S0 R1 S2 S9 S20 R21 S22" << 3 << std::vector<double>{7, 11};
    // The window's arrival marks change nothing.
    QTest::newRow("arrivals between") << "S0 R1 A2 S3 A4 S9" << 2 << std::vector<double>{6};
    // BeginUpdate's reply lost: BeginUpdate goes again.
    QTest::newRow("the first reply lost")
        << "S0 S6000 R6001 S6002" << 2 << std::vector<double>{6000};
    QTest::newRow("nothing sent") << "R1" << 0 << std::vector<double>{};
    // Two replies came together and each got its send: no silence between.
    QTest::newRow("replies in a burst")
        << "S0 R1 S2 R3 R4 S5 S6 R7 S8" << 2 << std::vector<double>{};
}

void TestBenchFigures::sendsNoReplyCaused()
{
    QFETCH(QString, script);
    QFETCH(int, unprompted);
    QFETCH(std::vector<double>, silent);
    QCOMPARE(unpromptedSends(marks(script)), std::size_t(unprompted));
    QCOMPARE(silences(marks(script), 5), silent);
}

void TestBenchFigures::dinWireTimeOfAnUpdate()
{
    // 880 blocks of five full slices, the short last slice and a commit, and
    // an 11-byte acknowledgement for each.
    std::vector<std::size_t> sizes;
    for (int block = 0; block < 880; ++block) {
        for (int slice = 0; slice < 5; ++slice)
            sizes.push_back(126);
        sizes.push_back(97);
        sizes.push_back(12);
    }
    const WireModel m = dinWireModel(sizes, 11);
    QCOMPARE(m.messages, std::uint64_t(6160));
    QCOMPARE(m.bytesToUnit, std::uint64_t(650320));
    QCOMPARE(m.bytesFromUnit, std::uint64_t(67760));
    // 3125 bytes a second.
    QVERIFY(qAbs(m.secondsToUnit - 208.1024) < 1e-9);
    QVERIFY(qAbs(m.secondsFromUnit - 21.6832) < 1e-9);
    QVERIFY(qAbs(m.seconds - 229.7856) < 1e-9);
    QCOMPARE(dinSeconds(3125), 1.0);

    const WireModel none = dinWireModel({}, 11);
    QCOMPARE(none.bytesFromUnit, std::uint64_t(0));
    QCOMPARE(none.seconds, 0.0);
}

void TestBenchFigures::unitSummaries_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<QList<qint64>>("messages");
    QTest::addColumn<QList<int>>("blocks");

    const QString matched = QStringLiteral(
        "summary: update 1: image matched; blocks 880/880, commits 880, messages 6161, faults "
        "none, repeats asked 0, restarts asked 0, injected 0\n");
    const QString abandoned = QStringLiteral(
        "summary: update 2: incomplete, abandoned for a new begin-update; blocks 42/880, commits "
        "42, messages 301, faults none, repeats asked 0, restarts asked 0, injected 0\n");
    const QString interrupted = QStringLiteral(
        "summary: update 3: incomplete, interrupted; blocks 0/880, commits 0, messages 1, faults "
        "checksum=1 slice-order=2, repeats asked 1, restarts asked 0, injected 0\n");

    QTest::newRow("nothing") << QString() << QStringList{} << QList<qint64>{} << QList<int>{};
    QTest::newRow("one update") << matched << QStringList{"image matched"} << QList<qint64>{6161}
                                << QList<int>{880};
    QTest::newRow("every ending, among other output")
        << QStringLiteral("unit ready on JACK ports \"x\"\n") + abandoned + matched +
               QStringLiteral("random faults: seed 1\n") + interrupted
        << QStringList{"incomplete, abandoned for a new begin-update", "image matched",
                       "incomplete, interrupted"}
        << QList<qint64>{301, 6161, 1} << QList<int>{42, 880, 0};
    // Only whole lines that start with the summary count.
    QTest::newRow("quoted, not a summary")
        << QStringLiteral("note: ") + matched << QStringList{} << QList<qint64>{} << QList<int>{};
}

void TestBenchFigures::unitSummaries()
{
    QFETCH(QString, log);
    QFETCH(QStringList, outcomes);
    QFETCH(QList<qint64>, messages);
    QFETCH(QList<int>, blocks);

    const std::vector<UnitUpdate> updates = parseUnitSummaries(log);
    QCOMPARE(int(updates.size()), outcomes.size());
    for (std::size_t i = 0; i < updates.size(); ++i) {
        QCOMPARE(updates[i].outcome, outcomes[int(i)]);
        QCOMPARE(updates[i].messages, messages[int(i)]);
        QCOMPARE(updates[i].blocks, blocks[int(i)]);
        QCOMPARE(updates[i].commits, blocks[int(i)]);
        QCOMPARE(updates[i].matched(), outcomes[int(i)] == QLatin1String("image matched"));
    }
    if (outcomes.size() == 3)
        QCOMPARE(updates[2].faults, QStringLiteral("checksum=1 slice-order=2"));
}

void TestBenchFigures::unitUpdatesGoToTheirRuns()
{
    auto summary = [](int n, const char* outcome, int messages) {
        UnitUpdate u;
        u.number = n;
        u.outcome = QString::fromLatin1(outcome);
        u.messages = messages;
        u.blocks = messages / 7;
        return u;
    };
    const char* abandoned = "incomplete, abandoned for a new begin-update";
    auto runs = [](int n, int roundTrips) {
        std::vector<RunFigures> v(static_cast<std::size_t>(n));
        for (RunFigures& r : v) {
            r.ok = true;
            r.roundTrips = roundTrips;
        }
        return v;
    };

    // Shorter runs, bare host first: each update counts up to the next
    // run's BeginUpdate, which follows a window's identity request. A
    // BeginUpdate sent again after its answer was lost leaves an update of
    // one message behind, the same run's. The last run has no summary yet.
    std::vector<RunFigures> bare = runs(2, 301);
    std::vector<RunFigures> window = runs(2, 301);
    noteUnitUpdates({summary(1, abandoned, 303), summary(2, abandoned, 1),
                     summary(3, abandoned, 302), summary(4, abandoned, 303)},
                    {&bare, &window}, {1, 2});
    QCOMPARE(bare[0].unitReceived, std::int64_t(301));
    QCOMPARE(window[0].unitReceived, std::int64_t(301));
    QCOMPARE(bare[1].unitReceived, std::int64_t(301));
    QCOMPARE(window[1].unitReceived, std::int64_t(-1));
    QCOMPARE(window[0].unitOutcome, QStringLiteral("incomplete"));
    QVERIFY(bare[0].ok && window[0].ok);

    // A whole update the unit did not take fails its run, whatever the
    // sender saw.
    bare = runs(1, 6161);
    window = runs(1, 6161);
    noteUnitUpdates(
        {summary(1, "image matched", 6161), summary(2, "image DIFFERS from byte 9", 6161)},
        {&bare, &window}, {1, 2});
    QVERIFY(bare[0].ok);
    QCOMPARE(bare[0].unitReceived, std::int64_t(6161));
    QVERIFY(!window[0].ok);
    QVERIFY(window[0].error.contains(QLatin1String("DIFFERS")));
}

void TestBenchFigures::unitPortsFoundByName_data()
{
    QTest::addColumn<bool>("alsa");
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<bool>("found");

    const QString port = QStringLiteral("Zelvo 2x2 MIDI 2");
    QTest::newRow("alsa, as RtMidi lists it")
        << true << QStringLiteral("Zelvo 2x2:Zelvo 2x2 MIDI 2 24:1") << port << true;
    QTest::newRow("alsa, as the window lists it")
        << true << QStringLiteral("Zelvo 2x2:Zelvo 2x2 MIDI 2") << port << true;
    QTest::newRow("alsa, the whole name")
        << true << QStringLiteral("Zelvo 2x2:Zelvo 2x2 MIDI 2 24:1")
        << QStringLiteral("Zelvo 2x2:Zelvo 2x2 MIDI 2") << true;
    QTest::newRow("alsa, another port that starts alike")
        << true << QStringLiteral("Zelvo 2x2:Zelvo 2x2 MIDI 12 24:11")
        << QStringLiteral("Zelvo 2x2 MIDI 1") << false;
    QTest::newRow("alsa, another interface that ends alike")
        << true << QStringLiteral("Big Zelvo 2x2:Big Zelvo 2x2 MIDI 2 28:1") << port << false;
    QTest::newRow("alsa, the device side")
        << true << QStringLiteral("f_midi:f_midi-1 20:1") << port << false;
    QTest::newRow("jack, the whole name")
        << false << QStringLiteral("bench7:bench7") << QStringLiteral("bench7:bench7") << true;
    QTest::newRow("jack, the port's part is not enough")
        << false << QStringLiteral("bench7:bench7") << QStringLiteral("bench7") << false;
}

void TestBenchFigures::unitPortsFoundByName()
{
    QFETCH(bool, alsa);
    QFETCH(QString, listed);
    QFETCH(QString, wanted);
    QFETCH(bool, found);

    QCOMPARE(unitPortMatches(alsa ? MidiSystem::Alsa : MidiSystem::Jack, listed.toStdString(),
                             wanted.toStdString()),
             found);
}

namespace {

RunFigures run(double wall, const QString& script = QString())
{
    RunFigures r;
    r.ok = true;
    r.wall = wall;
    r.marks = marks(script);
    return r;
}

} // namespace

void TestBenchFigures::comparisonTakesTheMedianRuns()
{
    Comparison c;
    QVERIFY(!c.ran());
    QCOMPARE(c.ratio(), 0.0);
    c.tool = {run(0.9), run(0.5), run(0.7)};
    c.bare = {run(0.6), run(0.4)};
    QVERIFY(c.ran());
    QCOMPARE(c.medianTool().wall, 0.7);
    // Of two, the lower: a slow outlier must not flatter the tool.
    QCOMPARE(c.medianBare().wall, 0.4);
    QCOMPARE(c.ratio(), 0.7 / 0.4);
    QCOMPARE(c.activeRatio(), 0.7 / 0.4); // no silences, nothing taken out

    // Silences come out of every run before the medians are taken: the
    // tool's slowest run lost two events, the bare client's fastest one.
    c.tool = {run(12.5, "S0 S5500000000 R5500000100 S5500000200 S11000000200"), run(2.0), run(2.5)};
    c.bare = {run(7.0, "S0 S6000000000"), run(1.6)};
    QCOMPARE(silentSeconds(c.tool[0]), 11.0);
    QCOMPARE(activeSeconds(c.tool[0]), 1.5);
    QCOMPARE(c.ratio(), 2.5 / 1.6);
    QCOMPARE(c.activeRatio(), 2.0 / 1.0);
    c.skipped = QStringLiteral("no server");
    QVERIFY(!c.ran());
    QCOMPARE(c.activeRatio(), 0.0);
}

void TestBenchFigures::targetsJudgeTheirOwnFigures()
{
    BenchReport report;
    report.image.runs = 3;
    report.image.total = summarize({0.002, 0.003, 0.006}); // seconds
    // Latencies of 20 and 600 microseconds, in nanoseconds, over two runs.
    report.inProcess.tool = {run(0.7, "R0 S20000"), run(0.9, "R0 S600000 R700000 S720000")};
    report.inProcess.bare = {run(0.5), run(0.6)};
    report.jack.skipped = QStringLiteral("no server");

    const std::vector<Target> targets = evaluateTargets(report);
    QCOMPARE(targets.size(), std::size_t(4)); // nothing for the part that did not run
    QCOMPARE(targets[0].value, 3.0);          // ms
    QVERIFY(targets[0].met());
    QCOMPARE(targets[1].value, 20.0); // us, median
    QVERIFY(targets[1].met());
    QCOMPARE(targets[2].value, 600.0); // us, 99th percentile
    QVERIFY(!targets[2].met());
    QCOMPARE(targets[3].value, 0.7 / 0.5);
    QVERIFY(targets[3].met());

    report.jack.skipped.clear();
    // Over JACK a silence counts on neither side.
    report.jack.tool = {run(9.15, "S0 S6000000000")};
    report.jack.bare = {run(3.0)};
    const std::vector<Target> withJack = evaluateTargets(report);
    QCOMPARE(withJack.size(), std::size_t(5));
    QVERIFY(qAbs(withJack[4].value - 3.15 / 3.0) < 1e-9);
    QVERIFY(withJack[4].met());

    // Between separate processes the tool's loss counts against it even
    // where a server cycle began late: its own clients may have made it so.
    RunFigures lost = run(9.0, "S0 R1000 S10000000 S6010000000 R6010001000 S6010002000");
    lost.resent = 1;
    for (int i = 0; i < 3000; ++i)
        lost.cycleStarts.push_back(std::int64_t((i + (i > 4 ? 1 : 0)) * kJackCycleNs));
    report.peers.bare = {run(3.0)};
    report.peers.tool = {lost};
    QCOMPARE(evaluateTargets(report).back().value, 1.0);
    QCOMPARE(losses(report.peers.tool).atLateCycles, std::uint64_t(1));
    report.peers.tool[0].cycleStarts.clear();
    QCOMPARE(evaluateTargets(report).back().value, 1.0);
    QCOMPARE(losses(report.peers.tool).atLateCycles, std::uint64_t(0));
}

void TestBenchFigures::peersJudgedAgainstEachKindOfUnit()
{
    auto lossy = [](double wall, std::uint64_t resent) {
        RunFigures r = run(wall);
        r.resent = resent;
        return r;
    };
    BenchReport report;
    // The one-client unit: the window as fast as the bare host and a loss
    // more a run, which one either way allows. The hand-off unit: the
    // window slower, and two losses more in the median run, though its
    // best run lost no more than the bare host's worst.
    report.peers.bare = {lossy(16.4, 0), lossy(16.5, 1), lossy(16.6, 0)};
    report.peers.tool = {lossy(16.5, 1), lossy(16.4, 1), lossy(16.6, 2)};
    report.handOffPeers.bare = {lossy(22.0, 1), lossy(21.0, 0), lossy(23.0, 2)};
    report.handOffPeers.tool = {lossy(33.0, 3), lossy(30.0, 2), lossy(24.0, 4)};

    auto find = [](const std::vector<Target>& targets, const QString& unit, const QString& what) {
        for (const Target& t : targets)
            if (t.what.contains(unit) && t.what.endsWith(what))
                return t;
        return Target{QStringLiteral("none"), -1, -1, QString()};
    };
    const QString one = QStringLiteral("one-client unit");
    const QString handOff = QStringLiteral("hand-off unit");
    const QString whole = QStringLiteral("whole update");
    const QString lostMore = QStringLiteral("window less bare");
    std::vector<Target> targets = evaluateTargets(report);
    QCOMPARE(targets.size(), std::size_t(6));

    const Target oneWhole = find(targets, one, whole);
    QCOMPARE(oneWhole.value, 16.5 / 16.5);
    QVERIFY(oneWhole.met());
    const Target oneLost = find(targets, one, lostMore);
    QCOMPARE(oneLost.value, 1.0);
    QVERIFY(oneLost.met());

    // Each side against the bare host of its own unit, medians of each.
    const Target handOffWhole = find(targets, handOff, whole);
    QCOMPARE(handOffWhole.value, 30.0 / 22.0);
    QVERIFY(!handOffWhole.met());
    const Target handOffLost = find(targets, handOff, lostMore);
    QCOMPARE(handOffLost.value, 3.0 - 1.0);
    QVERIFY(!handOffLost.met());
    QCOMPARE(losses(report.handOffPeers.tool).total, std::uint64_t(9));

    // A window that loses less than the host is no debt to carry over.
    report.handOffPeers.tool = {lossy(22.0, 0)};
    QCOMPARE(find(evaluateTargets(report), handOff, lostMore).value, 0.0);

    // A kind that did not run is judged on nothing, the other still is.
    report.peers.skipped = QStringLiteral("no server");
    targets = evaluateTargets(report);
    QCOMPARE(targets.size(), std::size_t(3));
    QCOMPARE(find(targets, one, whole).value, -1.0);
    QVERIFY(find(targets, handOff, whole).met());
}

QTEST_GUILESS_MAIN(TestBenchFigures)
#include "tst_benchfigures.moc"
