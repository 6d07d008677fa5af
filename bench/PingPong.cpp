#include "Runs.h"

#include "MidiPortPair.h"
#include "Probe.h"
#include "Protocol.h"
#include "winmm.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace orvik::bench {

namespace {

constexpr std::size_t kReplyCommandOffset = 9;

// The replies a clean update gets: a restart request for BeginUpdate, then
// acknowledgements. Anything else means the unit found fault with what the
// client sent, and the figures would not describe an update.
bool expectedReply(const std::uint8_t* data, std::size_t size, bool first)
{
    if (size <= kReplyCommandOffset)
        return false;
    const std::uint8_t command = data[kReplyCommandOffset];
    return first ? command == kReplyRestart
                 : command == kReplyAckSlice || command == kReplyAckCommit;
}

// What both clients share: the sequence, the counters and the end.
class PingPong
{
public:
    PingPong(const std::vector<Bytes>& messages, int roundTrips)
        : messages_(messages), roundTrips_(roundTrips)
    {}

protected:
    // On the MIDI thread: which message goes next, or -1 when this reply
    // ends the run.
    int onReply(const std::uint8_t* data, std::size_t size)
    {
        const int n = replies_.load(std::memory_order_relaxed) + 1;
        replies_.store(n, std::memory_order_relaxed);
        if (!expectedReply(data, size, n == 1))
            unexpected_.fetch_add(1, std::memory_order_relaxed);
        if (n < roundTrips_)
            return n;
        endWall_ = wallSeconds();
        endCpu_ = processCpuSeconds();
        std::lock_guard lock(mutex_);
        finished_ = true;
        done_.notify_all();
        return -1;
    }

    bool finished() const { return finished_.load(std::memory_order_relaxed); }

    void finish()
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }

    // Waits for the end; calls `stalled` whenever `stallMs` pass without a
    // reply. False when the deadline passes first.
    bool wait(int timeoutMs, int stallMs, const std::function<void()>& stalled)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock lock(mutex_);
        int seen = replies_.load();
        while (!finished_) {
            const auto until = std::min(deadline, std::chrono::steady_clock::now() +
                                                      std::chrono::milliseconds(stallMs));
            done_.wait_until(lock, until, [&] { return finished_.load(); });
            if (finished_)
                break;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            const int now = replies_.load();
            if (now == seen && stalled) {
                lock.unlock();
                stalled();
                lock.lock();
            }
            seen = now;
        }
        return true;
    }

    void fill(RunFigures& r, double startWall, double startCpu) const
    {
        r.roundTrips = roundTrips_;
        r.replies = std::uint64_t(replies_.load());
        r.wall = endWall_ - startWall;
        r.cpu = endCpu_ - startCpu;
        if (unexpected_.load() > 0)
            r.error = QStringLiteral("%1 replies were not the acknowledgements of a clean update")
                          .arg(unexpected_.load());
    }

    const std::vector<Bytes>& messages_;
    const int roundTrips_;
    std::atomic<std::uint64_t> sent_{0};

private:
    std::atomic<int> replies_{0};
    std::atomic<int> unexpected_{0};
    std::atomic<bool> finished_{false};
    double endWall_ = 0;
    double endCpu_ = 0;
    std::mutex mutex_;
    std::condition_variable done_;
};

class WinmmClient : public PingPong
{
public:
    using PingPong::PingPong;

    RunFigures run(int inputDevice, int outputDevice, int timeoutMs)
    {
        RunFigures r;
        if (midiInOpen(&in_, UINT(inputDevice), reinterpret_cast<DWORD_PTR>(&WinmmClient::input),
                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR ||
            midiOutOpen(&out_, UINT(outputDevice), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            close();
            r.error = QStringLiteral("cannot open the unit's ports");
            return r;
        }
        outHeaders_.resize(std::size_t(roundTrips_));
        for (int i = 0; i < roundTrips_; ++i) {
            MIDIHDR& h = outHeaders_[std::size_t(i)];
            h = MIDIHDR{};
            h.lpData = reinterpret_cast<LPSTR>(
                const_cast<std::uint8_t*>(messages_[std::size_t(i)].data()));
            h.dwBufferLength = DWORD(messages_[std::size_t(i)].size());
            midiOutPrepareHeader(out_, &h, sizeof(MIDIHDR));
        }
        for (int i = 0; i < kInputBufferCount; ++i) {
            MIDIHDR& h = inHeaders_[i];
            h = MIDIHDR{};
            h.lpData = inData_[i];
            h.dwBufferLength = kInputBufferSize;
            midiInPrepareHeader(in_, &h, sizeof(MIDIHDR));
            midiInAddBuffer(in_, &h, sizeof(MIDIHDR));
        }
        midiInStart(in_);

        Probe::instance().start(std::size_t(roundTrips_) * 2 + 64);
        const double startWall = wallSeconds();
        const double startCpu = processCpuSeconds();
        send(0);
        const bool ended = wait(timeoutMs, timeoutMs, {});
        Probe::instance().stop();
        finish();
        close();
        fill(r, startWall, startCpu);
        r.sent = sent_.load();
        r.marks = Probe::instance().marks();
        if (!ended)
            r.error =
                QStringLiteral("timed out after %1 of %2 replies").arg(r.replies).arg(roundTrips_);
        r.ok = r.error.isEmpty();
        return r;
    }

private:
    static void CALLBACK input(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR)
    {
        if (message == MIM_LONGDATA)
            reinterpret_cast<WinmmClient*>(instance)->reply(reinterpret_cast<MIDIHDR*>(param1));
    }

    void reply(MIDIHDR* header)
    {
        if (finished())
            return; // a buffer that the closing reset hands back
        const int next =
            onReply(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBytesRecorded);
        midiInAddBuffer(in_, header, sizeof(MIDIHDR));
        if (next > 0)
            send(next);
    }

    void send(int n)
    {
        midiOutLongMsg(out_, &outHeaders_[std::size_t(n)], sizeof(MIDIHDR));
        sent_.fetch_add(1, std::memory_order_relaxed);
    }

    void close()
    {
        if (in_) {
            midiInStop(in_);
            midiInReset(in_);
            for (MIDIHDR& h : inHeaders_)
                midiInUnprepareHeader(in_, &h, sizeof(MIDIHDR));
            midiInClose(in_);
            in_ = nullptr;
        }
        if (out_) {
            midiOutReset(out_);
            for (MIDIHDR& h : outHeaders_)
                midiOutUnprepareHeader(out_, &h, sizeof(MIDIHDR));
            midiOutClose(out_);
            out_ = nullptr;
        }
    }

    HMIDIIN in_ = nullptr;
    HMIDIOUT out_ = nullptr;
    std::vector<MIDIHDR> outHeaders_;
    MIDIHDR inHeaders_[kInputBufferCount] = {};
    char inData_[kInputBufferCount][kInputBufferSize] = {};
};

void ignoreRtMidiError(RtMidiError::Type, const std::string&, void*) {}

bool findPort(RtMidi& midi, const std::string& name, unsigned& index)
{
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (midi.getPortName(i) == name) {
            index = i;
            return true;
        }
    }
    return false;
}

class RtMidiClient : public PingPong
{
public:
    using PingPong::PingPong;

