#include "VirtualPorts.h"

#include <rtmidi/RtMidi.h>

#ifdef ORVIK_HAVE_JACK
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace orvik::devsim {

namespace {

// RtMidi reports through a plain function pointer, from whichever thread
// hit the error once the ports run.
struct ErrorSink
{
    std::mutex lock;
    std::string text;
    bool failed = false;

    void reset()
    {
        std::lock_guard guard(lock);
        text.clear();
        failed = false;
    }
    bool check(std::string& out)
    {
        std::lock_guard guard(lock);
        out = text;
        return failed;
    }
};

void onRtMidiError(RtMidiError::Type type, const std::string& text, void* user)
{
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
        return;
    auto* sink = static_cast<ErrorSink*>(user);
    std::lock_guard guard(sink->lock);
    sink->failed = true;
    if (sink->text.empty())
        sink->text = text;
}

bool compiled(RtMidi::Api api)
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

#ifdef ORVIK_HAVE_JACK
void jackSilent(const char*) {}
void jackError(const char* text)
{
    std::fprintf(stderr, "JACK: %s\n", text);
}

// RtMidi never starts a server, but with none running it goes on to use a
// client it did not get; find out first, quietly.
bool jackServerRunning()
{
    jack_set_error_function(jackSilent);
    jack_set_info_function(jackSilent);
    jack_status_t status{};
    jack_client_t* client = jack_client_open("orvik16-devsim-probe", JackNoStartServer, &status);
    if (client)
        jack_client_close(client);
    jack_set_error_function(jackError);
    return client != nullptr;
}
#endif

ErrorSink g_errors;

} // namespace

#ifdef ORVIK_HAVE_JACK
// One JACK client with both ports. The server runs a client after every
// client that sends to it and before every client it sends to, so an answer
// given inside the process callback leaves in the cycle that brought the
// message. RtMidi would make a client for each direction, which the server
// runs in either order: whenever the output ran first, every answer waited
// a cycle.
class JackPorts
{
public:
    ~JackPorts() { close(); }

    bool open(const std::string& name, VirtualPorts::Receive receive, std::string* error)
    {
        receive_ = std::move(receive);
        jack_status_t status{};
        client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
        if (!client_)
            return fail(error, "cannot open a client");
        out_ =
            jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(client_, (name + " in").c_str(), JACK_DEFAULT_MIDI_TYPE,
                                 JackPortIsInput, 0);
        ring_ = jack_ringbuffer_create(kRingBytes);
        if (!out_ || !in_ || !ring_)
            return fail(error, "cannot register the ports");
        jack_set_process_callback(client_, &JackPorts::process, this);
        if (jack_activate(client_) != 0)
            return fail(error, "cannot activate the client");
        active_ = true;
        return true;
    }

    // Inside the process callback straight into this cycle's output, after
    // what other threads queued before; elsewhere queued for the next cycle.
    void send(const std::vector<std::uint8_t>& message)
    {
        if (cycle == this) {
            drain();
            jack_midi_event_write(cycleOut_, 0, message.data(), message.size());
            return;
        }
        const std::uint32_t size = std::uint32_t(message.size());
        if (!ring_ || jack_ringbuffer_write_space(ring_) < sizeof size + size)
            return; // as a full MIDI line would drop it
        jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&size), sizeof size);
        jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(message.data()), size);
    }

    void close()
    {
        if (client_) {
            flush();
            active_ = false;
            jack_deactivate(client_);
            jack_client_close(client_);
            client_ = nullptr;
        }
        if (ring_)
            jack_ringbuffer_free(ring_);
        ring_ = nullptr;
    }

private:
    static constexpr std::size_t kRingBytes = 1 << 16;
    static constexpr auto kFlushTimeout = std::chrono::seconds(2);

    // A unit that has given its last answer must not be cut off before it
    // leaves: an answer the worker queued goes out only in a cycle still to
    // come, and what a cycle wrote reaches the peer only once that cycle has
    // run everywhere. So wait for the ring to empty and for one cycle more;
    // a server that has stopped running cycles gets a deadline instead.
    void flush()
    {
        if (!active_)
            return;
        const auto deadline = std::chrono::steady_clock::now() + kFlushTimeout;
        auto waitFor = [&](auto done) {
            while (!done() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        waitFor([&] { return jack_ringbuffer_read_space(ring_) == 0; });
        const std::uint64_t drained = cycles_.load(std::memory_order_acquire);
        waitFor([&] { return cycles_.load(std::memory_order_acquire) >= drained + 2; });
    }

    bool fail(std::string* error, const char* why)
    {
        close();
        if (error)
            *error = why;
        return false;
    }

    void drain()
    {
        std::uint32_t size = 0;
        while (jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&size), sizeof size) ==
                   sizeof size &&
               jack_ringbuffer_read_space(ring_) >= sizeof size + size) {
            jack_ringbuffer_read_advance(ring_, sizeof size);
            if (jack_midi_data_t* data = jack_midi_event_reserve(cycleOut_, 0, size))
                jack_ringbuffer_read(ring_, reinterpret_cast<char*>(data), size);
            else
                jack_ringbuffer_read_advance(ring_, size);
        }
    }

    static int process(jack_nframes_t frames, void* self)
    {
        auto* ports = static_cast<JackPorts*>(self);
        ports->cycleOut_ = jack_port_get_buffer(ports->out_, frames);
        jack_midi_clear_buffer(ports->cycleOut_);
        cycle = ports;
        ports->drain();
        void* in = jack_port_get_buffer(ports->in_, frames);
        const std::uint32_t count = jack_midi_get_event_count(in);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event{};
            if (jack_midi_event_get(&event, in, i) != 0 || event.size == 0)
                continue;
            // MIDI clock, time code and active sensing say nothing to a unit.
            const std::uint8_t status = event.buffer[0];
            if (status == 0xF1 || status == 0xF8 || status == 0xFE)
                continue;
            ports->receive_(event.buffer, event.size);
        }
        cycle = nullptr;
        ports->cycles_.fetch_add(1, std::memory_order_release);
        return 0;
    }

    static thread_local JackPorts* cycle; // whose process callback runs on this thread
    VirtualPorts::Receive receive_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    void* cycleOut_ = nullptr;
    std::atomic<std::uint64_t> cycles_{0}; // process callbacks run to their end
    bool active_ = false;
};

