// Options of orvik16-devsim.
#pragma once

#include "DeviceSimulator.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace orvik::devsim {

enum class MidiApi
{
    Auto,
    Alsa,
    Jack
};

// How the unit appears on JACK. A unit behind an interface answers in the
// server cycle that brought the message; many MIDI programs are instead an
// input client and an output client whose input hands each message to the
// program's own thread, which answers from there.
enum class JackClients
{
    One, // both ports on one client, answering inside the process callback
    Two, // RtMidi's input and output clients, answering from the unit's thread
};

struct Options
{
    DeviceSettings settings;
    QString portName = QStringLiteral("Orvik16 KX");
    MidiApi api = MidiApi::Auto;
    JackClients jackClients = JackClients::One;
    QString rawMidi; // an ALSA raw MIDI device instead of virtual ports
    bool serve = false;
    bool quiet = false;
    QString readyFile;
    QString imagePath;
    int randomFaults = 0;
    InjectionKinds randomKinds = kAllInjectionKinds;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    std::chrono::milliseconds linger{0};
};

enum class ParseStatus
{
    Run,
    Help,
    Error
};

// `arguments` includes the program name first. On Help `message` holds the
// help text, on Error what was wrong.
ParseStatus parseCommandLine(const QStringList& arguments, Options& options, QString& message);

} // namespace orvik::devsim
