// The open handles of the winmm layer: one input or output port each, with
// the worker thread that carries out its requests.
//
// Every open handle owns one worker thread. An output's callbacks all run
// there; an input's run there or, for what the MIDI system brings in, on the
// thread that brings it, so that a reply reaches the caller without waking
// another thread. Either way a handle's callbacks never overlap, keep their
// order, and never run inside one of the caller's calls to the layer:
// callers (the GUI thread) may hold their own locks around these calls, and
// winmm promises the same. A call that must hand buffers back before it
// returns (reset, stop) asks the worker and waits for it; close stops the
// backend's feeding and joins the worker, so nothing for a handle runs once
// its close has returned.
#pragma once

#include "MidiInParser.h"
#include "WinmmLayer_p.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvik::winmm {

#ifdef ORVIK_WINMM_PROBE
// The benchmark's probe (setProbeHook). Inline, as it sits on every message's
// path.
inline std::atomic<ProbeHook> probeHook{nullptr};

inline void probe(ProbePoint point, UINT message)
{
    if (const ProbeHook hook = probeHook.load(std::memory_order_relaxed)) [[unlikely]]
        hook(point, message);
}
#define ORVIK_WINMM_PROBE_AT(point, message) probe(ProbePoint::point, message)
#else
#define ORVIK_WINMM_PROBE_AT(point, message) ((void)0)
#endif

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
    // Queues a request for the worker and waits until the worker has
    // delivered every callback it caused. From a callback on the worker itself
    // waiting would deadlock, so there the request is only queued; it is
    // carried out as soon as that callback returns. `queued` runs under the
    // lock once the request is in the queue.
    template <class Queued>
    MMRESULT request(Request::Kind kind, Queued queued)
    {
        std::unique_lock lock(mutex_);
        if (closing_)
            return MMSYSERR_INVALHANDLE;
        const std::uint64_t id = ++lastRequest_;
        requests_.push_back({kind, id});
        queued();
        wake_.notify_one();
        if (onWorker() || inCallback())
            return MMSYSERR_NOERROR;
        handledCv_.wait(lock, [&] { return handled_ >= id; });
        return MMSYSERR_NOERROR;
    }

    MMRESULT request(Request::Kind kind)
    {
        return request(kind, [] {});
    }

    void markHandled(std::uint64_t id)
    {
        if (id > handled_) {
            handled_ = id;
            handledCv_.notify_all();
        }
    }

    bool onWorker() const { return std::this_thread::get_id() == workerId_; }
    // Inside one of this port's callbacks, on whichever thread runs it.
    bool inCallback() const { return delivering_ == this; }

    // Runs one callback, known as this port's while it runs.
    template <class Proc, class Handle>
    void call(Proc proc, Handle handle, DWORD_PTR instance, UINT message, DWORD_PTR param1,
              DWORD_PTR param2)
    {
        const PortBase* outer = std::exchange(delivering_, this);
        proc(handle, message, instance, param1, param2);
        delivering_ = outer;
    }

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

    // The first thing a worker does: it may only run once startWorker has
    // recorded its id.
    void waitUntilStarted() { std::lock_guard started(mutex_); }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable handledCv_;
    std::deque<Request> requests_;
    std::uint64_t lastRequest_ = 0;
    std::uint64_t handled_ = 0;
    bool closing_ = false;
    std::thread worker_;
    std::thread::id workerId_;
    // Set when a callback closed its own handle; then nobody joins the
    // worker and winmm's promise forbids any further callback.
    bool detached_ = false;

private:
    static inline thread_local const PortBase* delivering_ = nullptr;
};

class InputPort final : public InputSink, public PortBase
{
public:
    using Handle = HMIDIIN;
    using Proc = MIDIINPROC;

    InputPort(HMIDIIN handle, MIDIINPROC proc, DWORD_PTR instance)
        : handle_(handle), proc_(proc), instance_(instance)
    {}

    // Connects to the device and starts the worker; `self` is this port.
    MMRESULT open(const Device& device, std::shared_ptr<InputPort> self);

    void feed(const std::uint8_t* data, std::size_t size) override;
    MMRESULT addBuffer(MIDIHDR* header);
    MMRESULT start() { return request(Request::Start); }
    MMRESULT stop() { return request(Request::Stop); }
    MMRESULT reset() { return request(Request::Reset); }

    // First half of a close, under the registry's lock: refuses while the
    // caller still has buffers here, as winmm does.
    MMRESULT beginClose();
    void finishClose();

private:
    using Clock = std::chrono::steady_clock;

    struct Chunk
    {
        std::size_t end;
        DWORD time;
    };

    DWORD elapsedMs() const;
    void deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2);
    void deliverAll(MidiInParser::Events& events);
    bool feedOnWorker(const std::uint8_t* data, std::size_t size);
    void run();
    void perform(Request::Kind kind, MidiInParser::Events& events);

    const HMIDIIN handle_;
    const MIDIINPROC proc_;
    const DWORD_PTR instance_;
    std::unique_ptr<InputConnection> connection_;

    bool started_ = false;
    Clock::time_point startTime_ = Clock::now();
    std::vector<std::uint8_t> incoming_;
    std::vector<Chunk> chunks_;
    // Touched under the lock.
    MidiInParser parser_;
    // Held while callbacks run, on the worker or on the thread that feeds,
    // so that they never overlap and keep their order. Taken before mutex_,
    // never while holding it.
    std::mutex deliverMutex_;
    // The callbacks of one feed, under deliverMutex_.
    MidiInParser::Events fedEvents_;
    // Set (under deliverMutex_) by a callback that closed the handle.
    std::atomic<bool> closedInCallback_{false};
};

class OutputPort final : public PortBase
{
public:
    using Handle = HMIDIOUT;
    using Proc = MIDIOUTPROC;

    OutputPort(HMIDIOUT handle, MIDIOUTPROC proc, DWORD_PTR instance)
        : handle_(handle), proc_(proc), instance_(instance)
    {}

    // Connects to the device and starts the worker; `self` is this port.
    MMRESULT open(const Device& device, std::shared_ptr<OutputPort> self);

    MMRESULT longMsg(MIDIHDR* header);
    MMRESULT reset();

    MMRESULT beginClose();
    void finishClose();

private:
    void deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2);
    void run();

    const HMIDIOUT handle_;
    const MIDIOUTPROC proc_;
    const DWORD_PTR instance_;
    std::unique_ptr<OutputConnection> connection_;
    bool sendsAtOnce_ = false;
    std::deque<MIDIHDR*> pending_;
    // Sent on the caller's thread; the worker completes them with MOM_DONE.
    std::deque<MIDIHDR*> sent_;
    MIDIHDR* inFlight_ = nullptr;
};

} // namespace orvik::winmm
