// An open MIDI input: bytes fed by the backend are parsed on the thread that
// feeds them, which fills the caller's buffers and runs its callbacks there;
// the port's worker carries out start, stop and reset and their callbacks.

#include "WinmmPorts_p.h"

namespace orvik::winmm {

MMRESULT InputPort::open(const Device& device, std::shared_ptr<InputPort> self)
{
    std::unique_ptr<InputConnection> connection;
    if (const MMRESULT opened = device.openInput(self, connection); opened != MMSYSERR_NOERROR)
        return opened;
    connection_ = std::move(connection);
    startWorker([self = std::move(self)] { self->run(); });
    return MMSYSERR_NOERROR;
}

void InputPort::feed(const std::uint8_t* data, std::size_t size)
{
    if (!data || size == 0)
        return;
    ORVIK_WINMM_PROBE_AT(Fed, 0);
    // A feed from inside this port's own callback cannot wait for the
    // callbacks to be free: the worker takes it.
    if (inCallback()) {
        feedOnWorker(data, size);
        return;
    }
    // The reply is parsed and handed over right here, on the thread that
    // brought it: a hop to the worker would cost every message a wake-up.
    std::lock_guard callbacks(deliverMutex_);
    std::unique_lock lock(mutex_);
    if (!started_ || closing_)
        return; // winmm records nothing before midiInStart
    if (!incoming_.empty()) {
        // Bytes the worker has yet to parse come first.
        lock.unlock();
        feedOnWorker(data, size);
        return;
    }
    parser_.parse(data, size, elapsedMs(), fedEvents_);
    lock.unlock();
    deliverAll(fedEvents_);
}

bool InputPort::feedOnWorker(const std::uint8_t* data, std::size_t size)
{
    std::unique_lock lock(mutex_);
    if (!started_ || closing_)
        return false;
    const bool wasIdle = incoming_.empty();
    incoming_.insert(incoming_.end(), data, data + size);
    chunks_.push_back({incoming_.size(), elapsedMs()});
    lock.unlock();
    if (wasIdle)
        wake_.notify_one();
    return true;
}

MMRESULT InputPort::addBuffer(MIDIHDR* header)
{
    std::lock_guard lock(mutex_);
    if (closing_)
        return MMSYSERR_INVALHANDLE;
    return parser_.addBuffer(header);
}

MMRESULT InputPort::beginClose()
{
    std::lock_guard lock(mutex_);
    if (closing_)
        return MMSYSERR_INVALHANDLE;
    if (parser_.hasBuffers())
        return MIDIERR_STILLPLAYING;
    closing_ = true;
    return MMSYSERR_NOERROR;
}

void InputPort::finishClose()
{
    if (inCallback()) {
        // Closed from inside one of its callbacks, which hold the port: the
        // backend cannot be shut down from here, as a feed may be waiting
        // for that callback, or this may be the backend's own thread. The
        // worker drops the connection on its way out; no callback comes any
        // more, not even MIM_CLOSE.
        closedInCallback_.store(true, std::memory_order_relaxed);
        std::unique_lock lock(mutex_);
        detached_ = true;
        if (worker_.joinable())
            worker_.detach();
        lock.unlock();
        wake_.notify_one();
        return;
    }
    std::unique_lock lock(mutex_);
    auto connection = std::move(connection_);
    lock.unlock();
    // The backend stops feeding before the worker goes, so nothing can
    // arrive for a port that no longer listens, and no feed is still
    // running a callback once this has returned.
    connection.reset();
    wake_.notify_one();
    joinWorker();
}

DWORD InputPort::elapsedMs() const
{
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_).count());
}

void InputPort::deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    ORVIK_WINMM_PROBE_AT(InputCallback, message);
    if (proc_)
        call(proc_, handle_, instance_, message, param1, param2);
}

void InputPort::deliverAll(MidiInParser::Events& events)
{
    for (const InputEvent& event : events) {
        // A callback that closed the handle was the last one.
        if (closedInCallback_.load(std::memory_order_relaxed))
            break;
        deliver(event.message, event.param1, event.param2);
    }
    events.clear();
}

void InputPort::run()
{
    waitUntilStarted();
    {
        std::lock_guard callbacks(deliverMutex_);
        deliver(MIM_OPEN, 0, 0);
    }
    MidiInParser::Events events;
    std::vector<std::uint8_t> bytes;
    std::vector<Chunk> chunks;
    std::unique_lock lock(mutex_, std::defer_lock);
    for (;;) {
        lock.lock();
        wake_.wait(lock, [&] { return closing_ || !requests_.empty() || !incoming_.empty(); });
        lock.unlock();
        // The callbacks' lock comes first, as in feed().
        std::unique_lock callbacks(deliverMutex_);
        lock.lock();
        // Swapping keeps both vectors' capacity: no allocation per message
        // once the port has warmed up.
        bytes.swap(incoming_);
        chunks.swap(chunks_);
        std::size_t begin = 0;
        for (const Chunk& chunk : chunks) {
            parser_.parse(bytes.data() + begin, chunk.end - begin, chunk.time, events);
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
        deliverAll(events);
        callbacks.unlock();
        lock.lock();
        markHandled(handled);
        if (closing_ && requests_.empty())
            break;
        lock.unlock();
    }
    const bool detached = detached_;
    std::unique_ptr<InputConnection> connection = std::move(connection_);
    lock.unlock();
    if (detached) {
        // Closed from inside a callback: the connection goes here, once no
        // callback holds the port any more.
        connection.reset();
        return;
    }
    std::lock_guard callbacks(deliverMutex_);
    deliver(MIM_CLOSE, 0, 0);
}

void InputPort::perform(Request::Kind kind, MidiInParser::Events& events)
{
    const DWORD now = started_ ? elapsedMs() : 0;
    switch (kind) {
    case Request::Start:
        if (!started_) {
            started_ = true;
            startTime_ = Clock::now();
        }
        return;
    case Request::Stop:
        parser_.stop(now, events);
        break;
    case Request::Reset:
        parser_.reset(now, events);
        break;
    }
    // Bytes fed but not yet parsed belong to the message that was cut off.
    started_ = false;
    incoming_.clear();
    chunks_.clear();
}

} // namespace orvik::winmm
