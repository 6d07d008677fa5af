// Complete updates through the real window with faults placed at the
// positions where recovery is hardest, and on seeded random samples of the
// rest: the unit's own misbehaviour, and what a transport does to messages
// (an answer twice, a message twice, an answer that crosses the watchdog's
// re-send), alone and together with losses. Whatever happens, every run must
// end with exactly one success box, given only once the unit's confirmation
// of the last commit had left it, the image matched byte for byte, the
// retries in the box equal to the repeat requests since the last restart,
// and nothing wrong in what the unit received.

#include "WindowDriver.h"

#include <QtTest>

#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <vector>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::FaultSchedule;
using orvik::devsim::Injection;
using orvik::devsim::UpdateReport;

namespace {

constexpr Injection kUnitKinds[] = {Injection::Silent, Injection::Repeat,    Injection::Restart,
                                    Injection::Late,   Injection::Unrelated, Injection::Oversized};
constexpr Injection kTransportKinds[] = {Injection::Duplicate, Injection::Doubled,
                                         Injection::Overdue};
constexpr Injection kLosses[] = {Injection::Silent, Injection::Repeat, Injection::Restart};

// Message numbers count from the begin-update (0): 1 is the first slice, 7
// the first commit, 7b + 7 the commit of block b, 6160 the last commit.
constexpr std::uint64_t kFirstSlice = 1;
constexpr std::uint64_t kFirstCommitAfterStart = 7 * 37;
constexpr std::uint64_t kSliceBeforeCommit = 7 * 52 - 1;
constexpr std::uint64_t kCommit = 7 * 52;
constexpr std::uint64_t kAfterCommit = 7 * 52 + 1;
constexpr std::uint64_t kLastSlice = 6159;
constexpr std::uint64_t kLastCommit = 6160;

constexpr int kRandomRuns = 12;
constexpr int kFaultsPerRandomRun = 3;
constexpr int kRandomBlockRuns = 8;
constexpr std::uint64_t kCampaignSeed = 0x0A16C0DE;

// A healthy run takes seconds; a tool out of step with the unit loops on its
// watchdog until this runs out.
constexpr int kRunTimeoutMs = 60000;

int runs = 0;
int faultsTried = 0;

void addRow(const std::string& name, const std::string& schedule)
{
    QTest::newRow(name.c_str()) << QString::fromStdString(schedule);
}

void addRow(const std::string& schedule)
{
    addRow(schedule, schedule);
}

// "lost@N": message N from the tool never reaches the unit (numbered as the
// tool sends them, from the begin-update). Taken out of `text`.
std::set<std::uint64_t> takeLosses(QString& text)
{
    std::set<std::uint64_t> lost;
    QStringList rest;
    for (const QString& item : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (item.startsWith(QLatin1String("lost@")))
            lost.insert(item.mid(5).toULongLong());
        else
            rest << item;
    }
    text = rest.join(QLatin1Char(' '));
    return lost;
}

} // namespace

class TestFaultCampaign : public QObject
{
    Q_OBJECT

private slots:
    void update_data();
    void update();
    void cleanupTestCase();
};

