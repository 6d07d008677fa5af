// Internal seams of the winmm-compatible layer: what a backend offers (device
// lists, open connections) and what the layer offers back (a sink for input
// bytes). Not part of the product's interface.
#pragma once

#include "winmm.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::winmm {

// Raw MIDI bytes from a backend into one open input handle. Any thread, any
// framing; bytes of one feed() are kept together and in order.
class InputSink
{
public:
    virtual void feed(const std::uint8_t* data, std::size_t size) = 0;

protected:
    ~InputSink() = default;
};

// An open input on a backend. Destroying it stops all feeding: once the
// destructor has returned, the backend no longer touches the sink.
class InputConnection
{
public:
    virtual ~InputConnection() = default;
};

// An open output on a backend. send() is called one complete message at a
// time, never two at once, and may wait until the message has left (a cable
// is slow). It runs on the output handle's own thread, unless sendsAtOnce():
// then it may also run on the caller's thread inside midiOutLongMsg.
class OutputConnection
{
public:
    virtual ~OutputConnection() = default;
    virtual void send(const std::uint8_t* data, std::size_t size) = 0;
    // send() never waits: it only hands the message over (to a queue that
    // the MIDI system empties), so that the caller need not wake the
    // handle's thread to have it sent.
    virtual bool sendsAtOnce() const { return false; }
    // A reset is under way (any thread): a send that waits must stop waiting,
    // and none may wait again until resume().
    virtual void interrupt() {}
    // The reset is done (the handle's own thread).
    virtual void resume() {}
};

// One entry of a device list. Entries are immutable snapshots; opening one
// whose underlying port has gone away fails cleanly.
class Device
{
public:
    virtual ~Device() = default;
    // UTF-8, as the backend names it; the layer shortens it for the caps.
    virtual std::string name() const = 0;
    // What tells this port from another of the same name, added to the name
    // only where two collide (the sequencer's "24:0" on ALSA); may be empty.
    virtual std::string address() const { return {}; }
    // What stays the same when the port's interface is unplugged and plugged
    // back in; ports that share it cannot be told apart after a re-plug.
    virtual std::string identity() const { return name(); }
    virtual MMRESULT openInput(std::shared_ptr<InputSink> sink,
                               std::unique_ptr<InputConnection>& connection) const;
    virtual MMRESULT openOutput(std::unique_ptr<OutputConnection>& connection) const;
};

using DeviceList = std::vector<std::shared_ptr<const Device>>;

// A source of devices besides the system's MIDI ports: the in-process
// devices of the tests, the simulator and the benchmark, which the product
// never links. Its devices come before the system's, in the order the
// backends were added. The append calls may come from any thread and must not
// call into the layer.
class Backend
{
public:
    virtual void appendInputs(DeviceList& list) const = 0;
    virtual void appendOutputs(DeviceList& list) const = 0;

protected:
    ~Backend() = default;
};

// Adds a backend for the rest of the process (it must live that long). Any
// thread; adding the same backend twice adds it once.
void addBackend(const Backend& backend);

namespace rtmidibackend {
// Asks every MIDI system that answers right now; slow (opens clients).
void appendInputs(DeviceList& list);
void appendOutputs(DeviceList& list);
} // namespace rtmidibackend

// A device name as winmm's caps carry it: UTF-16, at most MAXPNAMELEN - 1
// units, never ending in half a surrogate pair.
std::u16string capsName(std::string_view utf8);
// Makes every name in the list distinct by appending " 2", " 3", ... while
// keeping each within MAXPNAMELEN - 1 units.
void makeNamesUnique(std::vector<std::u16string>& names);

// One port of a reading of a device list, in device number order.
struct DeviceDetails
{
    // The whole name, with the address added where two names collide.
    std::u16string name;
    std::u16string identity;
};
// Reads the list anew, as the caps of device 0 do: the device numbers then
// open the ports of this reading.
std::vector<DeviceDetails> readDevices(bool input);
// The names as a person reads them: whole, and where two are the same, each
// with its address.
std::vector<std::u16string> distinctNames(const DeviceList& list);
std::u16string utf16(std::string_view utf8);

// The MIDI system's own words for why the open under way failed, from the
// backend; read (and forgotten) once the open has returned. Per thread.
void setOpenFailureText(std::string text);
std::string takeOpenFailureText();

#ifdef ORVIK_WINMM_PROBE
// A timing probe, only in the benchmark's build of the layer. When a hook is
// set, the layer calls it on the calling thread: when a backend feeds an
// input bytes (message 0), just before it runs an input callback (with that
// callback's message), on entry to every midiOutLongMsg (message 0) and just
// before it hands a message to the backend (message 0). The hook must not
// call into the layer.
enum class ProbePoint
{
    InputCallback,
    LongMessage,
    Fed,
    BackendSend,
};
using ProbeHook = void (*)(ProbePoint point, UINT message);
void setProbeHook(ProbeHook hook);
#endif

} // namespace orvik::winmm
