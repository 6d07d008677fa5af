// In-process devices: a Link is both ends of a virtual cable pair.

#include "Loopback.h"
#include "WinmmLayer_p.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvik::loopback {

struct Link::State
{
    State(std::string linkName, Receiver receiver, LinkOptions linkOptions)
        : name(std::move(linkName)), fromTool(std::move(receiver)), options(linkOptions)
    {}

    const std::string name;
    const Receiver fromTool;
    const LinkOptions options;

    // Towards the tool. Held while feeding, so that feeds from several
    // threads reach every open input in one order.
    std::mutex inMutex;
    std::vector<std::shared_ptr<winmm::InputSink>> sinks;

    // From the tool, delivered on the link's thread.
    std::mutex outMutex;
    std::condition_variable outWake;
    // Signalled each time the receiver is done with a message.
    std::condition_variable outDone;
    std::deque<std::vector<std::uint8_t>> outQueue;
    // Spent message buffers kept for reuse: a steady exchange allocates
    // nothing per message.
    std::vector<std::vector<std::uint8_t>> spare;
    std::uint64_t queued = 0;
    std::uint64_t delivered = 0;
    bool alive = true;
    std::thread thread;

    // Under outMutex. Returns the message's ticket, or 0 when the far end is
    // gone and the message leads nowhere. The caller wakes the link's thread
    // once it has let go of the lock.
    std::uint64_t enqueueLocked(const std::uint8_t* data, std::size_t size)
    {
        if (!alive)
            return 0;
        std::vector<std::uint8_t> message;
        if (!spare.empty()) {
            message = std::move(spare.back());
            spare.pop_back();
        }
        message.assign(data, data + size);
        outQueue.push_back(std::move(message));
        return ++queued;
    }

    // Every wake-up here comes after the lock is let go: a thread woken
    // while it is held would only run to block on it again, a switch for
    // nothing on every message that both the tool and the bare clients pay.
    void run()
    {
        std::unique_lock lock(outMutex);
        for (;;) {
            outWake.wait(lock, [&] { return !alive || !outQueue.empty(); });
            if (!alive)
                return;
            std::vector<std::uint8_t> message = std::move(outQueue.front());
            outQueue.pop_front();
            lock.unlock();
            if (fromTool)
                fromTool(message.data(), message.size());
            lock.lock();
            ++delivered;
            constexpr std::size_t kSpareLimit = 16;
            if (spare.size() < kSpareLimit)
                spare.push_back(std::move(message));
            lock.unlock();
            outDone.notify_all();
            lock.lock();
        }
    }
};

namespace {

struct Links
{
    std::mutex mutex;
    std::vector<std::shared_ptr<Link::State>> live;
};

// Never destroyed, like the layer's own registry.
Links& links()
{
    static Links* instance = new Links;
    return *instance;
}

class LoopbackInput final : public winmm::InputConnection
{
public:
    LoopbackInput(std::shared_ptr<Link::State> state, std::shared_ptr<winmm::InputSink> sink)
        : state_(std::move(state)), sink_(std::move(sink))
    {
        std::lock_guard lock(state_->inMutex);
        state_->sinks.push_back(sink_);
    }

    ~LoopbackInput() override
    {
        std::lock_guard lock(state_->inMutex);
        auto& sinks = state_->sinks;
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }

private:
    std::shared_ptr<Link::State> state_;
    std::shared_ptr<winmm::InputSink> sink_;
};

// A send waits until the far end has taken the message, as a driver reports
// a message done only once it has left: the tool's messages then queue in
// the layer, where a reset can hand them back, not inside the link.
class LoopbackOutput final : public winmm::OutputConnection
{
public:
    explicit LoopbackOutput(std::shared_ptr<Link::State> state) : state_(std::move(state)) {}

    void send(const std::uint8_t* data, std::size_t size) override
    {
        Link::State& state = *state_;
        std::unique_lock lock(state.outMutex);
        const std::uint64_t ticket = state.enqueueLocked(data, size);
        if (ticket == 0)
            return;
        lock.unlock();
        state.outWake.notify_one();
        if (state.options.sendsAtOnce)
            return;
        lock.lock();
        state.outDone.wait(
            lock, [&] { return !state.alive || interrupted_ || state.delivered >= ticket; });
    }

    bool sendsAtOnce() const override { return state_->options.sendsAtOnce; }

