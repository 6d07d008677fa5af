// One whole update with the unit misbehaving in every way it knows, meant to
// run under valgrind's memcheck: every buffer that crosses the MIDI layer
// (sent messages, input buffers, those handed back on errors, resets and
// close) must be released exactly once, and nothing may be read before it
// was written.

#include "UpdateRig.h"

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
    const auto quiet = slow ? 3000ms : 500ms;
    const auto timeout = slow ? 600s : 120s;

    memorytest::UpdateRig rig(QStringLiteral("repeat@100 silent@500 duplicate@900 unrelated@1200 "
                                             "oversized@1500 restart@2000"),
                              quiet);
    QVERIFY(rig.faultsParsed());
    QVERIFY(rig.connect(timeout));
    QVERIFY(rig.update(timeout));
    // The restart clears the retry that the earlier repeat request counted.
    QCOMPARE(rig.answerer.texts, QStringList{QStringLiteral("transfer successful")});
    // Every misbehaviour on the schedule happened, so every path it drives ran.
    QCOMPARE(rig.host().report().injected, 6);
    QCOMPARE(rig.host().stats().restartsAsked, std::uint64_t(1));
    rig.disconnect();
    QVERIFY(!rig.window->Session.PortPair.MidiIn.load());
    QVERIFY(!rig.window->Session.PortPair.MidiOut);
}

QTEST_MAIN(TestMemcheckUpdate)
#include "tst_memcheckupdate.moc"
