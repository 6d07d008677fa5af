// The winmm MIDI calls over our backends: the registry of open handles and
// device lists, and the C entry points. The ports themselves live in
// WinmmInputPort.cpp and WinmmOutputPort.cpp.
//
// Handles are tokens, never addresses: a stale or forged handle is looked up
// in the registry and refused, and a token is never reused, so a handle that
// was closed cannot come back to life as a new one.

#include "WinmmPorts_p.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace orvik::winmm {

MMRESULT Device::openInput(std::shared_ptr<InputSink>, std::unique_ptr<InputConnection>&) const
{
    return MMSYSERR_BADDEVICEID;
}

MMRESULT Device::openOutput(std::unique_ptr<OutputConnection>&) const
{
    return MMSYSERR_BADDEVICEID;
}

#ifdef ORVIK_WINMM_PROBE
void setProbeHook(ProbeHook hook)
{
    probeHook.store(hook, std::memory_order_relaxed);
}
#endif

namespace {

// Everything the calls share. Never destroyed: handles left open at exit
// must not take the process down from a static destructor.
struct Registry
{
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<InputPort>> inputs;
    std::unordered_map<std::uintptr_t, std::shared_ptr<OutputPort>> outputs;
    // Token steps keep handles aligned like pointers; the low values stay
    // free so that small integers are never mistaken for handles.
    std::uintptr_t nextToken = 0x10000;

    std::mutex devicesMutex;
    std::vector<const Backend*> backends;
    DeviceList systemInputs;
    DeviceList systemOutputs;
    bool inputsListed = false;
    bool outputsListed = false;

    template <class Port>
    auto& ports()
    {
        if constexpr (std::is_same_v<Port, InputPort>)
            return inputs;
        else
            return outputs;
    }
};

Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

} // namespace

void addBackend(const Backend& backend)
{
    Registry& r = registry();
    std::lock_guard lock(r.devicesMutex);
    if (std::find(r.backends.begin(), r.backends.end(), &backend) == r.backends.end())
        r.backends.push_back(&backend);
}

namespace {

template <class Port>
constexpr bool isInput = std::is_same_v<Port, InputPort>;

template <class Port>
std::shared_ptr<Port> find(typename Port::Handle handle)
{
    if (!handle)
        return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto& ports = r.ports<Port>();
    auto it = ports.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == ports.end() ? nullptr : it->second;
}

// Added backends' devices first, then the system's. The system's list is asked
// anew when a caller starts at device 0 (a port list being filled), so that
// the numbers it then uses to open stay those it was shown.
DeviceList devices(bool input, bool refresh)
{
    Registry& r = registry();
    std::unique_lock lock(r.devicesMutex);
    // Asked without the lock: a backend has locks of its own, and may be
    // adding itself right now from another thread.
    const std::vector<const Backend*> backends = r.backends;
    lock.unlock();
    DeviceList list;
    for (const Backend* backend : backends) {
        if (input)
            backend->appendInputs(list);
        else
            backend->appendOutputs(list);
    }

    lock.lock();
    bool& listed = input ? r.inputsListed : r.outputsListed;
    DeviceList& system = input ? r.systemInputs : r.systemOutputs;
    if (refresh || !listed) {
        DeviceList fresh;
        if (input)
            rtmidibackend::appendInputs(fresh);
        else
            rtmidibackend::appendOutputs(fresh);
        system = std::move(fresh);
        listed = true;
    }
    list.insert(list.end(), system.begin(), system.end());
    return list;
}

thread_local std::string openFailureText;

bool deviceName(bool input, UINT_PTR id, WCHAR (&name)[MAXPNAMELEN])
{
    const DeviceList list = devices(input, id == 0);
    if (id >= list.size())
        return false;
    std::vector<std::u16string> names;
    names.reserve(list.size());
    for (const auto& device : list)
        names.push_back(capsName(device->name()));
    makeNamesUnique(names);
    const std::u16string& chosen = names[id];
    std::fill(std::begin(name), std::end(name), WCHAR{0});
    std::copy_n(chosen.begin(), std::min<std::size_t>(chosen.size(), MAXPNAMELEN - 1), name);
    return true;
}

} // namespace

std::vector<DeviceDetails> readDevices(bool input)
{
    const DeviceList list = devices(input, true);
    const std::vector<std::u16string> names = distinctNames(list);
    std::vector<DeviceDetails> details;
    details.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i)
        details.push_back({names[i], utf16(list[i]->identity())});
    return details;
}

void setOpenFailureText(std::string text)
{
    openFailureText = std::move(text);
}

std::string takeOpenFailureText()
{
    return std::exchange(openFailureText, std::string());
}

namespace {

template <class Caps>
MMRESULT getCaps(bool input, UINT_PTR id, Caps* out, UINT size, Caps caps)
{
    if (!out || size == 0)
        return MMSYSERR_INVALPARAM;
    if (!deviceName(input, id, caps.szPname))
        return MMSYSERR_BADDEVICEID;
    caps.wMid = 0xFFFF; // unregistered manufacturer
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof(Caps)));
    return MMSYSERR_NOERROR;
}

MMRESULT checkOpenFlags(DWORD_PTR callback, DWORD flags)
{
    const DWORD kind = flags & 0x00070000;
    if (kind == CALLBACK_FUNCTION)
        return callback ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
    if (kind == CALLBACK_NULL)
        return MMSYSERR_NOERROR;
    return MMSYSERR_INVALFLAG;
}

