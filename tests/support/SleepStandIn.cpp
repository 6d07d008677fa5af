// Stands in for the desktop portal's Inhibit and for logind's Inhibit on a
// private bus, and says on standard output what it was asked:
//
//   orvik-sleep-standin [--portal] [--logind]
//
//   ready                                    both names are on the bus
//   portal inhibit flags=F reason=R
//   portal release                           Close, or the caller left the bus
//   logind inhibit what=W mode=M
//   logind release                           the caller closed its lock
//
// The portal is served on the session bus, logind on the system bus (tests
// point both at the same private bus). Ends when its standard input, if a
// pipe, is closed.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QSocketNotifier>
#include <QVariantMap>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

class PortalRequest : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")

public:
    PortalRequest(const QString& path, const QString& caller) : path_(path)
    {
        QDBusConnection::sessionBus().registerObject(path, this, QDBusConnection::ExportAllSlots);
        // The real portal drops a leaving client's inhibitions.
        watcher_.setConnection(QDBusConnection::sessionBus());
        watcher_.addWatchedService(caller);
        watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &PortalRequest::Close);
    }

public slots:
    void Close()
    {
        QDBusConnection::sessionBus().unregisterObject(path_);
        say(QStringLiteral("portal release"));
        deleteLater();
    }

private:
    QString path_;
    QDBusServiceWatcher watcher_;
};

class Portal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")

public slots:
    QDBusObjectPath Inhibit(const QString&, uint flags, const QVariantMap& options,
                            const QDBusMessage& message)
    {
        say(QStringLiteral("portal inhibit flags=%1 reason=%2")
                .arg(flags)
                .arg(options.value(QStringLiteral("reason")).toString()));
        const QString path =
            QStringLiteral("/org/freedesktop/portal/desktop/request/%1").arg(++requests_);
        new PortalRequest(path, message.service());
        return QDBusObjectPath(path);
    }

private:
    int requests_ = 0;
};

class Logind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString&, const QString&,
                                    const QString& mode)
    {
        say(QStringLiteral("logind inhibit what=%1 mode=%2").arg(what, mode));
        int ends[2];
        if (::pipe(ends) != 0)
            return {};
        // Our copy of the write end goes; the caller's is the last one, and
        // its closing is the release.
        const QDBusUnixFileDescriptor lock(ends[1]);
        ::close(ends[1]);
        auto* notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [notifier, fd = ends[0]] {
            char byte;
            if (::read(fd, &byte, 1) > 0)
                return;
            notifier->deleteLater();
            ::close(fd);
            say(QStringLiteral("logind release"));
        });
        return lock;
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portalOption(QStringLiteral("portal"));
    const QCommandLineOption logindOption(QStringLiteral("logind"));
    parser.addOptions({portalOption, logindOption});
    parser.process(app);

    Portal portal;
    Logind logind;
    if (parser.isSet(portalOption)) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                QDBusConnection::ExportAllSlots) ||
            !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
            std::fprintf(stderr, "orvik-sleep-standin: cannot serve the portal\n");
            return 1;
        }
    }
    if (parser.isSet(logindOption)) {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                QDBusConnection::ExportAllSlots) ||
            !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
            std::fprintf(stderr, "orvik-sleep-standin: cannot serve logind\n");
            return 1;
        }
    }

    struct stat input
    {};
    QSocketNotifier* inputGone = nullptr;
    if (::fstat(STDIN_FILENO, &input) == 0 && S_ISFIFO(input.st_mode)) {
        inputGone = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
        QObject::connect(inputGone, &QSocketNotifier::activated, &app, [] {
            char byte;
            if (::read(STDIN_FILENO, &byte, 1) <= 0)
                QCoreApplication::quit();
        });
    }
    say(QStringLiteral("ready"));
    return app.exec();
}

#include "SleepStandIn.moc"