void TestFaultCampaign::update_data()
{
    QTest::addColumn<QString>("schedule");

    // Under the sanitizers every update costs several times as much; those
    // runs look for memory and threading faults, for which the first and
    // last positions and a couple of random runs say as much as the rest.
    const bool reduced = qgetenv("ORVIK_TEST_SCALE") == "sanitizer";
    std::vector<std::uint64_t> positions{kFirstSlice, kFirstCommitAfterStart, kAfterCommit,
                                         kLastCommit};
    // Around a commit, where an answer of the wrong kind costs a block; and
    // the begin-update, whose answer is a restart request.
    std::vector<std::uint64_t> transportPositions{
        0, kFirstSlice, kSliceBeforeCommit, kCommit, kAfterCommit, kLastSlice, kLastCommit};
    if (reduced) {
        positions = {kFirstSlice, kLastCommit};
        transportPositions = {kSliceBeforeCommit, kLastCommit};
    }

    for (Injection kind : kUnitKinds) {
        for (std::uint64_t at : positions) {
            FaultSchedule one;
            one.add(at, kind);
            addRow(one.describe());
        }
    }
    for (Injection kind : kTransportKinds) {
        for (std::uint64_t at : transportPositions) {
            // The watchdog is not armed before the begin-update is answered.
            if (at == 0 && kind == Injection::Overdue)
                continue;
            FaultSchedule one;
            one.add(at, kind);
            addRow(one.describe());
        }
    }

    // An answer due just before the watchdog's re-send and just after it:
    // 6 s after a slice or a commit, 20 s after the last commit and after
    // the begin-update, while the unit may be writing or erasing.
    addRow("overdue-ms=6001 overdue@363");
    addRow("overdue-ms=20001 overdue@6160");
    if (!reduced) {
        addRow("overdue-ms=5999 overdue@363");
        addRow("overdue-ms=6001 overdue@364");
        addRow("overdue-ms=5999 overdue@364");
        addRow("overdue-ms=19999 overdue@6160");
        addRow("overdue-ms=20001 overdue@0");
    }

    // Together with losses: a spare answer in flight when the commit's
    // answer, or the commit itself, is lost or refused.
    addRow("duplicate@362 lost@364");
    addRow("doubled@6159 silent@6160");
    if (!reduced) {
        addRow("duplicate@363 silent@364");
        addRow("duplicate@362 repeat@364");
        addRow("duplicate@6158 finish-ms=8000");
        addRow("duplicate@363 repeat@364");
        addRow("doubled@362 restart@364");
        addRow("doubled@1 silent@7");
        addRow("duplicate@6159 silent@6160");
        addRow("overdue@6159 finish-ms=8000");
        addRow("overdue@360 repeat@367");
        addRow("duplicate@363 overdue@364");
        addRow("doubled@363 lost@364");
    }

    // Random runs: any kind anywhere.
    std::mt19937_64 rng(kCampaignSeed);
    const int randomRuns = reduced ? 2 : kRandomRuns;
    for (int run = 0; run < randomRuns; ++run) {
        FaultSchedule random;
        while (random.size() < kFaultsPerRandomRun) {
            const std::uint64_t at = 1 + rng() % kLastCommit;
            const auto kind = static_cast<Injection>(rng() % orvik::devsim::kInjectionKindCount);
            if (!random.any(at))
                random.add(at, kind);
        }
        addRow("random " + std::to_string(run) + ": " + random.describe(), random.describe());
    }
    // Random blocks: a transport fault on one of a block's messages, and a
    // loss on one of the three messages that follow it.
    const int blockRuns = reduced ? 1 : kRandomBlockRuns;
    for (int run = 0; run < blockRuns; ++run) {
        const std::uint64_t block = 1 + rng() % 878;
        const std::uint64_t first = 1 + block * 7;
        const std::uint64_t at = first + rng() % 7;
        FaultSchedule both;
        both.add(at, kTransportKinds[rng() % std::size(kTransportKinds)]);
        both.add(at + 1 + rng() % 3, kLosses[rng() % std::size(kLosses)]);
        addRow("block " + std::to_string(run) + ": " + both.describe(), both.describe());
    }
}

void TestFaultCampaign::update()
{
    QFETCH(QString, schedule);

    QString rest = schedule;
    const std::set<std::uint64_t> lost = takeLosses(rest);
    DeviceSettings settings;
    std::string error;
    QVERIFY2(addFaults(settings, rest, &error), error.c_str());
    const auto planned = settings.faults.size();

    Unit::Tamper tamper;
    if (!lost.empty())
        tamper = [lost](std::uint64_t n, std::vector<std::uint8_t>&) { return !lost.count(n); };
    Unit unit(settings, {}, tamper);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    const auto& answerer = tool.answerer;

    // The unit's word, read when the first box is answered: the clock does
    // not move while the box is up.
    bool confirmedAtBox = false;
    QObject::connect(&tool.answerer.timer, &QTimer::timeout, &tool.answerer.timer, [&] {
        if (answerer.texts.size() == 1 && !confirmedAtBox)
            confirmedAtBox = unit.lastCommitConfirmed();
    });

    QVERIFY2(tool.update(kRunTimeoutMs), ("no box: " + unit.state()).c_str());
    const QString box = answerer.texts.first();
    if (box.startsWith(QLatin1String("transfer successful")))
        QVERIFY2(confirmedAtBox,
                 ("unconfirmed success: the box opened before the unit confirmed the last "
                  "commit; " +
                  unit.state())
                     .c_str());
    QVERIFY(unit.host().waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                                  std::chrono::seconds(10)));

    // Late answers and duplicates may still be on their way: let them
    // arrive, then make sure they opened no second box.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCOMPARE(answerer.texts.size(), 1);

    const int retries = unit.repeatsSinceRestart.load();
    const QString expected = retries
                                 ? QStringLiteral("transfer successful, %1 retries").arg(retries)
                                 : QStringLiteral("transfer successful");
    QCOMPARE(box, expected);

    const auto stats = unit.host().stats();
    QCOMPARE(stats.updatesMatched, 1);
    QCOMPARE(unit.host().report().outcome, UpdateReport::Outcome::Matched);
    QVERIFY2(orvik::devsim::total(stats.faults) == 0,
             orvik::devsim::describe(stats.faults).c_str());
    QCOMPARE(unit.injected.load(), int(planned));

    ++runs;
    faultsTried += static_cast<int>(planned + lost.size());
}

void TestFaultCampaign::cleanupTestCase()
{
    std::printf("fault campaign: %d runs, %d faults tried, seed %#llx\n", runs, faultsTried,
                static_cast<unsigned long long>(kCampaignSeed));
}

QTEST_MAIN(TestFaultCampaign)
#include "tst_faultcampaign.moc"
