// Runs a DeviceSimulator on a thread of its own, between any transport's
// receiving thread and its sending call.
//
// Transports deliver on threads that must not be held up (JACK's process
// callback is real-time) and late answers need a clock, so messages are
// queued here and one worker both feeds the simulator and sends its replies,
// each at its due time and strictly in the order the simulator gave them.
// Where the transport allows it, a message with nothing queued ahead of it is
// answered on the thread that brought it instead (setAnswerInline).
//
// The clock is the steady one unless a manual clock is given: then time
// stands still until advanceClock(), and a reply due later waits for it.
#pragma once

#include "DeviceSimulator.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orvik::devsim {

class SimulatorHost
{
public:
    using Send = std::function<void(const std::vector<std::uint8_t>&)>;

    // `events` runs on the worker thread with the simulator locked: it must
    // not call back into this object.
    SimulatorHost(DeviceSettings settings, std::vector<std::uint8_t> expectedImage,
                  DeviceSimulator::EventSink events = {}, std::shared_ptr<ManualClock> clock = {});
    ~SimulatorHost();

    SimulatorHost(const SimulatorHost&) = delete;
    SimulatorHost& operator=(const SimulatorHost&) = delete;

    // Starts the worker; `send` is called on it for every outgoing message.
    void start(Send send);
    // From any thread: one whole received message. Dropped once stopping.
    void post(const std::uint8_t* data, std::size_t size);
    // Before start(): let post() answer on its caller's thread when nothing
    // is queued, so that a reply due at once leaves within the MIDI system's
    // cycle that brought the message, as a unit's does; a hop to the worker
    // would hold every answer back a cycle. Only for a `send` that never
    // waits and never calls back into this object. The last block still goes
    // through the worker, where checking the image cannot hold the caller.
    void setAnswerInline(bool answerInline) { answerInline_ = answerInline; }
    // Ends the worker. With `drain`, what is already queued is still handled
    // and every reply sent, late ones at their time; without, it is dropped.
    void stop(bool drain = false);

    Stats stats() const;
    void configure(const std::function<void(DeviceSettings&)>& change);
    UpdateReport report() const;

    // Waits until `done` holds for the simulator (checked after each message
    // and on wake()) or the timeout passes; true when it holds.
    bool waitUntil(const std::function<bool(const DeviceSimulator&)>& done,
                   std::chrono::milliseconds timeout);
    bool waitForCompletedUpdates(int count, std::chrono::milliseconds timeout);
    // Makes waiters look at their condition again, e.g. after a signal.
    void wake();

    // Only with a manual clock: moves it on and returns how many replies
    // fell due, which the worker sends right away.
    int advanceClock(std::chrono::milliseconds by);

private:
    struct Outgoing
    {
        std::vector<std::uint8_t> bytes;
        DeviceTime due;
    };

    DeviceTime now() const { return clock_ ? clock_->now() : steadyNow(); }

    void run();
    void queueReply(Reply reply);

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> inbox_;
    std::deque<Outgoing> outbox_;
    DeviceTime lastDue_{};
    bool stopping_ = false;
    bool draining_ = false;
    bool answerInline_ = false;
    bool workerSending_ = false;
    std::shared_ptr<ManualClock> clock_;
    DeviceSimulator simulator_;
    Send send_;
    std::thread worker_;
};

} // namespace orvik::devsim
