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
    // Called on the reading thread when the device stops working (a card
    // unplugged), with the reason, and when it works again (plugged back):
    // the unit behind it keeps its state and power throughout, as a unit
    // behind a USB interface pulled from the computer does.
    using Lost = std::function<void(const std::string& why)>;
    using Back = std::function<void()>;

    RawMidiPort();
    ~RawMidiPort();
    RawMidiPort(const RawMidiPort&) = delete;
    RawMidiPort& operator=(const RawMidiPort&) = delete;

    bool open(const std::string& device, Receive receive, Lost lost, Back back, std::string* error);
    // From one thread at a time; blocks until the driver took every byte.
    void send(const std::vector<std::uint8_t>& message);
    void close();
    // Bytes the driver received for this unit but threw away because the
    // unit had not read what came before: what an interface does when
    // nobody reads. Counted while the device is open.
    std::uint64_t dropped() const { return dropped_; }

private:
    void run();
    // Until the device stops working or the port closes; true on the latter.
    bool read();
    // Until the device opens again or the port closes; true on the latter.
    bool waitForDevice();
    int openHandles();
    // Closes both handles; the input only from the reading thread or once
    // it has ended.
    void release();
    void countDropped();

    snd_rawmidi_t* in_ = nullptr;
    std::mutex outLock_;
    snd_rawmidi_t* out_ = nullptr;
    Receive receive_;
    Lost lost_;
    Back back_;
    std::string device_;
    int wake_[2] = {-1, -1};
    std::thread reader_;
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace orvik::devsim
