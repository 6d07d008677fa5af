#include "VirtualPorts.h"

#include <rtmidi/RtMidi.h>

#ifdef ORVIK_HAVE_JACK
#include <jack/jack.h>
#endif

#include <algorithm>
#include <cstdio>
#include <mutex>
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

VirtualPorts::VirtualPorts() = default;

VirtualPorts::~VirtualPorts()
{
    close();
}

bool VirtualPorts::open(MidiApi api, const std::string& portName, Receive receive,
                        std::string* error)
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

    receive_ = std::move(receive);
    g_errors.reset();
    std::string why;
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

        in_ = std::make_unique<RtMidiIn>(rtApi, portName);
        in_->setErrorCallback(onRtMidiError, &g_errors);
        in_->ignoreTypes(false, true, true);
        in_->setCallback(&VirtualPorts::onMessage, this);
        in_->openVirtualPort(portName);
        if (g_errors.check(why))
            return fail(apiName_ + std::string(" input: ") + why);
    } catch (const RtMidiError& e) {
        return fail(apiName_ + std::string(": ") + e.getMessage());
    }
    return true;
}

void VirtualPorts::send(const std::vector<std::uint8_t>& message)
{
    if (out_ && !message.empty())
        out_->sendMessage(message.data(), message.size());
}

void VirtualPorts::close()
{
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
