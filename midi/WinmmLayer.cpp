// The winmm MIDI calls over our backends.
//
// Every open handle owns one worker thread. All callbacks for the handle run
// there, in order, and never inside one of the calls below: callers (the GUI
// thread) may hold their own locks around these calls, and winmm promises
// the same. A call that must hand buffers back before it returns (reset,
// stop) asks the worker and waits for it; close joins the worker, so nothing
// for a handle runs once its close has returned.
//
// Handles are tokens, never addresses: a stale or forged handle is looked up
// in the registry and refused, and a token is never reused, so a handle that
// was closed cannot come back to life as a new one.

#include "WinmmLayer_p.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
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

namespace {

constexpr std::size_t kNameUnits = MAXPNAMELEN - 1;

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Cuts to at most `units` without leaving the first half of a pair behind.
void cutName(std::u16string& name, std::size_t units)
{
    if (name.size() <= units)
        return;
    name.resize(units);
    if (!name.empty() && isHighSurrogate(name.back()))
        name.pop_back();
}

} // namespace

std::u16string capsName(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    // Names come from other programs: malformed UTF-8 becomes U+FFFD rather
    // than garbage or a read past the end.
    while (p < end) {
        const unsigned char lead = *p;
        char32_t cp = 0xFFFD;
        int extra = 0;
        char32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            extra = -1;
        }
        ++p;
        if (extra < 0) {
            cp = 0xFFFD;
        } else if (extra > 0) {
            bool ok = end - p >= extra;
            for (int i = 0; ok && i < extra; ++i)
                ok = (p[i] & 0xC0) == 0x80;
            if (ok) {
                for (int i = 0; i < extra; ++i)
                    cp = (cp << 6) | (p[i] & 0x3F);
                p += extra;
                if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                    cp = 0xFFFD;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        if (out.size() > kNameUnits + 1)
            break;
    }
    cutName(out, kNameUnits);
    return out;
}

void makeNamesUnique(std::vector<std::u16string>& names)
{
    std::vector<std::u16string> taken;
    taken.reserve(names.size());
    auto isTaken = [&](const std::u16string& name) {
        return std::find(taken.begin(), taken.end(), name) != taken.end();
    };
    for (std::u16string& name : names) {
        if (isTaken(name)) {
            for (unsigned n = 2;; ++n) {
                std::u16string suffix = u" ";
                for (char c : std::to_string(n))
                    suffix.push_back(static_cast<char16_t>(c));
                std::u16string candidate = name;
                cutName(candidate, kNameUnits - suffix.size());
                candidate += suffix;
                if (!isTaken(candidate)) {
                    name = std::move(candidate);
                    break;
                }
            }
        }
        taken.push_back(name);
    }
}

namespace {

std::atomic<ProbeHook> probeHook{nullptr};

void probe(ProbePoint point, UINT message)
{
    if (const ProbeHook hook = probeHook.load(std::memory_order_relaxed)) [[unlikely]]
        hook(point, message);
}

} // namespace

void setProbeHook(ProbeHook hook)
{
    probeHook.store(hook, std::memory_order_relaxed);
}

namespace {

using Clock = std::chrono::steady_clock;

struct Event
{
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
};

struct Request
{
    enum Kind
    {
        Start,
        Stop,
        Reset
    } kind;
    std::uint64_t id;
};

bool validHeaderSize(UINT size)
{
    return size >= sizeof(MIDIHDR);
}

// Data bytes that follow a status byte (running status aside).
int dataLength(std::uint8_t status)
{
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 1;
    case 0xF0:
        switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        default:
            return 0;
        }
    default:
        return 2;
    }
}

// Shared by both directions: the worker thread, its wake-up, the requests
// that a caller waits on, and how a close ends it.
class PortBase
{
public:
    virtual ~PortBase() = default;

