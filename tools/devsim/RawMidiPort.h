// The unit behind one raw MIDI device (hw:CARD,DEVICE), as a unit plugged
// into a MIDI interface: the interface's driver, not this program, puts it
// on the sequencer, and between the two only bytes pass.
#pragma once

#include "ByteStreamFramer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _snd_rawmidi snd_rawmidi_t;

namespace orvik::devsim {

class RawMidiPort
{
public:
    // Called on the reading thread with each whole message.
    using Receive = std::function<void(const std::uint8_t* data, std::size_t size)>;
    // Called once on the reading thread when the device stops working (a
    // card unplugged), with the reason.
    using Lost = std::function<void(const std::string& why)>;

    RawMidiPort();
    ~RawMidiPort();
    RawMidiPort(const RawMidiPort&) = delete;
    RawMidiPort& operator=(const RawMidiPort&) = delete;

    bool open(const std::string& device, Receive receive, Lost lost, std::string* error);
    // From one thread at a time; blocks until the driver took every byte.
    void send(const std::vector<std::uint8_t>& message);
    void close();

private:
    void read();
    // Closes both handles; the input only from the reading thread or once
    // it has ended.
    void release();

    snd_rawmidi_t* in_ = nullptr;
    std::mutex outLock_;
    snd_rawmidi_t* out_ = nullptr;
    Receive receive_;
    Lost lost_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> lostReported_{false};
    std::thread reader_;
};

} // namespace orvik::devsim
