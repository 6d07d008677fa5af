// The benchmark's runs on a private JACK server: the tool and a bare client
// in this process, and the window and a bare host each in a process of its
// own against each kind of unit.
#pragma once

#include "Report.h"
#include "UpdateMessages.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace orvik::bench {

struct JackRunOptions
{
    int messages = 0; // timed per update
    int runs = 0;     // of each kind
    bool peersOnly = false;
    bool realtime = false;
    QString devsim;
    std::uint32_t serial = 0;
    int timeoutMs = 0; // of one run
};

// Fills `report.jack`, `report.peers` and `report.handOffPeers`.
void runJack(BenchReport& report, const std::vector<Bytes>& messages, const JackRunOptions& o);

// The first error of any run, empty when every run worked.
QString firstError(const std::vector<RunFigures>& tool, const std::vector<RunFigures>& bare);

} // namespace orvik::bench