    // Input and output headers are prepared alike: a flag, checked under
    // the port's lock against the queue that may hold the header.
    MMRESULT prepare(MIDIHDR* header)
    {
        std::lock_guard lock(mutex_);
        header->dwFlags |= MHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT unprepare(MIDIHDR* header)
    {
        std::lock_guard lock(mutex_);
        if (header->dwFlags & MHDR_INQUEUE)
            return MIDIERR_STILLPLAYING;
        header->dwFlags &= ~MHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

protected:
    // Runs `op` under the lock on the worker and waits until the worker has
    // delivered every callback it caused. From a callback on the worker itself
    // waiting would deadlock, so there the request is only queued; it is
    // carried out as soon as that callback returns.
    MMRESULT request(Request::Kind kind)
    {
        std::unique_lock lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        const std::uint64_t id = ++lastRequest_;
        requests_.push_back({kind, id});
        wake_.notify_one();
        if (std::this_thread::get_id() == workerId_)
            return MMSYSERR_NOERROR;
        handledCv_.wait(lock, [&] { return handled_ >= id; });
        return MMSYSERR_NOERROR;
    }

    void markHandled(std::uint64_t id)
    {
        if (id > handled_) {
            handled_ = id;
            handledCv_.notify_all();
        }
    }

    bool onWorker() const { return std::this_thread::get_id() == workerId_; }

    // Ends the worker; on the worker itself (close from inside a callback)
    // the thread runs out on its own once that callback returns.
    void joinWorker()
    {
        if (onWorker()) {
            worker_.detach();
            detached_ = true;
        } else if (worker_.joinable()) {
            worker_.join();
        }
    }

    // Starts the worker with its id known before it runs, so that a callback
    // calling back into the layer is recognised as coming from the worker.
    template <class Body>
    void startWorker(Body body)
    {
        std::lock_guard lock(mutex_);
        worker_ = std::thread(std::move(body));
        workerId_ = worker_.get_id();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable handledCv_;
    std::deque<Request> requests_;
    std::uint64_t lastRequest_ = 0;
    std::uint64_t handled_ = 0;
    bool closing_ = false;
    std::thread worker_;
    std::thread::id workerId_;
    // Set by the worker itself when a callback closed its own handle; then
    // nobody joins it and winmm's promise forbids any further callback.
    bool detached_ = false;
};

class InputPort final : public InputSink, public PortBase
{
public:
    InputPort(HMIDIIN handle, MIDIINPROC proc, DWORD_PTR instance)
        : handle_(handle), proc_(proc), instance_(instance)
    {}

    void launch(std::shared_ptr<InputPort> self, std::unique_ptr<InputConnection> connection)
    {
        connection_ = std::move(connection);
        startWorker([self = std::move(self)] { self->run(); });
    }

    void feed(const std::uint8_t* data, std::size_t size) override
    {
        if (!data || size == 0)
            return;
        std::unique_lock lock(mutex_);
        if (!started_ || closing_)
            return; // winmm records nothing before midiInStart
        const bool wasIdle = incoming_.empty();
        incoming_.insert(incoming_.end(), data, data + size);
        chunks_.push_back({incoming_.size(), elapsedMs()});
        lock.unlock();
        if (wasIdle)
            wake_.notify_one();
    }

    MMRESULT addBuffer(MIDIHDR* header)
    {
        std::lock_guard lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        if (!(header->dwFlags & MHDR_PREPARED))
            return MIDIERR_UNPREPARED;
        if (header->dwFlags & MHDR_INQUEUE)
            return MIDIERR_STILLPLAYING;
        if (!header->lpData || header->dwBufferLength == 0)
            return MMSYSERR_INVALPARAM;
        header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        header->dwBytesRecorded = 0;
        buffers_.push_back(header);
        return MMSYSERR_NOERROR;
    }

    MMRESULT start() { return request(Request::Start); }
    MMRESULT stop() { return request(Request::Stop); }
    MMRESULT reset() { return request(Request::Reset); }

    // First half of a close, under the registry's lock: refuses while the
    // caller still has buffers here, as winmm does.
    MMRESULT beginClose()
    {
        std::lock_guard lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        if (!buffers_.empty())
            return MIDIERR_STILLPLAYING;
        closing_ = true;
        return MMSYSERR_NOERROR;
    }

    void finishClose()
    {
        std::unique_lock lock(mutex_);
        auto connection = std::move(connection_);
        lock.unlock();
        // The backend stops feeding before the worker goes, so nothing can
        // arrive for a port that no longer listens.
        connection.reset();
        wake_.notify_one();
        joinWorker();
    }

private:
    struct Chunk
    {
        std::size_t end;
        DWORD time;
    };

    DWORD elapsedMs() const
    {
        return static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_)
                .count());
    }

    void deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2)
    {
        probe(ProbePoint::InputCallback, message);
        if (proc_)
            proc_(handle_, message, instance_, param1, param2);
    }

