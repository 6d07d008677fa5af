#include "JackUnit.h"

#include "Protocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>

namespace orvik::bench {

namespace {

constexpr int kReadyTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 15000;

} // namespace

std::vector<UnitUpdate> parseUnitSummaries(const QString& log)
{
    static const QRegularExpression line(
        QStringLiteral("^summary: update (\\d+): ([^;]*); blocks (\\d+)/\\d+, commits (\\d+), "
                       "messages (\\d+), faults ([^,]*),"),
        QRegularExpression::MultilineOption);
    std::vector<UnitUpdate> updates;
    for (auto it = line.globalMatch(log); it.hasNext();) {
        const auto m = it.next();
        UnitUpdate u;
        u.number = m.captured(1).toInt();
        u.outcome = m.captured(2);
        u.blocks = m.captured(3).toInt();
        u.commits = m.captured(4).toInt();
        u.messages = m.captured(5).toLongLong();
        u.faults = m.captured(6);
        updates.push_back(u);
    }
    return updates;
}

void noteUnitUpdates(const std::vector<UnitUpdate>& allUpdates,
                     const std::vector<std::vector<RunFigures>*>& kinds,
                     const std::vector<int>& sentBeforeBegin)
{
    constexpr int kMessagesPerUpdate = kBlockCount * (kSliceCount + 1);
    // A BeginUpdate whose answer was lost is sent again, and the unit then
    // abandons the update it had just begun: that one is the same run's.
    std::vector<UnitUpdate> updates;
    for (const UnitUpdate& u : allUpdates)
        if (!(u.messages <= 1 && u.blocks == 0 && u.outcome.contains(QLatin1String("abandoned"))))
            updates.push_back(u);
    const std::size_t n = kinds.size();
    for (std::size_t i = 0; i < updates.size(); ++i) {
        const std::size_t kind = i % n;
        if (i / n >= kinds[kind]->size())
            break;
        RunFigures& r = (*kinds[kind])[i / n];
        // The unit counts an update's messages up to the BeginUpdate that
        // abandons it, so a shorter run's count takes in what the next run
        // sent before its own update began.
        const bool abandoned = updates[i].outcome.contains(QLatin1String("abandoned"));
        r.unitReceived = updates[i].messages - (abandoned ? sentBeforeBegin[(kind + 1) % n] : 0);
        r.unitOutcome = updates[i].outcome.section(QLatin1Char(','), 0, 0);
        if (r.ok && r.roundTrips == kMessagesPerUpdate + 1 && !updates[i].matched()) {
            r.ok = false;
            r.error = QStringLiteral("the unit's image: ") + updates[i].outcome;
        }
    }
}

JackUnit::~JackUnit()
{
    stop();
}

bool JackUnit::start(const QString& program, const QString& portName, std::uint32_t serial,
                     QString* error, UnitKind kind)
{
    port_ = portName;
    kind_ = kind;
    const QString ready = dir_.filePath(portName + QStringLiteral(".ready"));
    process_.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments{QStringLiteral("--api"),        QStringLiteral("jack"),
                          QStringLiteral("--port"),       portName,
                          QStringLiteral("--serial"),     QString::number(serial),
                          QStringLiteral("--serve"),      QStringLiteral("--quiet"),
                          QStringLiteral("--ready-file"), ready};
    if (kind == UnitKind::HandOff)
        arguments << QStringLiteral("--jack-clients") << QStringLiteral("two");
    process_.start(program, arguments);
    if (!process_.waitForStarted(kReadyTimeoutMs)) {
        *error = QStringLiteral("cannot start %1: %2").arg(program, process_.errorString());
        return false;
    }
    // The ready file is the simulator's promise that its ports exist; it
    // gives nothing else to wait on.
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(ready) && process_.state() == QProcess::Running &&
           waited.elapsed() < kReadyTimeoutMs)
        process_.waitForFinished(20);
    if (!QFile::exists(ready)) {
        *error = QStringLiteral("the simulated unit did not come up: %1")
                     .arg(QString::fromLocal8Bit(process_.readAll()).trimmed());
        stop();
        return false;
    }
    return true;
}

std::string JackUnit::outputPort() const
{
    return (port_ + QLatin1Char(':') + port_).toStdString();
}

std::string JackUnit::inputPort() const
{
    const QString in = port_ + QStringLiteral(" in");
    return ((kind_ == UnitKind::HandOff ? in : port_) + QLatin1Char(':') + in).toStdString();
}

QString JackUnit::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(kStopTimeoutMs)) {
            process_.kill();
            process_.waitForFinished(kStopTimeoutMs);
        }
        output_ += QString::fromLocal8Bit(process_.readAll());
    }
    return output_;
}

} // namespace orvik::bench