std::uintptr_t newToken(Registry& r)
{
    std::lock_guard lock(r.mutex);
    const std::uintptr_t token = r.nextToken;
    r.nextToken += 0x10;
    return token;
}

template <class Port>
MMRESULT openPort(typename Port::Handle* out, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                  DWORD flags)
{
    if (!out)
        return MMSYSERR_INVALPARAM;
    *out = nullptr;
    if (const MMRESULT checked = checkOpenFlags(callback, flags); checked != MMSYSERR_NOERROR)
        return checked;
    openFailureText.clear();
    const DeviceList list = devices(isInput<Port>, false);
    if (id >= list.size())
        return MMSYSERR_BADDEVICEID;

    Registry& r = registry();
    const auto handle = reinterpret_cast<typename Port::Handle>(newToken(r));
    const auto proc = (flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION
                          ? reinterpret_cast<typename Port::Proc>(callback)
                          : nullptr;
    auto port = std::make_shared<Port>(handle, proc, instance);
    if (const MMRESULT opened = port->open(*list[id], port); opened != MMSYSERR_NOERROR)
        return opened;
    {
        std::lock_guard lock(r.mutex);
        r.ports<Port>().emplace(reinterpret_cast<std::uintptr_t>(handle), port);
    }
    *out = handle;
    return MMSYSERR_NOERROR;
}

template <class Port>
MMRESULT closePort(typename Port::Handle handle)
{
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    Registry& r = registry();
    std::shared_ptr<Port> port;
    {
        std::lock_guard lock(r.mutex);
        auto& ports = r.ports<Port>();
        auto it = ports.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == ports.end())
            return MMSYSERR_INVALHANDLE;
        if (const MMRESULT result = it->second->beginClose(); result != MMSYSERR_NOERROR)
            return result;
        port = std::move(it->second);
        ports.erase(it);
    }
    port->finishClose();
    return MMSYSERR_NOERROR;
}

// The header calls: the handle is checked first, then the header, then the
// port does the work.
template <class Port, class Call>
MMRESULT onHeader(typename Port::Handle handle, MIDIHDR* header, UINT size, bool headerValid,
                  Call call)
{
    auto port = find<Port>(handle);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(MIDIHDR) || !headerValid)
        return MMSYSERR_INVALPARAM;
    return call(*port, header);
}

template <class Port, class Call>
MMRESULT onPort(typename Port::Handle handle, Call call)
{
    auto port = find<Port>(handle);
    return port ? call(*port) : MMSYSERR_INVALHANDLE;
}

} // namespace
} // namespace orvik::winmm

using namespace orvik::winmm;

MMRESULT midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic)
{
    return getCaps(true, uDeviceID, pmic, cbmic, MIDIINCAPSW{});
}

MMRESULT midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc)
{
    MIDIOUTCAPSW caps{};
    caps.wTechnology = 1; // MOD_MIDIPORT
    caps.wChannelMask = 0xFFFF;
    return getCaps(false, uDeviceID, pmoc, cbmoc, caps);
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen)
{
    return openPort<InputPort>(phmi, uDeviceID, dwCallback, dwInstance, fdwOpen);
}

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    return onHeader<InputPort>(hmi, pmh, cbmh, pmh && pmh->lpData,
                               [](InputPort& port, MIDIHDR* h) { return port.prepare(h); });
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    return onHeader<InputPort>(hmi, pmh, cbmh, true,
                               [](InputPort& port, MIDIHDR* h) { return port.unprepare(h); });
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    return onHeader<InputPort>(hmi, pmh, cbmh, true,
                               [](InputPort& port, MIDIHDR* h) { return port.addBuffer(h); });
}

MMRESULT midiInStart(HMIDIIN hmi)
{
    return onPort<InputPort>(hmi, [](InputPort& port) { return port.start(); });
}

MMRESULT midiInStop(HMIDIIN hmi)
{
    return onPort<InputPort>(hmi, [](InputPort& port) { return port.stop(); });
}

MMRESULT midiInReset(HMIDIIN hmi)
{
    return onPort<InputPort>(hmi, [](InputPort& port) { return port.reset(); });
}

MMRESULT midiInClose(HMIDIIN hmi)
{
    return closePort<InputPort>(hmi);
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen)
{
    return openPort<OutputPort>(phmo, uDeviceID, dwCallback, dwInstance, fdwOpen);
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    return onHeader<OutputPort>(hmo, pmh, cbmh, pmh && (pmh->lpData || pmh->dwBufferLength == 0),
                                [](OutputPort& port, MIDIHDR* h) { return port.prepare(h); });
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    return onHeader<OutputPort>(hmo, pmh, cbmh, true,
                                [](OutputPort& port, MIDIHDR* h) { return port.unprepare(h); });
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    ORVIK_WINMM_PROBE_AT(LongMessage, 0);
    return onHeader<OutputPort>(hmo, pmh, cbmh, true,
                                [](OutputPort& port, MIDIHDR* h) { return port.longMsg(h); });
}

MMRESULT midiOutReset(HMIDIOUT hmo)
{
    // winmm also silences every note here. This layer has no short-message
    // call, so nothing it sent can still sound; a unit being updated gets no
    // stray controller messages.
    return onPort<OutputPort>(hmo, [](OutputPort& port) { return port.reset(); });
}

MMRESULT midiOutClose(HMIDIOUT hmo)
{
    return closePort<OutputPort>(hmo);
}
