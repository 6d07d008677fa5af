// The system's MIDI ports through RtMidi: the ALSA sequencer and JACK on
// Linux, CoreMIDI on macOS.
//
// RtMidi reports trouble by throwing or by printing to stderr. The updater
// shows no errors and must not crash on a missing MIDI system, so every RtMidi
// object gets a silent error callback and every call is fenced.

#include "RtMidiPortNames_p.h"
#include "WinmmLayer_p.h"

#include <rtmidi/RtMidi.h>

#ifdef ORVIK_HAVE_JACK
#include <jack/jack.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace orvik::winmm::rtmidibackend {
namespace {

void ignoreError(RtMidiError::Type, const std::string&, void*) {}

// What RtMidi said while a port was being opened.
struct ErrorNote
{
    RtMidiError::Type type = RtMidiError::UNSPECIFIED;
    std::string text;
    bool any = false;
};

void noteError(RtMidiError::Type type, const std::string& text, void* note)
{
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
        return;
    auto& n = *static_cast<ErrorNote*>(note);
    n.type = type;
    n.text = text;
    n.any = true;
}

// RtMidi's texts start with the method that failed ("MidiInAlsa::openPort:
// "), which says nothing to the person reading them.
std::string withoutPlace(const std::string& text)
{
    const std::size_t colon = text.find(": ");
    if (colon == std::string::npos || text.find("::") > colon)
        return text;
    return text.substr(colon + 2);
}

#ifdef ORVIK_HAVE_JACK
// libjack keeps the state of all of a process's clients together. Once
// their server has died, one failed jack_client_open cleans that state up
// under the clients still open, and closing any of them afterwards crashes
// (JACK 1.9.21: kill the server, fail an open, close a survivor). So while
// any client of ours outlives its server, no new one is opened; the lists
// show no JACK ports until the last of them is closed.
class JackClients
{
public:
    // Counts a client about to be opened, or refuses while the dead
    // server's clients remain.
    bool admit()
    {
        std::lock_guard lock(mutex_);
        if (serverGone_ && open_ > 0)
            return false;
        serverGone_ = false;
        ++open_;
        return true;
    }

    // After the client is closed, or its open failed.
    void release()
    {
        std::lock_guard lock(mutex_);
        --open_;
    }

    // From libjack's thread: every client of ours shares the one server.
    void serverGone()
    {
        std::lock_guard lock(mutex_);
        serverGone_ = true;
    }

private:
    std::mutex mutex_;
    int open_ = 0;
    bool serverGone_ = false;
};

JackClients& jackClients()
{
    // Leaked: RtMidi objects may still be closed from static destructors.
    static auto* clients = new JackClients;
    return *clients;
}

// A base of the RtMidi object, so that the place is given back only after
// RtMidi's own destructor has closed the client.
struct JackClientPlace
{
    struct Refused
    {};

    JackClientPlace()
    {
        if (!jackClients().admit())
            throw Refused{};
    }
    ~JackClientPlace() { jackClients().release(); }
    JackClientPlace(const JackClientPlace&) = delete;
    JackClientPlace& operator=(const JackClientPlace&) = delete;
};

template <class Midi>
class CountedJackClient final : private JackClientPlace, public Midi
{
public:
    CountedJackClient(RtMidi::Api api, const std::string& name) : Midi(api, name) {}
};
#endif

template <class Midi>
std::unique_ptr<Midi> makeClient(RtMidi::Api api, std::string* why = nullptr)
{
    try {
        std::unique_ptr<Midi> midi;
#ifdef ORVIK_HAVE_JACK
        // An RtMidi JACK object opens its client as it is made.
        if (api == RtMidi::UNIX_JACK)
            midi = std::make_unique<CountedJackClient<Midi>>(api, kClientName);
#endif
        if (!midi)
            midi = std::make_unique<Midi>(api, kClientName);
        midi->setErrorCallback(&ignoreError, nullptr);
        return midi;
    } catch (const RtMidiError& e) {
        if (why)
            *why = withoutPlace(e.getMessage());
        return nullptr;
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

#ifdef ORVIK_HAVE_JACK
void quietJack()
{
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        // libjack talks on stderr whenever no server answers; with none it is
        // simply an empty list.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
    });
}
#endif

// The systems to ask, in the order their ports are numbered. Whether a JACK
// server runs is learnt by listing it (see JackLister).
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
    if (has(RtMidi::UNIX_JACK))
        apis.push_back(RtMidi::UNIX_JACK);
    if (has(RtMidi::MACOSX_CORE))
        apis.push_back(RtMidi::MACOSX_CORE);
    return apis;
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

