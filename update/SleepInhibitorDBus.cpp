// Linux and the other free desktops: the desktop portal on the session bus,
// which also works inside a sandbox; where there is none, logind on the
// system bus. Both calls are asynchronous: the GUI thread that drives the
// update must never wait on a bus.

#include "SleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QVariantMap>

#include <cstdio>

namespace {
constexpr int kCallTimeoutMs = 10000;
// The portal's flags: 4 suspend, 8 idle.
constexpr uint kPortalSuspendAndIdle = 4 | 8;
} // namespace

struct SleepInhibitor::Private
{
    // Owns the calls in flight: destroying it drops their answers.
    QObject calls;
    bool wanted = false;
    // Tells an answer to an earlier hold() from one to the current hold().
    quint64 generation = 0;
    QString portalRequest;              // the portal's handle while it holds for us
    QDBusUnixFileDescriptor logindLock; // logind holds while this stays open

    void askPortal(const QString& reason, quint64 asked);
    void askLogind(const QString& reason, quint64 asked);
    bool current(quint64 asked) const { return wanted && asked == generation; }
};

namespace {

void closePortalRequest(const QString& handle)
{
    // No answer is awaited: the portal also drops what a client held when
    // the client leaves the bus, so a close lost at exit costs nothing.
    QDBusConnection::sessionBus().send(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), handle,
        QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close")));
}

QString applicationName()
{
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("orvik16-update") : name;
}

} // namespace

void SleepInhibitor::Private::askPortal(const QString& reason, quint64 asked)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        askLogind(reason, asked);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << kPortalSuspendAndIdle << QVariantMap{{QStringLiteral("reason"), reason}};
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), &calls);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &calls,
                     [this, watcher, reason, asked] {
                         watcher->deleteLater();
                         const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
                         if (reply.isError()) {
                             if (current(asked))
                                 askLogind(reason, asked);
                             return;
                         }
                         const QString handle = reply.value().path();
                         if (current(asked))
                             portalRequest = handle;
                         else
                             closePortalRequest(handle); // released meanwhile
                     });
}

void SleepInhibitor::Private::askLogind(const QString& reason, quint64 asked)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    const auto unavailable = [] {
        std::fputs("orvik16-update: neither the desktop portal nor logind is there to keep the "
                   "machine awake during the update\n",
                   stderr);
    };
    if (!bus.isConnected()) {
        unavailable();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << applicationName() << reason << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), &calls);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &calls,
                     [this, watcher, asked, unavailable] {
                         watcher->deleteLater();
                         const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                         if (!current(asked))
                             return; // a lock granted late closes with the reply
                         if (reply.isError())
                             unavailable();
                         else
                             logindLock = reply.value();
                     });
}

SleepInhibitor::SleepInhibitor() : d(std::make_unique<Private>()) {}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::hold(const QString& reason)
{
    if (d->wanted)
        return;
    d->wanted = true;
    d->askPortal(reason, ++d->generation);
}

void SleepInhibitor::release()
{
    if (!d->wanted)
        return;
    d->wanted = false;
    if (!d->portalRequest.isEmpty()) {
        closePortalRequest(d->portalRequest);
        d->portalRequest.clear();
    }
    d->logindLock = QDBusUnixFileDescriptor();
}

bool SleepInhibitor::held() const
{
    return d->wanted;
}