    void run()
    {
        {
            std::lock_guard started(mutex_);
        }
        deliver(MIM_OPEN, 0, 0);
        std::vector<Event> events;
        std::vector<std::uint8_t> bytes;
        std::vector<Chunk> chunks;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return closing_ || !requests_.empty() || !incoming_.empty(); });
            // Swapping keeps both vectors' capacity: no allocation per message
            // once the port has warmed up.
            bytes.swap(incoming_);
            chunks.swap(chunks_);
            std::size_t begin = 0;
            for (const Chunk& chunk : chunks) {
                parse(bytes.data() + begin, chunk.end - begin, chunk.time, events);
                begin = chunk.end;
            }
            bytes.clear();
            chunks.clear();

            std::uint64_t handled = 0;
            while (!requests_.empty()) {
                const Request request = requests_.front();
                requests_.pop_front();
                perform(request.kind, events);
                handled = request.id;
            }

            lock.unlock();
            for (const Event& event : events)
                deliver(event.message, event.param1, event.param2);
            events.clear();
            lock.lock();
            markHandled(handled);
            if (closing_ && requests_.empty())
                break;
        }
        lock.unlock();
        if (!detached_)
            deliver(MIM_CLOSE, 0, 0);
    }

    void perform(Request::Kind kind, std::vector<Event>& events)
    {
        const DWORD now = started_ ? elapsedMs() : 0;
        switch (kind) {
        case Request::Start:
            if (!started_) {
                started_ = true;
                startTime_ = Clock::now();
            }
            break;
        case Request::Stop:
            // winmm hands back the buffer in progress, but keeps empty ones.
            if (!buffers_.empty() && buffers_.front()->dwBytesRecorded > 0)
                returnBuffer(MIM_LONGDATA, now, events);
            started_ = false;
            clearParser();
            break;
        case Request::Reset:
            while (!buffers_.empty())
                returnBuffer(MIM_LONGDATA, now, events);
            started_ = false;
            clearParser();
            break;
        }
    }

    void clearParser()
    {
        inSysex_ = false;
        dropping_ = false;
        status_ = 0;
        count_ = 0;
        incoming_.clear();
        chunks_.clear();
    }

    void returnBuffer(UINT message, DWORD time, std::vector<Event>& events)
    {
        MIDIHDR* header = buffers_.front();
        buffers_.pop_front();
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        events.push_back({message, reinterpret_cast<DWORD_PTR>(header), time});
    }

    // Copies a run of SysEx bytes into the queued buffers. With no buffer
    // left the rest of this message is dropped: continuing later in a fresh
    // buffer would hand over a tail that looks like a whole message.
    void sysexBytes(const std::uint8_t* data, std::size_t size, DWORD time,
                    std::vector<Event>& events)
    {
        while (size > 0 && !dropping_) {
            if (buffers_.empty()) {
                dropping_ = true;
                return;
            }
            MIDIHDR* header = buffers_.front();
            const std::size_t room = header->dwBufferLength - header->dwBytesRecorded;
            const std::size_t n = std::min(room, size);
            std::memcpy(header->lpData + header->dwBytesRecorded, data, n);
            header->dwBytesRecorded += static_cast<DWORD>(n);
            data += n;
            size -= n;
            if (header->dwBytesRecorded >= header->dwBufferLength)
                returnBuffer(MIM_LONGDATA, time, events);
        }
    }

    void endSysex(UINT message, DWORD time, std::vector<Event>& events)
    {
        if (!dropping_ && !buffers_.empty() && buffers_.front()->dwBytesRecorded > 0)
            returnBuffer(message, time, events);
        inSysex_ = false;
        dropping_ = false;
    }

    void parse(const std::uint8_t* data, std::size_t size, DWORD time, std::vector<Event>& events)
    {
        std::size_t i = 0;
        while (i < size) {
            const std::uint8_t byte = data[i];
            if (inSysex_ && byte < 0x80) {
                std::size_t run = i + 1;
                while (run < size && data[run] < 0x80)
                    ++run;
                sysexBytes(data + i, run - i, time, events);
                i = run;
                continue;
            }
            ++i;
            if (byte >= 0xF8) {
                // Real-time messages may sit anywhere, even inside SysEx.
                events.push_back({MIM_DATA, byte, time});
                continue;
            }
            if (inSysex_) {
                if (byte == 0xF7) {
                    sysexBytes(&byte, 1, time, events);
                    endSysex(MIM_LONGDATA, time, events);
                    continue;
                }
                endSysex(MIM_LONGERROR, time, events);
            }
            if (byte == 0xF0) {
                inSysex_ = true;
                dropping_ = false;
                status_ = 0;
                sysexBytes(&byte, 1, time, events);
                continue;
            }
            if (byte == 0xF7) {
                events.push_back({MIM_ERROR, byte, time});
                status_ = 0;
                continue;
            }
            if (byte >= 0x80) {
                status_ = byte;
                count_ = 0;
                if (dataLength(byte) == 0) {
                    events.push_back({MIM_DATA, byte, time});
                    status_ = 0;
                }
                continue;
            }
            if (status_ == 0) {
                events.push_back({MIM_ERROR, byte, time});
                continue;
            }
            data_[count_++] = byte;
            const int needed = dataLength(status_);
            if (count_ == needed) {
                DWORD_PTR packed = status_ | (DWORD_PTR{data_[0]} << 8);
                if (needed == 2)
                    packed |= DWORD_PTR{data_[1]} << 16;
                events.push_back({MIM_DATA, packed, time});
                count_ = 0;
                if (status_ >= 0xF0)
                    status_ = 0; // system common ends running status
            }
        }
    }

    const HMIDIIN handle_;
    const MIDIINPROC proc_;
    const DWORD_PTR instance_;
    std::unique_ptr<InputConnection> connection_;

    bool started_ = false;
    Clock::time_point startTime_ = Clock::now();
    std::vector<std::uint8_t> incoming_;
    std::vector<Chunk> chunks_;
    std::deque<MIDIHDR*> buffers_;

    // Parser, touched by the worker only (under the lock).
    bool inSysex_ = false;
    bool dropping_ = false;
    std::uint8_t status_ = 0;
    int count_ = 0;
    std::uint8_t data_[2] = {};
};