    bool open(unsigned index, ErrorNote& note)
    {
        // Published with a release store: RtMidi's thread meets this one
        // only inside libjack or libasound, where a sanitizer cannot see it.
        target_.store(sink_.get(), std::memory_order_release);
        midi_->setErrorCallback(&noteError, &note);
        bool opened = false;
        try {
            midi_->ignoreTypes(false, true, true);
            midi_->setCallback(&RtInput::received, this);
            midi_->openPort(index, std::string(kClientName) + " In");
            opened = midi_->isPortOpen();
        } catch (const RtMidiError& e) {
            noteError(e.getType(), e.getMessage(), &note);
        } catch (...) {
        }
        midi_->setErrorCallback(&ignoreError, nullptr);
        return opened;
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

    bool open(unsigned index, ErrorNote& note)
    {
        midi_->setErrorCallback(&noteError, &note);
        bool opened = false;
        try {
            midi_->openPort(index, std::string(kClientName) + " Out");
            opened = midi_->isPortOpen();
        } catch (const RtMidiError& e) {
            noteError(e.getType(), e.getMessage(), &note);
        } catch (...) {
        }
        midi_->setErrorCallback(&ignoreError, nullptr);
        return opened;
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

// A client RtMidi could not make: why, in the MIDI system's words.
MMRESULT noClient(RtMidi::Api api, std::string why)
{
    if (api == RtMidi::LINUX_ALSA && ::access("/dev/snd/seq", R_OK | W_OK) != 0)
        why = std::string("/dev/snd/seq: ") + std::strerror(errno);
    setOpenFailureText(std::move(why));
    return MMSYSERR_NODRIVER;
}

// An open that RtMidi refused. Until now every refusal read as a port held
// by another program, which on ALSA it rarely is.
template <class Midi>
MMRESULT refused(Midi& midi, const std::string& portName, const ErrorNote& note)
{
    unsigned index = 0;
    if (!findPort(midi, portName, index))
        return MIDIERR_NODEVICE; // went while it was being opened
    switch (note.type) {
    case RtMidiError::INVALID_DEVICE:
    case RtMidiError::NO_DEVICES_FOUND:
        return MIDIERR_NODEVICE;
    case RtMidiError::MEMORY_ERROR:
        return MMSYSERR_NOMEM;
    default:
        break;
    }
    if (note.any)
        setOpenFailureText(withoutPlace(note.text));
    return MMSYSERR_ERROR;
}

class RtDevice final : public Device
{
public:
    RtDevice(RtMidi::Api api, std::string portName)
        : api_(api), portName_(std::move(portName)), shown_(shownName(api_, portName_)),
          address_(shownAddress(api_, portName_)), identity_(portIdentity(api_, portName_))
    {}

    std::string name() const override { return shown_; }
    std::string address() const override { return address_; }
    std::string identity() const override { return identity_; }

    MMRESULT openInput(std::shared_ptr<InputSink> sink,
                       std::unique_ptr<InputConnection>& connection) const override
    {
        std::string why;
        auto midi = makeClient<RtMidiIn>(api_, &why);
        if (!midi)
            return noClient(api_, why);
        unsigned index = 0;
        if (!findPort(*midi, portName_, index))
            return MIDIERR_NODEVICE; // unplugged since the list was read
        RtMidiIn& client = *midi;
        auto input = std::make_unique<RtInput>(std::move(sink), std::move(midi));
        ErrorNote note;
        if (!input->open(index, note))
            return refused(client, portName_, note);
        connection = std::move(input);
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::unique_ptr<OutputConnection>& connection) const override
    {
        std::string why;
        auto midi = makeClient<RtMidiOut>(api_, &why);
        if (!midi)
            return noClient(api_, why);
        unsigned index = 0;
        if (!findPort(*midi, portName_, index))
            return MIDIERR_NODEVICE; // unplugged since the list was read
        RtMidiOut& client = *midi;
        auto output = std::make_unique<RtOutput>(std::move(midi));
        ErrorNote note;
        if (!output->open(index, note))
            return refused(client, portName_, note);
        connection = std::move(output);
        return MMSYSERR_NOERROR;
    }

private:
    const RtMidi::Api api_;
    const std::string portName_;
    const std::string shown_;
    const std::string address_;
    const std::string identity_;
};

// The port lists are asked for again every second while the window waits
// for an interface, so asking must not cost a client each time: a new JACK
// client joins the server's graph, and a new sequencer client is announced
// to every other one. One client per system and direction stays for the
// rest of the process, and only ever lists.
#ifdef ORVIK_HAVE_JACK
// Never activated, so it has no process callback and takes no part in the
// server's graph: listing through it cannot disturb any open port. It is
// opened again whenever the server it knew has gone.
class JackLister
{
public:
    // False when no server answers.
    bool listPorts(bool inputs, std::vector<std::string>& names)
    {
        if (client_ && gone_.load(std::memory_order_acquire))
            close();
        if (!client_) {
            if (!jackClients().admit())
                return false;
            quietJack();
            jack_status_t status{};
            client_ =
                jack_client_open("Orvik16 Update lister", JackOptions(JackNoStartServer), &status);
            if (!client_) {
                jackClients().release();
                return false;
            }
            gone_.store(false, std::memory_order_release);
            jack_on_shutdown(client_, &JackLister::shutDown, this);
        }
        // The same query as RtMidi's, so that the names and their order are
        // those an RtMidi client opens by.
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                            inputs ? JackPortIsOutput : JackPortIsInput);
        if (!ports)
            return true;
        for (const char** p = ports; *p; ++p)
            names.emplace_back(*p);
        jack_free(ports);
        return true;
    }

    void close()
    {
        if (!client_)
            return;
        jack_client_close(client_);
        client_ = nullptr;
        jackClients().release();
    }

private:
    static void shutDown(void* self)
    {
        static_cast<JackLister*>(self)->gone_.store(true, std::memory_order_release);
        jackClients().serverGone();
    }

    jack_client_t* client_ = nullptr;
    std::atomic<bool> gone_{false};
};

// One for both lists: every client more is one more to outlive a server.
// Unlike the RtMidi listers it is closed at exit: libjack's threads for a
// client whose server has gone end on their own, and would otherwise be
// left unjoined.
bool listJackPorts(bool inputs, std::vector<std::string>& names)
{
    static std::mutex mutex;
    static JackLister* lister = [] {
        std::atexit([] {
            std::lock_guard lock(mutex);
            lister->close();
        });
        return new JackLister;
    }();
    std::lock_guard lock(mutex);
    return lister->listPorts(inputs, names);
}
#endif

template <class Midi>
class RtLister
{
public:
    void listPorts(RtMidi::Api api, std::vector<std::string>& names)
    {
        std::unique_ptr<Midi>& midi = clients_[api];
        if (!midi)
            midi = makeClient<Midi>(api);
        if (!midi)
            return;
        try {
            const unsigned count = midi->getPortCount();
            for (unsigned i = 0; i < count; ++i)
                names.push_back(midi->getPortName(i));
        } catch (...) {
        }
    }

private:
    std::map<RtMidi::Api, std::unique_ptr<Midi>> clients_;
};

// The listers are leaked on purpose, like the layer's registry: a client
// closed from a static destructor could outlive the MIDI system's own state.
template <class Midi>
void appendPorts(DeviceList& list)
{
    static std::mutex mutex;
    static auto* listers = new RtLister<Midi>;
    std::lock_guard lock(mutex);
    for (RtMidi::Api api : systemApis()) {
        std::vector<std::string> names;
        if (api != RtMidi::UNIX_JACK) {
            listers->listPorts(api, names);
        } else {
#ifdef ORVIK_HAVE_JACK
            if (!listJackPorts(std::is_same_v<Midi, RtMidiIn>, names))
                continue;
#else
            // RtMidi's own JACK client cannot tell that its server has come
            // back: without libjack of ours, a fresh one each time.
            RtLister<Midi>().listPorts(api, names);
#endif
        }
        for (std::string& name : names) {
            if (!name.empty() && !isOwnPort(name))
                list.push_back(std::make_shared<RtDevice>(api, std::move(name)));
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
