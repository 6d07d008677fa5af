// The system's MIDI ports through RtMidi: the ALSA sequencer and JACK on
// Linux, CoreMIDI on macOS.
//
// RtMidi reports trouble by throwing or by printing to stderr. The updater
// shows no errors and must not crash on a missing MIDI system, so every RtMidi
// object gets a silent error callback and every call is fenced.

#include "WinmmLayer_p.h"

#include <rtmidi/RtMidi.h>

#ifdef ORVIK_HAVE_JACK
#include <jack/jack.h>
#endif

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace orvik::winmm::rtmidibackend {
namespace {

constexpr const char* kClientName = "Orvik16 Update";

void ignoreError(RtMidiError::Type, const std::string&, void*) {}

template <class Midi>
std::unique_ptr<Midi> makeClient(RtMidi::Api api)
{
    try {
        auto midi = std::make_unique<Midi>(api, kClientName);
        midi->setErrorCallback(&ignoreError, nullptr);
        return midi;
    } catch (...) {
        return nullptr;
    }
}

bool alsaSequencerPresent()
{
    // Without the device node, or without the right to open it, opening the
    // sequencer makes libasound print its complaint on stderr.
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

bool jackServerRunning()
{
#ifdef ORVIK_HAVE_JACK
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        // libjack talks on stderr whenever no server answers; with none it is
        // simply an empty list.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
    });
    jack_status_t status{};
    jack_client_t* client =
        jack_client_open("Orvik16 Update probe", JackOptions(JackNoStartServer), &status);
    if (!client)
        return false;
    jack_client_close(client);
    return true;
#else
    return true; // RtMidi opens its JACK clients without starting a server
#endif
}

// The systems to ask, in the order their ports are numbered.
std::vector<RtMidi::Api> systemApis()
{
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    auto has = [&](RtMidi::Api api) {
        return std::find(compiled.begin(), compiled.end(), api) != compiled.end();
    };
    std::vector<RtMidi::Api> apis;
    if (has(RtMidi::LINUX_ALSA) && alsaSequencerPresent())
        apis.push_back(RtMidi::LINUX_ALSA);
    if (has(RtMidi::UNIX_JACK) && jackServerRunning())
        apis.push_back(RtMidi::UNIX_JACK);
    if (has(RtMidi::MACOSX_CORE))
        apis.push_back(RtMidi::MACOSX_CORE);
    return apis;
}

// ALSA names end in the port's numeric address ("Synth:Synth MIDI 1 20:0");
// it changes from session to session and would take up room in the 31
// characters a caps name has.
std::string shownName(RtMidi::Api api, const std::string& name)
{
    if (api != RtMidi::LINUX_ALSA)
        return name;
    const std::size_t space = name.rfind(' ');
    if (space == std::string::npos || space == 0)
        return name;
    const std::string address = name.substr(space + 1);
    const std::size_t colon = address.find(':');
    const bool numeric = colon != std::string::npos && colon > 0 && colon + 1 < address.size() &&
                         std::all_of(address.begin(), address.end(),
                                     [](char c) { return c == ':' || (c >= '0' && c <= '9'); });
    return numeric ? name.substr(0, space) : name;
}

bool isOwnPort(const std::string& name)
{
    // Our own open ports would otherwise show up in the opposite list.
    return name.rfind(kClientName, 0) == 0;
}

// Ports shift when others come and go: find this one again by name.
bool findPort(RtMidi& midi, const std::string& name, unsigned& index)
{
    try {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            if (midi.getPortName(i) == name) {
                index = i;
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

class RtInput final : public InputConnection
{
public:
    RtInput(std::shared_ptr<InputSink> sink, std::unique_ptr<RtMidiIn> midi)
        : sink_(std::move(sink)), midi_(std::move(midi))
    {}

    ~RtInput() override
    {
        // Closing joins RtMidi's thread, so no message is in flight after.
        try {
            midi_->cancelCallback();
            midi_->closePort();
        } catch (...) {
        }
        midi_.reset();
    }

    bool open(unsigned index)
    {
        // Published with a release store: RtMidi's thread meets this one
        // only inside libjack or libasound, where a sanitizer cannot see it.
        target_.store(sink_.get(), std::memory_order_release);
        try {
            midi_->ignoreTypes(false, true, true);
            midi_->setCallback(&RtInput::received, this);
            midi_->openPort(index, std::string(kClientName) + " In");
            return midi_->isPortOpen();
        } catch (...) {
            return false;
        }
    }

private:
    static void received(double, std::vector<unsigned char>* message, void* self)
    {
        InputSink* sink = static_cast<RtInput*>(self)->target_.load(std::memory_order_acquire);
        if (sink && message && !message->empty())
            sink->feed(message->data(), message->size());
    }

    std::shared_ptr<InputSink> sink_;
    std::atomic<InputSink*> target_{nullptr};
    std::unique_ptr<RtMidiIn> midi_;
};

class RtOutput final : public OutputConnection
{
public:
    explicit RtOutput(std::unique_ptr<RtMidiOut> midi)
        : midi_(std::move(midi)), jack_(midi_->getCurrentApi() == RtMidi::UNIX_JACK)
    {}

    ~RtOutput() override
    {
        try {
            midi_->closePort();
        } catch (...) {
        }
    }

    bool open(unsigned index)
    {
        try {
            midi_->openPort(index, std::string(kClientName) + " Out");
            return midi_->isPortOpen();
        } catch (...) {
            return false;
        }
    }

    void send(const std::uint8_t* data, std::size_t size) override
    {
        try {
            midi_->sendMessage(data, size);
        } catch (...) {
        }
    }

    // Over JACK a send only writes into a ring buffer that the client's
    // process callback empties every cycle (it waits only while the ring is
    // full, which one message in flight never fills).
    bool sendsAtOnce() const override { return jack_; }

private:
    std::unique_ptr<RtMidiOut> midi_;
    const bool jack_;
};

class RtDevice final : public Device
{
public:
    RtDevice(RtMidi::Api api, std::string portName)
        : api_(api), portName_(std::move(portName)), shown_(shownName(api_, portName_))
    {}

    std::string name() const override { return shown_; }

    MMRESULT openInput(std::shared_ptr<InputSink> sink,
                       std::unique_ptr<InputConnection>& connection) const override
    {
        auto midi = makeClient<RtMidiIn>(api_);
        if (!midi)
            return MMSYSERR_NODRIVER;
        unsigned index = 0;
        if (!findPort(*midi, portName_, index))
            return MMSYSERR_NODRIVER;
        auto input = std::make_unique<RtInput>(std::move(sink), std::move(midi));
        if (!input->open(index))
            return MMSYSERR_ALLOCATED;
        connection = std::move(input);
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::unique_ptr<OutputConnection>& connection) const override
    {
        auto midi = makeClient<RtMidiOut>(api_);
        if (!midi)
            return MMSYSERR_NODRIVER;
        unsigned index = 0;
        if (!findPort(*midi, portName_, index))
            return MMSYSERR_NODRIVER;
        auto output = std::make_unique<RtOutput>(std::move(midi));
        if (!output->open(index))
            return MMSYSERR_ALLOCATED;
        connection = std::move(output);
        return MMSYSERR_NOERROR;
    }

private:
    const RtMidi::Api api_;
    const std::string portName_;
    const std::string shown_;
};

template <class Midi>
void appendPorts(DeviceList& list)
{
    for (RtMidi::Api api : systemApis()) {
        auto midi = makeClient<Midi>(api);
        if (!midi)
            continue;
        try {
            const unsigned count = midi->getPortCount();
            for (unsigned i = 0; i < count; ++i) {
                std::string name = midi->getPortName(i);
                if (!name.empty() && !isOwnPort(name))
                    list.push_back(std::make_shared<RtDevice>(api, std::move(name)));
            }
        } catch (...) {
        }
    }
}

} // namespace

void appendInputs(DeviceList& list)
{
    appendPorts<RtMidiIn>(list);
}

void appendOutputs(DeviceList& list)
{
    appendPorts<RtMidiOut>(list);
}

} // namespace orvik::winmm::rtmidibackend