class OutputPort final : public PortBase
{
public:
    OutputPort(HMIDIOUT handle, MIDIOUTPROC proc, DWORD_PTR instance)
        : handle_(handle), proc_(proc), instance_(instance)
    {}

    void launch(std::shared_ptr<OutputPort> self, std::unique_ptr<OutputConnection> connection)
    {
        connection_ = std::move(connection);
        startWorker([self = std::move(self)] { self->run(); });
    }

    MMRESULT longMsg(MIDIHDR* header)
    {
        std::unique_lock lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        if (!(header->dwFlags & MHDR_PREPARED))
            return MIDIERR_UNPREPARED;
        if (header->dwFlags & MHDR_INQUEUE)
            return MIDIERR_STILLPLAYING;
        if (!header->lpData && header->dwBufferLength > 0)
            return MMSYSERR_INVALPARAM;
        header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        const bool wasIdle = pending_.empty();
        pending_.push_back(header);
        lock.unlock();
        if (wasIdle)
            wake_.notify_one();
        return MMSYSERR_NOERROR;
    }

    // Like request(), but a message that is on its way is cut short too, as
    // winmm's reset aborts a transmission: the reset must not wait for a
    // slow or stuck far end.
    MMRESULT reset()
    {
        std::unique_lock lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        const std::uint64_t id = ++lastRequest_;
        requests_.push_back({Request::Reset, id});
        // Under the lock, so that the worker's resume() cannot overtake it.
        if (connection_)
            connection_->interrupt();
        wake_.notify_one();
        if (onWorker())
            return MMSYSERR_NOERROR;
        handledCv_.wait(lock, [&] { return handled_ >= id; });
        return MMSYSERR_NOERROR;
    }

    MMRESULT beginClose()
    {
        std::lock_guard lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        if (!pending_.empty() || inFlight_)
            return MIDIERR_STILLPLAYING;
        closing_ = true;
        return MMSYSERR_NOERROR;
    }

