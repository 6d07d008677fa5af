#include "SimulatorHost.h"

#include <algorithm>

namespace orvik::devsim {

SimulatorHost::SimulatorHost(DeviceSettings settings, std::vector<std::uint8_t> expectedImage,
                             DeviceSimulator::EventSink events, std::shared_ptr<ManualClock> clock)
    : clock_(std::move(clock)), simulator_(std::move(settings), std::move(expectedImage),
                                           [this](Reply reply) { queueReply(std::move(reply)); })
{
    simulator_.setEventSink(std::move(events));
    if (clock_)
        simulator_.setClock([clock = clock_] { return clock->now(); });
}

SimulatorHost::~SimulatorHost()
{
    stop();
}

void SimulatorHost::start(Send send)
{
    std::lock_guard lock(mutex_);
    if (worker_.joinable() || stopping_)
        return;
    send_ = std::move(send);
    worker_ = std::thread([this] { run(); });
}

void SimulatorHost::post(const std::uint8_t* data, std::size_t size)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    // The message that ends an update goes to the worker: checking the image
    // inside JACK's process callback overran the cycle, the server dropped
    // that cycle's events, and the unit's last answer went with them. A real
    // unit is busy writing its flash then, so the answer may take a cycle.
    if (answerInline_ && !clock_ && send_ && inbox_.empty() && outbox_.empty() && !workerSending_ &&
        !simulator_.mayEndWithNext()) {
        // Nothing is ahead of this message, so its answer may go out before
        // this returns; the worker sends only what has to wait.
        simulator_.receive(data, size);
        changed_.notify_all();
        while (!outbox_.empty() && outbox_.front().due <= now()) {
            const auto bytes = std::move(outbox_.front().bytes);
            outbox_.pop_front();
            send_(bytes);
        }
        if (!outbox_.empty())
            work_.notify_one();
        return;
    }
    inbox_.emplace_back(data, data + size);
    work_.notify_one();
}

void SimulatorHost::stop(bool drain)
{
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            draining_ = drain;
        }
        work_.notify_one();
    }
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
}

Stats SimulatorHost::stats() const
{
    std::lock_guard lock(mutex_);
    return simulator_.stats();
}

void SimulatorHost::configure(const std::function<void(DeviceSettings&)>& change)
{
    std::lock_guard lock(mutex_);
    simulator_.configure(change);
}

UpdateReport SimulatorHost::report() const
{
    std::lock_guard lock(mutex_);
    return simulator_.report();
}

bool SimulatorHost::waitUntil(const std::function<bool(const DeviceSimulator&)>& done,
                              std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(simulator_); });
}

bool SimulatorHost::waitForCompletedUpdates(int count, std::chrono::milliseconds timeout)
{
    return waitUntil(
        [count](const DeviceSimulator& s) { return s.stats().updatesCompleted >= count; }, timeout);
}

void SimulatorHost::wake()
{
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

int SimulatorHost::advanceClock(std::chrono::milliseconds by)
{
    std::lock_guard lock(mutex_);
    if (!clock_)
        return 0;
    clock_->advance(by);
    const auto t = clock_->now();
    int due = 0;
    for (const auto& m : outbox_)
        due += m.due <= t;
    work_.notify_one();
    return due;
}

void SimulatorHost::queueReply(Reply reply)
{
    // Runs inside simulator_.receive(), so the lock is already held.
    const auto due = std::max(now() + reply.delay, lastDue_);
    lastDue_ = due;
    outbox_.push_back({std::move(reply.bytes), due});
}

void SimulatorHost::run()
{
    std::unique_lock lock(mutex_);
    while (true) {
        if (stopping_ && !draining_)
            break;
        if (!outbox_.empty() && outbox_.front().due <= now()) {
            auto bytes = std::move(outbox_.front().bytes);
            outbox_.pop_front();
            workerSending_ = true;
            lock.unlock();
            send_(bytes);
            lock.lock();
            workerSending_ = false;
            continue;
        }
        if (!inbox_.empty()) {
            auto message = std::move(inbox_.front());
            inbox_.pop_front();
            simulator_.receive(message.data(), message.size());
            changed_.notify_all();
            continue;
        }
        // A manual clock will not move any more: what is not due stays.
        if (stopping_ && (outbox_.empty() || clock_))
            break;
        if (outbox_.empty() || clock_)
            work_.wait(lock);
        else
            work_.wait_until(lock, outbox_.front().due);
    }
    changed_.notify_all();
}

} // namespace orvik::devsim