    void interrupt() override
    {
        std::lock_guard lock(state_->outMutex);
        interrupted_ = true;
        state_->outDone.notify_all();
    }

    void resume() override
    {
        std::lock_guard lock(state_->outMutex);
        interrupted_ = false;
    }

private:
    std::shared_ptr<Link::State> state_;
    bool interrupted_ = false; // guarded by the link's outMutex
};

class LoopbackDevice final : public winmm::Device
{
public:
    explicit LoopbackDevice(std::shared_ptr<Link::State> state) : state_(std::move(state)) {}

    std::string name() const override { return state_->name; }
    std::string address() const override { return state_->options.address; }
    std::string identity() const override
    {
        return state_->options.identity.empty() ? state_->name : state_->options.identity;
    }

    MMRESULT openInput(std::shared_ptr<winmm::InputSink> sink,
                       std::unique_ptr<winmm::InputConnection>& connection) const override
    {
        if (state_->options.inputOpenFails)
            return MMSYSERR_ALLOCATED;
        if (!state_->options.openFailure.empty()) {
            winmm::setOpenFailureText(state_->options.openFailure);
            return MMSYSERR_ERROR;
        }
        connection = std::make_unique<LoopbackInput>(state_, std::move(sink));
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::unique_ptr<winmm::OutputConnection>& connection) const override
    {
        if (state_->options.outputOpenFails)
            return MMSYSERR_ALLOCATED;
        if (!state_->options.openFailure.empty()) {
            winmm::setOpenFailureText(state_->options.openFailure);
            return MMSYSERR_ERROR;
        }
        connection = std::make_unique<LoopbackOutput>(state_);
        return MMSYSERR_NOERROR;
    }

private:
    std::shared_ptr<Link::State> state_;
};

// Both ends of a link are one device in each list, in the order the links
// were made.
class LoopbackBackend final : public winmm::Backend
{
public:
    void appendInputs(winmm::DeviceList& list) const override { appendDevices(list); }
    void appendOutputs(winmm::DeviceList& list) const override { appendDevices(list); }

private:
    static void appendDevices(winmm::DeviceList& list)
    {
        Links& all = links();
        std::lock_guard lock(all.mutex);
        for (const auto& state : all.live)
            list.push_back(std::make_shared<LoopbackDevice>(state));
    }
};

} // namespace

Link::Link(std::string name, Receiver fromTool, LinkOptions options)
    : state_(std::make_shared<State>(std::move(name), std::move(fromTool), options))
{
    // The layer learns of these devices only once a program makes a link,
    // so that nothing of them reaches a program that never does.
    static const LoopbackBackend backend;
    winmm::addBackend(backend);
    // The thread holds its own reference: a receiver that destroys its own
    // link must still find the state there until it returns.
    state_->thread = std::thread([state = state_] { state->run(); });
    Links& all = links();
    std::lock_guard lock(all.mutex);
    all.live.push_back(state_);
}

Link::~Link()
{
    {
        Links& all = links();
        std::lock_guard lock(all.mutex);
        all.live.erase(std::find(all.live.begin(), all.live.end(), state_));
    }
    {
        std::lock_guard lock(state_->inMutex);
        state_->sinks.clear();
    }
    {
        std::lock_guard lock(state_->outMutex);
        state_->alive = false;
        state_->outQueue.clear();
    }
    state_->outWake.notify_one();
    state_->outDone.notify_all();
    // A receiver may destroy its own link; it cannot wait for itself.
    if (state_->thread.get_id() == std::this_thread::get_id())
        state_->thread.detach();
    else
        state_->thread.join();
}

void Link::toTool(const std::uint8_t* data, std::size_t size)
{
    if (!data || size == 0)
        return;
    std::lock_guard lock(state_->inMutex);
    for (const auto& sink : state_->sinks)
        sink->feed(data, size);
}

namespace {

int deviceNumber(const std::shared_ptr<Link::State>& state)
{
    Links& all = links();
    std::lock_guard lock(all.mutex);
    auto it = std::find(all.live.begin(), all.live.end(), state);
    return it == all.live.end() ? -1 : static_cast<int>(it - all.live.begin());
}

} // namespace

int Link::inputDeviceNumber() const
{
    return deviceNumber(state_);
}

int Link::outputDeviceNumber() const
{
    return deviceNumber(state_);
}

} // namespace orvik::loopback
