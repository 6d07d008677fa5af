// Complete updates through the real window with faults placed at the
// positions where recovery is hardest, and on a seeded random sample of the
// rest. Whatever the unit does, every run must end with exactly one success
// box, the image matched byte for byte, the retries in the box equal to the
// repeat requests since the last restart, and nothing wrong in what the unit
// received.

#include "WindowDriver.h"

#include <QtTest>

#include <cstdio>
#include <iterator>
#include <random>
#include <vector>

using namespace testsupport;
using orvik::devsim::DeviceSettings;
using orvik::devsim::FaultSchedule;
using orvik::devsim::Injection;
using orvik::devsim::UpdateReport;

namespace {

constexpr Injection kAllKinds[] = {Injection::Silent,    Injection::Repeat, Injection::Restart,
                                   Injection::Duplicate, Injection::Late,   Injection::Unrelated,
                                   Injection::Oversized};

// Message numbers count from the begin-update (0): 1 is the first slice, 7
// the first commit, 8 the first message after a commit, 6160 the last commit.
constexpr std::uint64_t kFirstSlice = 1;
constexpr std::uint64_t kFirstCommitAfterStart = 7 * 37;
constexpr std::uint64_t kAfterCommit = 7 * 52 + 1;
constexpr std::uint64_t kLastCommit = 6160;

constexpr int kRandomRuns = 12;
constexpr int kFaultsPerRandomRun = 3;
constexpr std::uint64_t kCampaignSeed = 0x0A16C0DE;

int runs = 0;
int faultsTried = 0;

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
    if (reduced)
        positions = {kFirstSlice, kLastCommit};
    const int randomRuns = reduced ? 2 : kRandomRuns;

    for (Injection kind : kAllKinds) {
        for (std::uint64_t at : positions) {
            FaultSchedule one;
            one.add(at, kind);
            const std::string text = one.describe();
            QTest::newRow(text.c_str()) << QString::fromStdString(text);
        }
    }
    // Random runs leave duplicates out: a duplicate acknowledgement leaves
    // the tool one message ahead for the rest of the update (acknowledgements
    // carry no sequence number), which is harmless alone, as the rows above
    // show, but makes any later repeat or restart request ambiguous.
    std::mt19937_64 rng(kCampaignSeed);
    for (int run = 0; run < randomRuns; ++run) {
        FaultSchedule random;
        while (random.size() < kFaultsPerRandomRun) {
            const std::uint64_t at = 1 + rng() % kLastCommit;
            Injection kind = kAllKinds[rng() % std::size(kAllKinds)];
            if (kind == Injection::Duplicate || random.any(at))
                continue;
            random.add(at, kind);
        }
        const std::string text = random.describe();
        QTest::newRow(("random " + std::to_string(run) + ": " + text).c_str())
            << QString::fromStdString(text);
    }
}

void TestFaultCampaign::update()
{
    QFETCH(QString, schedule);

    DeviceSettings settings;
    std::string error;
    QVERIFY2(addFaults(settings, schedule, &error), error.c_str());
    const auto planned = settings.faults.size();

    Unit unit(settings);
    WindowDriver tool(&unit);
    QVERIFY(tool.connect());
    const auto& answerer = tool.answerer;
    QVERIFY2(tool.update(), qPrintable(schedule));
    QVERIFY(unit.host().waitUntil([](const auto& sim) { return sim.stats().updatesCompleted >= 1; },
                                  std::chrono::seconds(10)));

    // Late acknowledgements and duplicates may still be on their way: let
    // them arrive, then make sure they opened no second box.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCOMPARE(answerer.texts.size(), 1);

    const int retries = unit.repeatsSinceRestart.load();
    const QString expected = retries
                                 ? QStringLiteral("transfer successful, %1 retries").arg(retries)
                                 : QStringLiteral("transfer successful");
    QCOMPARE(answerer.texts.first(), expected);

    const auto stats = unit.host().stats();
    QCOMPARE(stats.updatesMatched, 1);
    QCOMPARE(unit.host().report().outcome, UpdateReport::Outcome::Matched);
    QVERIFY2(orvik::devsim::total(stats.faults) == 0,
             orvik::devsim::describe(stats.faults).c_str());
    QCOMPARE(unit.injected.load(), int(planned));

    ++runs;
    faultsTried += static_cast<int>(planned);
}

void TestFaultCampaign::cleanupTestCase()
{
    std::printf("fault campaign: %d runs, %d faults tried, seed %#llx\n", runs, faultsTried,
                static_cast<unsigned long long>(kCampaignSeed));
}

QTEST_MAIN(TestFaultCampaign)
#include "tst_faultcampaign.moc"
