// The sleep inhibitor against a real message bus of the test's own, with a
// stand-in for the desktop portal and logind: what it asks for, which service
// it falls back to, and that every hold is let go, also one granted only
// after it was released.
#include "PrivateBus.h"
#include "SleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QTest>

#include <memory>

using orvik::testsupport::ChildProcess;
using orvik::testsupport::nextStandInLine;
using orvik::testsupport::PrivateBus;
using namespace std::chrono_literals;

class SleepInhibitorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(bus_.start()); }
    void holdsUntilReleased_data();
    void holdsUntilReleased();

private:
    PrivateBus bus_;
};

void SleepInhibitorTest::holdsUntilReleased_data()
{
    QTest::addColumn<QStringList>("services");
    QTest::addColumn<bool>("releaseBeforeGrant");
    QTest::addColumn<QString>("holdLine");
    QTest::addColumn<QString>("releaseLine");

    const QString portal = QStringLiteral("portal inhibit flags=12 reason=Updating firmware");
    const QString logind = QStringLiteral("logind inhibit what=sleep:idle mode=block");
    QTest::newRow("portal, not logind")
        << QStringList{"--portal", "--logind"} << false << portal << "portal release";
    QTest::newRow("portal grants after the release")
        << QStringList{"--portal"} << true << portal << "portal release";
    QTest::newRow("logind without a portal")
        << QStringList{"--logind"} << false << logind << "logind release";
    QTest::newRow("logind grants after the release")
        << QStringList{"--logind"} << true << logind << "logind release";
}

void SleepInhibitorTest::holdsUntilReleased()
{
    QFETCH(QStringList, services);
    QFETCH(bool, releaseBeforeGrant);
    QFETCH(QString, holdLine);
    QFETCH(QString, releaseLine);

    std::vector<std::string> args;
    for (const QString& service : services)
        args.push_back(service.toStdString());
    ChildProcess standIn;
    QVERIFY(orvik::testsupport::startSleepStandIn(standIn, args));

    auto inhibitor = std::make_unique<SleepInhibitor>();
    inhibitor->hold(QStringLiteral("Updating firmware"));
    inhibitor->hold(QStringLiteral("a second hold asks nothing more"));
    QCOMPARE(nextStandInLine(standIn), holdLine);
    if (releaseBeforeGrant) {
        // The stand-in speaks before it answers, and no event has run since:
        // the grant is still on its way.
        inhibitor->release();
    } else {
        // A call on each bus returns after the grant has reached this
        // process, so the release below finds it held.
        for (QDBusConnection bus : {QDBusConnection::sessionBus(), QDBusConnection::systemBus()})
            bus.call(QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
        QCoreApplication::processEvents();
        QVERIFY(inhibitor->held());
        inhibitor->release();
    }
    QCOMPARE(nextStandInLine(standIn), releaseLine);
    QVERIFY(!inhibitor->held());

    // Nothing further: no second inhibit, no second release.
    inhibitor.reset();
    QCOMPARE(standIn.readLine(200ms), std::nullopt);
    QCOMPARE(standIn.stop(), 0);
}

QTEST_GUILESS_MAIN(SleepInhibitorTest)
#include "tst_sleepinhibitor.moc"