    ~RtMidiClient()
    {
        try {
            if (in_) {
                in_->cancelCallback();
                in_->closePort();
            }
            if (out_)
                out_->closePort();
        } catch (const RtMidiError&) {
        }
    }

    RunFigures run(const std::string& unitOutput, const std::string& unitInput, int stallMs,
                   int timeoutMs)
    {
        RunFigures r;
        // RtMidi reports a missing server or port by throwing; nothing else
        // in this program throws.
        try {
            in_ = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, "orvik16-bench bare in");
            in_->setErrorCallback(&ignoreRtMidiError, nullptr);
            out_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "orvik16-bench bare out");
            out_->setErrorCallback(&ignoreRtMidiError, nullptr);
            unsigned inIndex = 0;
            unsigned outIndex = 0;
            if (!findPort(*in_, unitOutput, inIndex) || !findPort(*out_, unitInput, outIndex)) {
                r.error = QStringLiteral("the unit's JACK ports are not listed");
                return r;
            }
            in_->ignoreTypes(false, true, true);
            in_->setCallback(&RtMidiClient::input, this);
            in_->openPort(inIndex, "in");
            out_->openPort(outIndex, "out");
            if (!in_->isPortOpen() || !out_->isPortOpen()) {
                r.error = QStringLiteral("cannot connect to the unit's JACK ports");
                return r;
            }
        } catch (const RtMidiError& e) {
            r.error = QString::fromStdString(e.getMessage());
            return r;
        }

        const double startWall = wallSeconds();
        const double startCpu = processCpuSeconds();
        send(0);
        const bool ended = wait(timeoutMs, stallMs, [this] {
            std::lock_guard lock(sendMutex_);
            out_->sendMessage(messages_[std::size_t(current_)].data(),
                              messages_[std::size_t(current_)].size());
            ++resent_;
        });
        finish();
        in_->cancelCallback();
        fill(r, startWall, startCpu);
        r.sent = sent_.load();
        r.resent = resent_;
        if (!ended)
            r.error =
                QStringLiteral("timed out after %1 of %2 replies").arg(r.replies).arg(roundTrips_);
        r.ok = r.error.isEmpty();
        return r;
    }

private:
    // On JACK's process thread: the next message leaves from right here.
    static void input(double, std::vector<unsigned char>* message, void* self)
    {
        auto* client = static_cast<RtMidiClient*>(self);
        if (!message || client->finished())
            return;
        const int next = client->onReply(message->data(), message->size());
        if (next > 0)
            client->send(next);
    }

    void send(int n)
    {
        // A re-send after a silence may come from the waiting thread at the
        // same time; RtMidi's output takes one writer at a time.
        std::lock_guard lock(sendMutex_);
        current_ = n;
        out_->sendMessage(messages_[std::size_t(n)].data(), messages_[std::size_t(n)].size());
        sent_.fetch_add(1, std::memory_order_relaxed);
    }

    std::unique_ptr<RtMidiIn> in_;
    std::unique_ptr<RtMidiOut> out_;
    std::mutex sendMutex_;
    int current_ = 0;
    std::uint64_t resent_ = 0;
};

} // namespace

RunFigures winmmPingPong(int inputDevice, int outputDevice, const std::vector<Bytes>& messages,
                         int messagesTimed, int timeoutMs)
{
    WinmmClient client(messages, messagesTimed + 1);
    return client.run(inputDevice, outputDevice, timeoutMs);
}

RunFigures rtmidiPingPong(const std::string& unitOutput, const std::string& unitInput,
                          const std::vector<Bytes>& messages, int messagesTimed, int stallMs,
                          int timeoutMs)
{
    RtMidiClient client(messages, messagesTimed + 1);
    return client.run(unitOutput, unitInput, stallMs, timeoutMs);
}

} // namespace orvik::bench
