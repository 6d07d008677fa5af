// In-process MIDI devices for tests, benchmarks and the simulator's in-process
// mode, in a library of their own (orvik_loopback) that the product does not
// link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvik::loopback {

struct LinkOptions
{
    // Make midiInOpen / midiOutOpen on this link's devices fail with
    // MMSYSERR_ALLOCATED, as a port held by another program would.
    bool inputOpenFails = false;
    bool outputOpenFails = false;
    // The output hands each message over without waiting for the far end,
    // as a JACK client's ring buffer does; the layer may then send on the
    // caller's thread.
    bool sendsAtOnce = false;
    // Make both opens fail as the MIDI system refuses a port for a reason
    // of its own (MMSYSERR_ERROR), in these words.
    std::string openFailure{};
    // What a real interface's port carries besides its name: the address
    // that tells it from another port of the same name (the sequencer's
    // "24:0"), and what stays the same when it is plugged in again (its card
    // and USB path). Without an identity, the name is the port's identity.
    std::string address{};
    std::string identity{};
};

// One virtual cable pair: an input device the tool reads from and an output
// device the tool writes to, both named `name`. The other end is this object:
// every message the tool sends with midiOutLongMsg arrives, whole and in
// order, at `fromTool` on the link's own thread; toTool() feeds the tool's
// input device. Loopback devices are numbered before every real device, in
// the order their links were made.
class Link
{
public:
    using Receiver = std::function<void(const std::uint8_t* data, std::size_t size)>;

    Link(std::string name, Receiver fromTool, LinkOptions options = {});
    // Removes both devices. A handle still open on them stays valid: its
    // sends are dropped and its input receives nothing more.
    ~Link();

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Raw MIDI bytes into the tool's input: any number of whole messages, or
    // part of one, from any thread. Order is kept across calls.
    void toTool(const std::uint8_t* data, std::size_t size);

    // Current numbers of this link's devices in the input and output lists.
    int inputDeviceNumber() const;
    int outputDeviceNumber() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace orvik::loopback
