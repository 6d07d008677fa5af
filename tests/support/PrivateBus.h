// A message bus of the test's own, standing in for both the session and the
// system bus, and the stand-in for the desktop portal and logind on it. Only
// what a test starts here ever answers: never the machine's own services.
#pragma once

#include "ChildProcess.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <string>
#include <vector>

namespace orvik::testsupport {

class PrivateBus
{
public:
    // Before anything in the process touches a bus: the addresses are read
    // at the first connection.
    bool start()
    {
        using namespace std::chrono_literals;
        if (!daemon_.start(ORVIK_DBUS_DAEMON, {"--config-file=" ORVIK_PRIVATE_BUS_CONF, "--nofork",
                                               "--print-address"}))
            return false;
        const auto address = daemon_.readLine(10s);
        if (!address || address->empty())
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(*address));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(*address));
        return true;
    }

    // The bus does not read its input; it is simply stopped.
    ~PrivateBus() { daemon_.stop(std::chrono::milliseconds(0)); }

private:
    ChildProcess daemon_;
};

// orvik-sleep-standin with `services` (--portal, --logind), once it is ready.
inline bool startSleepStandIn(ChildProcess& standIn, const std::vector<std::string>& services)
{
    using namespace std::chrono_literals;
    return standIn.start(ORVIK_SLEEP_STANDIN, services) && standIn.readLine(10s) == "ready";
}

// The stand-in's next line, while this thread's event loop keeps running so
// that the code under test sees the bus's answers.
inline QString nextStandInLine(ChildProcess& standIn)
{
    using namespace std::chrono_literals;
    const QDeadlineTimer deadline(10s);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents();
        if (const auto line = standIn.readLine(20ms))
            return QString::fromStdString(*line);
    }
    return QStringLiteral("(nothing within 10 s)");
}

} // namespace orvik::testsupport
