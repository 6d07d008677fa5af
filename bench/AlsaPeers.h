// The window and the bare host, each in a process of its own, on the ALSA
// sequencer against a unit that the caller started: in practice the
// simulated unit behind a USB-MIDI interface inside an emulated kernel
// (bench/usb-in-kernel.sh), so that every message crosses snd-usb-audio and
// the USB stack as it does with a real interface.
#pragma once

#include "Report.h"

#include <QString>

namespace orvik::bench {

struct AlsaPeerOptions
{
    int messages = 0; // timed per update
    int runs = 0;     // of each kind
    // The unit's port as the lists name it, e.g. "Zelvo 2x2 MIDI 2".
    QString unitPort;
    // Where the unit writes what it prints (orvik16-devsim --serve), for
    // its account of each update; empty when not known.
    QString unitLog;
    int timeoutMs = 0; // of one run
};

// Fills `report.usbPeers` and `report.usbUnitPort`.
void runAlsaPeers(BenchReport& report, const AlsaPeerOptions& o);

} // namespace orvik::bench