    void finishClose()
    {
        wake_.notify_one();
        const bool self = onWorker();
        joinWorker();
        // From inside a callback the worker still runs; it drops the
        // connection itself on its way out.
        if (!self)
            connection_.reset();
    }

private:
    void deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2)
    {
        if (proc_)
            proc_(handle_, message, instance_, param1, param2);
    }

    static void complete(MIDIHDR* header)
    {
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }

    void run()
    {
        {
            std::lock_guard started(mutex_);
        }
        deliver(MOM_OPEN, 0, 0);
        std::vector<MIDIHDR*> returned;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return closing_ || !requests_.empty() || !pending_.empty(); });
            if (!requests_.empty()) {
                // Only resets come here: everything not yet sent goes back.
                const std::uint64_t id = requests_.back().id;
                requests_.clear();
                returned.assign(pending_.begin(), pending_.end());
                pending_.clear();
                for (MIDIHDR* header : returned)
                    complete(header);
                if (connection_)
                    connection_->resume();
                lock.unlock();
                for (MIDIHDR* header : returned)
                    deliver(MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
                returned.clear();
                lock.lock();
                markHandled(id);
                continue;
            }
            if (!pending_.empty()) {
                MIDIHDR* header = pending_.front();
                pending_.pop_front();
                inFlight_ = header;
                lock.unlock();
                if (connection_ && header->dwBufferLength > 0)
                    connection_->send(reinterpret_cast<const std::uint8_t*>(header->lpData),
                                      header->dwBufferLength);
                lock.lock();
                complete(header);
                // The caller owns it again: a close may go ahead, and joining
                // this thread makes it wait for the callback below.
                inFlight_ = nullptr;
                lock.unlock();
                deliver(MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
                lock.lock();
                continue;
            }
            break; // closing, nothing left
        }
        lock.unlock();
        if (detached_)
            connection_.reset();
        else
            deliver(MOM_CLOSE, 0, 0);
    }

    const HMIDIOUT handle_;
    const MIDIOUTPROC proc_;
    const DWORD_PTR instance_;
    std::unique_ptr<OutputConnection> connection_;
    std::deque<MIDIHDR*> pending_;
    MIDIHDR* inFlight_ = nullptr;
};

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
    DeviceList systemInputs;
    DeviceList systemOutputs;
    bool inputsListed = false;
    bool outputsListed = false;
};

Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

std::uintptr_t newToken(Registry& r)
{
    std::lock_guard lock(r.mutex);
    const std::uintptr_t token = r.nextToken;
    r.nextToken += 0x10;
    return token;
}

std::shared_ptr<InputPort> findInput(HMIDIIN handle)
{
    if (!handle)
        return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.inputs.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == r.inputs.end() ? nullptr : it->second;
}

std::shared_ptr<OutputPort> findOutput(HMIDIOUT handle)
{
    if (!handle)
        return nullptr;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.outputs.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == r.outputs.end() ? nullptr : it->second;
}

// Loopback devices first, then the system's. The system's list is asked anew
// when a caller starts at device 0 (a port list being filled), so that the
// numbers it then uses to open stay those it was shown.
DeviceList devices(bool input, bool refresh)
{
    DeviceList list;
    if (input)
        loopbackbackend::appendInputs(list);
    else
        loopbackbackend::appendOutputs(list);

    Registry& r = registry();
    std::lock_guard lock(r.devicesMutex);
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

template <class Caps>
void copyCaps(const Caps& caps, void* out, UINT size)
{
    std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof(Caps)));
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

} // namespace
} // namespace orvik::winmm

using namespace orvik::winmm;

MMRESULT midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic)
{
    if (!pmic || cbmic == 0)
        return MMSYSERR_INVALPARAM;
    MIDIINCAPSW caps{};
    if (!deviceName(true, uDeviceID, caps.szPname))
        return MMSYSERR_BADDEVICEID;
    caps.wMid = 0xFFFF; // unregistered manufacturer
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    copyCaps(caps, pmic, cbmic);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc)
{
    if (!pmoc || cbmoc == 0)
        return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSW caps{};
    if (!deviceName(false, uDeviceID, caps.szPname))
        return MMSYSERR_BADDEVICEID;
    caps.wMid = 0xFFFF;
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    caps.wTechnology = 1; // MOD_MIDIPORT
    caps.wChannelMask = 0xFFFF;
    copyCaps(caps, pmoc, cbmoc);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen)
{
    if (!phmi)
        return MMSYSERR_INVALPARAM;
    *phmi = nullptr;
    if (const MMRESULT flags = checkOpenFlags(dwCallback, fdwOpen); flags != MMSYSERR_NOERROR)
        return flags;
    const DeviceList list = devices(true, false);
    if (uDeviceID >= list.size())
        return MMSYSERR_BADDEVICEID;

    Registry& r = registry();
    auto* handle = reinterpret_cast<HMIDIIN>(newToken(r));
    const auto proc = (fdwOpen & CALLBACK_FUNCTION) == CALLBACK_FUNCTION
                          ? reinterpret_cast<MIDIINPROC>(dwCallback)
                          : nullptr;
    auto port = std::make_shared<InputPort>(handle, proc, dwInstance);
    std::unique_ptr<InputConnection> connection;
    if (const MMRESULT opened = list[uDeviceID]->openInput(port, connection);
        opened != MMSYSERR_NOERROR)
        return opened;
    port->launch(port, std::move(connection));
    {
        std::lock_guard lock(r.mutex);
        r.inputs.emplace(reinterpret_cast<std::uintptr_t>(handle), port);
    }
    *phmi = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    auto port = findInput(hmi);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh) || !pmh->lpData)
        return MMSYSERR_INVALPARAM;
    return port->prepare(pmh);
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    auto port = findInput(hmi);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh))
        return MMSYSERR_INVALPARAM;
    return port->unprepare(pmh);
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh)
{
    auto port = findInput(hmi);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh))
        return MMSYSERR_INVALPARAM;
    return port->addBuffer(pmh);
}

