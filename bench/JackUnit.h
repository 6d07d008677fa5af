// orvik16-devsim as a child process on a JACK server, and what it reports.
#pragma once

#include "Runs.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

namespace orvik::bench {

// One "summary:" line of the simulator: how an update ended.
struct UnitUpdate
{
    int number = 0;
    QString outcome; // "image matched", "incomplete, abandoned for a new begin-update", ...
    int blocks = 0;
    int commits = 0;
    std::int64_t messages = 0; // BeginUpdate included
    QString faults;            // "none" for a clean update
    bool matched() const { return outcome == QLatin1String("image matched"); }
};

std::vector<UnitUpdate> parseUnitSummaries(const QString& log);

// Gives each run what the unit made of its update. `kinds` are the runs of
// each kind in the order they took turns (the first kind's first run, the
// second kind's first run, ...); `sentBeforeBegin` is how many messages a
// run of that kind sends before its BeginUpdate. A whole update whose image
// the unit did not match fails its run.
void noteUnitUpdates(const std::vector<UnitUpdate>& allUpdates,
                     const std::vector<std::vector<RunFigures>*>& kinds,
                     const std::vector<int>& sentBeforeBegin);

// The two ways a unit meets a host on JACK. A host that loses messages
// against one of them and not the other shows where the fault is.
enum class UnitKind
{
    // orvik16-devsim as one client that answers inside the process callback,
    // in the cycle that brought the message, as a unit behind an interface.
    InCycle,
    // Two RtMidi clients, one in and one out, whose input hands each message
    // to the unit's own thread, which answers from there: many MIDI programs
    // are built so (orvik16-devsim --jack-clients two).
    HandOff,
};

class JackUnit
{
public:
    JackUnit() = default;
    ~JackUnit();
    JackUnit(const JackUnit&) = delete;
    JackUnit& operator=(const JackUnit&) = delete;

    // Starts `program --api jack --serve` with both ports named `portName`
    // and waits until they exist.
    bool start(const QString& program, const QString& portName, std::uint32_t serial,
               QString* error, UnitKind kind = UnitKind::InCycle);
    // Where the unit's replies come from and where its messages go, as JACK
    // names them: one client with both ports, or a client for each.
    std::string outputPort() const;
    std::string inputPort() const;
    // Ends it as an interrupt would and returns everything it printed.
    QString stop();

private:
    QProcess process_;
    QTemporaryDir dir_;
    QString port_;
    UnitKind kind_ = UnitKind::InCycle;
    QString output_;
};

} // namespace orvik::bench
