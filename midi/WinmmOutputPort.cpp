// An open MIDI output: the caller's messages queue here and the port's
// worker sends them one at a time, then hands each back with MOM_DONE. Where
// the backend's send never waits and nothing is queued, the caller's thread
// sends the message itself and only its MOM_DONE is left to the worker: a
// message must not wait for a thread to wake before it leaves.

#include "WinmmPorts_p.h"

namespace orvik::winmm {

namespace {

void complete(MIDIHDR* header)
{
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

} // namespace

MMRESULT OutputPort::open(const Device& device, std::shared_ptr<OutputPort> self)
{
    std::unique_ptr<OutputConnection> connection;
    if (const MMRESULT opened = device.openOutput(connection); opened != MMSYSERR_NOERROR)
        return opened;
    connection_ = std::move(connection);
    sendsAtOnce_ = connection_->sendsAtOnce();
    startWorker([self = std::move(self)] { self->run(); });
    return MMSYSERR_NOERROR;
}

MMRESULT OutputPort::longMsg(MIDIHDR* header)
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
    if (sendsAtOnce_ && pending_.empty() && !inFlight_ && requests_.empty()) {
        inFlight_ = header;
        lock.unlock();
        ORVIK_WINMM_PROBE_AT(BackendSend, 0);
        if (header->dwBufferLength > 0)
            connection_->send(reinterpret_cast<const std::uint8_t*>(header->lpData),
                              header->dwBufferLength);
        lock.lock();
        inFlight_ = nullptr;
        sent_.push_back(header);
        lock.unlock();
        wake_.notify_one();
        return MMSYSERR_NOERROR;
    }
    const bool wasIdle = pending_.empty();
    pending_.push_back(header);
    lock.unlock();
    if (wasIdle)
        wake_.notify_one();
    return MMSYSERR_NOERROR;
}

// A message that is on its way is cut short too, as winmm's reset aborts a
// transmission: the reset must not wait for a slow or stuck far end.
MMRESULT OutputPort::reset()
{
    // Under the lock, so that the worker's resume() cannot overtake it.
    return request(Request::Reset, [this] {
        if (connection_)
            connection_->interrupt();
    });
}

MMRESULT OutputPort::beginClose()
{
    std::lock_guard lock(mutex_);
    if (closing_)
        return MMSYSERR_INVALHANDLE;
    if (!pending_.empty() || !sent_.empty() || inFlight_)
        return MIDIERR_STILLPLAYING;
    closing_ = true;
    return MMSYSERR_NOERROR;
}

void OutputPort::finishClose()
{
    wake_.notify_one();
    const bool self = onWorker();
    joinWorker();
    // From inside a callback the worker still runs; it drops the connection
    // itself on its way out.
    if (!self)
        connection_.reset();
}

void OutputPort::deliver(UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    if (proc_)
        proc_(handle_, message, instance_, param1, param2);
}

void OutputPort::run()
{
    waitUntilStarted();
    deliver(MOM_OPEN, 0, 0);
    std::vector<MIDIHDR*> returned;
    std::unique_lock lock(mutex_);
    for (;;) {
        // A message the caller is sending holds back the next one: never
        // two sends at once.
        wake_.wait(lock, [&] {
            return closing_ || !requests_.empty() || !sent_.empty() ||
                   (!pending_.empty() && !inFlight_);
        });
        if (!requests_.empty()) {
            // Only resets come here: what the caller is sending finishes,
            // and everything goes back, sent or not, before the reset
            // returns.
            wake_.wait(lock, [&] { return !inFlight_; });
            const std::uint64_t id = requests_.back().id;
            requests_.clear();
            returned.assign(sent_.begin(), sent_.end());
            sent_.clear();
            returned.insert(returned.end(), pending_.begin(), pending_.end());
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
        if (!sent_.empty()) {
            returned.assign(sent_.begin(), sent_.end());
            sent_.clear();
            for (MIDIHDR* header : returned)
                complete(header);
            lock.unlock();
            for (MIDIHDR* header : returned)
                deliver(MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
            returned.clear();
            lock.lock();
            continue;
        }
        if (!pending_.empty() && !inFlight_) {
            MIDIHDR* header = pending_.front();
            pending_.pop_front();
            inFlight_ = header;
            lock.unlock();
            ORVIK_WINMM_PROBE_AT(BackendSend, 0);
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

} // namespace orvik::winmm