MMRESULT midiInStart(HMIDIIN hmi)
{
    auto port = findInput(hmi);
    return port ? port->start() : MMSYSERR_INVALHANDLE;
}

MMRESULT midiInStop(HMIDIIN hmi)
{
    auto port = findInput(hmi);
    return port ? port->stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT midiInReset(HMIDIIN hmi)
{
    auto port = findInput(hmi);
    return port ? port->reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT midiInClose(HMIDIIN hmi)
{
    if (!hmi)
        return MMSYSERR_INVALHANDLE;
    Registry& r = registry();
    std::shared_ptr<InputPort> port;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.inputs.find(reinterpret_cast<std::uintptr_t>(hmi));
        if (it == r.inputs.end())
            return MMSYSERR_INVALHANDLE;
        if (const MMRESULT result = it->second->beginClose(); result != MMSYSERR_NOERROR)
            return result;
        port = std::move(it->second);
        r.inputs.erase(it);
    }
    port->finishClose();
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                     DWORD fdwOpen)
{
    if (!phmo)
        return MMSYSERR_INVALPARAM;
    *phmo = nullptr;
    if (const MMRESULT flags = checkOpenFlags(dwCallback, fdwOpen); flags != MMSYSERR_NOERROR)
        return flags;
    const DeviceList list = devices(false, false);
    if (uDeviceID >= list.size())
        return MMSYSERR_BADDEVICEID;

    Registry& r = registry();
    auto* handle = reinterpret_cast<HMIDIOUT>(newToken(r));
    const auto proc = (fdwOpen & CALLBACK_FUNCTION) == CALLBACK_FUNCTION
                          ? reinterpret_cast<MIDIOUTPROC>(dwCallback)
                          : nullptr;
    std::unique_ptr<OutputConnection> connection;
    if (const MMRESULT opened = list[uDeviceID]->openOutput(connection); opened != MMSYSERR_NOERROR)
        return opened;
    auto port = std::make_shared<OutputPort>(handle, proc, dwInstance);
    port->launch(port, std::move(connection));
    {
        std::lock_guard lock(r.mutex);
        r.outputs.emplace(reinterpret_cast<std::uintptr_t>(handle), port);
    }
    *phmo = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    auto port = findOutput(hmo);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh) || (!pmh->lpData && pmh->dwBufferLength > 0))
        return MMSYSERR_INVALPARAM;
    return port->prepare(pmh);
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    auto port = findOutput(hmo);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh))
        return MMSYSERR_INVALPARAM;
    return port->unprepare(pmh);
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh)
{
    probe(ProbePoint::LongMessage, 0);
    auto port = findOutput(hmo);
    if (!port)
        return MMSYSERR_INVALHANDLE;
    if (!pmh || !validHeaderSize(cbmh))
        return MMSYSERR_INVALPARAM;
    return port->longMsg(pmh);
}

MMRESULT midiOutReset(HMIDIOUT hmo)
{
    // winmm also silences every note here. This layer has no short-message
    // call, so nothing it sent can still sound; a unit being updated gets no
    // stray controller messages.
    auto port = findOutput(hmo);
    return port ? port->reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT midiOutClose(HMIDIOUT hmo)
{
    if (!hmo)
        return MMSYSERR_INVALHANDLE;
    Registry& r = registry();
    std::shared_ptr<OutputPort> port;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.outputs.find(reinterpret_cast<std::uintptr_t>(hmo));
        if (it == r.outputs.end())
            return MMSYSERR_INVALHANDLE;
        if (const MMRESULT result = it->second->beginClose(); result != MMSYSERR_NOERROR)
            return result;
        port = std::move(it->second);
        r.outputs.erase(it);
    }
    port->finishClose();
    return MMSYSERR_NOERROR;
}
