// One whole update with the unit misbehaving in every way it knows, meant to
// run under valgrind's memcheck: every buffer that crosses the MIDI layer
// (sent messages, input buffers, those handed back on errors, resets and
// close) must be released exactly once, and nothing may be read before it
// was written.

#include "WindowDriver.h"

#include <QtTest>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define ORVIK_UNDER_VALGRIND (RUNNING_ON_VALGRIND != 0)
#else
#define ORVIK_UNDER_VALGRIND false
#endif

using namespace std::chrono_literals;

class TestMemcheckUpdate : public QObject
{
    Q_OBJECT

private slots:
    void updateWithFaults();
};

void TestMemcheckUpdate::updateWithFaults()
{
    // Everything runs tens of times slower under valgrind; a pause that
    // natively means a lost reply may then be just a slow thread.
    const bool slow = ORVIK_UNDER_VALGRIND;
    const int timeoutMs = slow ? 600000 : 120000;

    orvik::devsim::DeviceSettings settings;
    QVERIFY(testsupport::addFaults(settings, QStringLiteral("repeat@100 silent@500 duplicate@900 "
                                                            "unrelated@1200 oversized@1500 "
                                                            "restart@2000")));
    testsupport::Unit unit(settings);
    testsupport::WindowDriver tool(&unit);
    tool.quietMs = slow ? 3000 : 500;
    // A tick waits for the other side at most a tenth of the quiet spell.
    tool.settleMs = tool.quietMs / 10;
    QVERIFY(tool.connect(timeoutMs));
    QVERIFY(tool.update(timeoutMs));
    QVERIFY(unit.host().waitForCompletedUpdates(1, std::chrono::milliseconds(timeoutMs)));
    QCOMPARE(unit.host().stats().updatesMatched, 1);
    // The restart clears the retry that the earlier repeat request counted.
    QCOMPARE(tool.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    // Every misbehaviour on the schedule happened, so every path it drives ran.
    QCOMPARE(unit.host().report().injected, 6);
    QCOMPARE(unit.host().stats().restartsAsked, std::uint64_t(1));
    tool.disconnect();
    QVERIFY(!tool.window->Session.PortPair.MidiIn.load());
    QVERIFY(!tool.window->Session.PortPair.MidiOut);
}

QTEST_MAIN(TestMemcheckUpdate)
#include "tst_memcheckupdate.moc"
