// A virtual MIDI input and output that other programs connect to, as a unit
// plugged into the machine would appear.
#pragma once

#include "CommandLine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RtMidiIn;
class RtMidiOut;

namespace orvik::devsim {

class JackPorts;

class VirtualPorts
{
public:
    // Runs on the MIDI system's thread (JACK's is real-time): keep it short.
    // On one JACK client a send() from inside it leaves in the same cycle.
    using Receive = std::function<void(const std::uint8_t* data, std::size_t size)>;

    VirtualPorts();
    ~VirtualPorts();
    VirtualPorts(const VirtualPorts&) = delete;
    VirtualPorts& operator=(const VirtualPorts&) = delete;

    // Both ports are named `portName`; on JACK they belong to one client of
    // that name and the input is "`portName` in". With two JACK clients the
    // output is client `portName`'s port `portName` and the input client
    // "`portName` in"'s port of that name, each made by RtMidi, and on
    // neither can an answer leave in the cycle that brought the message.
    // False with the reason in `error`.
    bool open(MidiApi api, JackClients jackClients, const std::string& portName, Receive receive,
              std::string* error);
    // From one thread at a time.
    void send(const std::vector<std::uint8_t>& message);
    void close();

    // "ALSA" or "JACK" once open.
    const char* apiName() const { return apiName_; }

private:
    static void onMessage(double timestamp, std::vector<unsigned char>* message, void* self);

    std::unique_ptr<RtMidiIn> in_;
    std::unique_ptr<RtMidiOut> out_;
    std::unique_ptr<JackPorts> jack_; // JACK's ports, when it is the system
    Receive receive_;
    const char* apiName_ = "";
};

} // namespace orvik::devsim