thread_local JackPorts* JackPorts::cycle = nullptr;
#else
class JackPorts
{};
#endif

VirtualPorts::VirtualPorts() = default;

VirtualPorts::~VirtualPorts()
{
    close();
}

bool VirtualPorts::open(MidiApi api, JackClients jackClients, const std::string& portName,
                        Receive receive, std::string* error)
{
    auto fail = [&](std::string why) {
        close();
        if (error)
            *error = std::move(why);
        return false;
    };

    if (api == MidiApi::Auto)
        api = ::access("/dev/snd/seq", F_OK) == 0 ? MidiApi::Alsa : MidiApi::Jack;
    const RtMidi::Api rtApi = api == MidiApi::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
    apiName_ = api == MidiApi::Alsa ? "ALSA" : "JACK";
    if (!compiled(rtApi))
        return fail(std::string("this RtMidi has no ") + apiName_ + " support");
    if (api == MidiApi::Alsa && ::access("/dev/snd/seq", F_OK) != 0)
        return fail("no ALSA sequencer (/dev/snd/seq does not exist)");
#ifdef ORVIK_HAVE_JACK
    if (api == MidiApi::Jack && !jackServerRunning())
        return fail("no JACK server is running (this program never starts one)");
#endif

#ifdef ORVIK_HAVE_JACK
    if (api == MidiApi::Jack && jackClients == JackClients::One) {
        jack_ = std::make_unique<JackPorts>();
        if (!jack_->open(portName, std::move(receive), error)) {
            jack_.reset();
            return fail(std::string("JACK: ") + (error ? *error : std::string()));
        }
        return true;
    }
#endif
    receive_ = std::move(receive);
    g_errors.reset();
    std::string why;
    // ALSA keeps clients of one name apart by number; JACK would rename the
    // second, so on JACK the input's client says what it is.
    const std::string inName = api == MidiApi::Jack ? portName + " in" : portName;
    // RtMidi reports failures in its constructors by throwing; this is the
    // one place where a third party's exception has to be caught.
    try {
        // The output exists before anything can arrive, so the first reply
        // never races its creation.
        out_ = std::make_unique<RtMidiOut>(rtApi, portName);
        out_->setErrorCallback(onRtMidiError, &g_errors);
        out_->openVirtualPort(portName);
        if (g_errors.check(why))
            return fail(apiName_ + std::string(" output: ") + why);

        in_ = std::make_unique<RtMidiIn>(rtApi, inName);
        in_->setErrorCallback(onRtMidiError, &g_errors);
        in_->ignoreTypes(false, true, true);
        in_->setCallback(&VirtualPorts::onMessage, this);
        in_->openVirtualPort(inName);
        if (g_errors.check(why))
            return fail(apiName_ + std::string(" input: ") + why);
    } catch (const RtMidiError& e) {
        return fail(apiName_ + std::string(": ") + e.getMessage());
    }
    return true;
}

void VirtualPorts::send(const std::vector<std::uint8_t>& message)
{
#ifdef ORVIK_HAVE_JACK
    if (jack_) {
        if (!message.empty())
            jack_->send(message);
        return;
    }
#endif
    if (out_ && !message.empty())
        out_->sendMessage(message.data(), message.size());
}

void VirtualPorts::close()
{
#ifdef ORVIK_HAVE_JACK
    jack_.reset();
#endif
    if (in_) {
        in_->cancelCallback();
        in_->closePort();
    }
    in_.reset();
    if (out_)
        out_->closePort();
    out_.reset();
}

void VirtualPorts::onMessage(double, std::vector<unsigned char>* message, void* self)
{
    auto* ports = static_cast<VirtualPorts*>(self);
    if (message && ports->receive_)
        ports->receive_(message->data(), message->size());
}

} // namespace orvik::devsim
