#include "Runs.h"

#include "MidiPortPair.h"
#include "Probe.h"
#include "Protocol.h"
#include "winmm.h"

#include <rtmidi/RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace orvik::bench {

namespace {

constexpr std::size_t kReplyCommandOffset = 9;
constexpr int kMessagesPerBlock = kSliceCount + 1;

// What both clients share: the walk through the messages, driven by the
// unit's replies, and the end of the run. Transitions are serialised by one
// lock, because a re-send after a silence comes from the waiting thread.
class PingPong
{
public:
    PingPong(const std::vector<Bytes>& messages, int roundTrips)
        : messages_(messages), roundTrips_(roundTrips)
    {}
    virtual ~PingPong() = default;

protected:
    // Hands messages_[index] to the MIDI output; called under the lock.
    virtual void transmit(int index) = 0;
    // Closes the client's ports; afterwards no callback marks any more.
    virtual void close() = 0;

    // The timed part of a run with the ports open: the walk to its end or
    // the deadline, then the figures.
    RunFigures measure(std::size_t marksPerRoundTrip, Recovery recovery, int timeoutMs)
    {
        RunFigures r;
        Probe::instance().start(std::size_t(roundTrips_) * marksPerRoundTrip + 64);
        begin(recovery);
        const bool ended = wait(timeoutMs);
        Probe::instance().stop();
        finish();
        close();
        fill(r);
        r.marks = Probe::instance().marks();
        if (!ended)
            r.error =
                QStringLiteral("timed out after %1 of %2 replies").arg(r.replies).arg(roundTrips_);
        r.ok = r.error.isEmpty();
        return r;
    }

    void begin(Recovery recovery)
    {
        std::lock_guard lock(mutex_);
        recovery_ = recovery;
        // Armed from the start: a lost reply to BeginUpdate is a silence too.
        countdown_ = recovery.idleTicks;
        startWall_ = wallSeconds();
        startCpu_ = processCpuSeconds();
        sendLocked(0);
    }

    // On the MIDI thread, for every reply.
    void onReply(const std::uint8_t* data, std::size_t size)
    {
        std::lock_guard lock(mutex_);
        replyLocked(data, size);
    }

    // On the MIDI thread: the reply waits for the thread in wait() to act on
    // it, as a program's main thread would.
    void handOver(const std::uint8_t* data, std::size_t size)
    {
        {
            std::lock_guard lock(mutex_);
            if (finished_)
                return;
            pending_.emplace_back(data, data + size);
        }
        wake_.notify_one();
    }

    // Waits for the end, ticking as the tool's watchdog does (see Recovery).
    // False when the deadline passes first.
    bool wait(int timeoutMs)
    {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(timeoutMs);
        const auto tick = std::chrono::milliseconds(recovery_.tickMs);
        auto nextTick = recovery_.tickMs > 0 ? start + tick : deadline;
        std::unique_lock lock(mutex_);
        while (!finished_) {
            wake_.wait_until(lock, std::min(deadline, nextTick),
                             [&] { return finished_ || !pending_.empty(); });
            while (!pending_.empty() && !finished_) {
                const Bytes reply = std::move(pending_.front());
                pending_.pop_front();
                replyLocked(reply.data(), reply.size());
            }
            if (finished_)
                break;
            const auto now = Clock::now();
            if (now >= deadline)
                return false;
            if (now < nextTick)
                continue;
            nextTick += tick;
            if (countdown_ > 0) {
                --countdown_;
            } else if (countdown_ == 0) {
                ++resent_;
                countdown_ = recovery_.idleTicks;
                sendLocked(
                    current_ == 0 ? 0 : 1 + (current_ - 1) / kMessagesPerBlock * kMessagesPerBlock);
            }
        }
        return true;
    }

    void finish()
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }

    bool finished()
    {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    void fill(RunFigures& r)
    {
        std::lock_guard lock(mutex_);
        r.roundTrips = roundTrips_;
        r.sent = sent_;
        r.replies = replies_;
        r.resent = resent_;
        r.wall = endWall_ - startWall_;
        r.cpu = endCpu_ - startCpu_;
        if (unexpected_ > 0)
            r.error = QStringLiteral("%1 replies were neither acknowledgements nor requests")
                          .arg(unexpected_);
        else if (repeats_ > 0 || restarts_ > 0)
            r.error = QStringLiteral("the unit asked for %1 repeats and %2 restarts: it found "
                                     "fault with what it received")
                          .arg(repeats_)
                          .arg(restarts_);
    }

    const std::vector<Bytes>& messages_;
    const int roundTrips_;

private:
    // A reply from the unit, on whichever thread acts on it.
    void replyLocked(const std::uint8_t* data, std::size_t size)
    {
        if (finished_)
            return; // a buffer handed back while closing
        ++replies_;
        const int command = size > kReplyCommandOffset ? data[kReplyCommandOffset] : -1;
        if (command == kReplyRepeat) {
            // As the tool does: nothing now, the block goes again after the
            // silence that follows.
            ++repeats_;
            return;
        }
        if (command == kReplyRestart) {
            if (current_ != 0)
                ++restarts_;
            countdown_ = recovery_.idleTicks;
            sendLocked(1);
            return;
        }
        if (command != kReplyAckSlice && command != kReplyAckCommit) {
            ++unexpected_;
            return;
        }
        countdown_ = recovery_.idleTicks;
        if (current_ + 1 < roundTrips_) {
            sendLocked(current_ + 1);
            return;
        }
        endWall_ = wallSeconds();
        endCpu_ = processCpuSeconds();
        finished_ = true;
        wake_.notify_all();
    }

    void sendLocked(int index)
    {
        current_ = index;
        ++sent_;
        transmit(index);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Bytes> pending_; // replies handed over, oldest first
    int current_ = 0;
    bool finished_ = false;
    Recovery recovery_ = kNoRecovery;
    int countdown_ = -1; // ticks left before a re-send; negative: idle
    std::uint64_t sent_ = 0;
    std::uint64_t replies_ = 0;
    std::uint64_t resent_ = 0;
    int repeats_ = 0;
    int restarts_ = 0;
    int unexpected_ = 0;
    double startWall_ = 0;
    double startCpu_ = 0;
    double endWall_ = 0;
    double endCpu_ = 0;
};

class WinmmClient final : public PingPong
{
public:
    WinmmClient(const std::vector<Bytes>& messages, int roundTrips, Answer answer)
        : PingPong(messages, roundTrips), answer_(answer)
    {}

    RunFigures run(int inputDevice, int outputDevice, Recovery recovery, int timeoutMs)
    {
        RunFigures r;
        if (midiInOpen(&in_, UINT(inputDevice), reinterpret_cast<DWORD_PTR>(&WinmmClient::input),
                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR ||
            midiOutOpen(&out_, UINT(outputDevice), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            close();
            r.error = QStringLiteral("cannot open the unit's ports");
            return r;
        }
        // Everything is prepared before the clock starts: per message the
        // client only hands a header over.
        outHeaders_.resize(std::size_t(roundTrips_));
        for (int i = 0; i < roundTrips_; ++i) {
            MIDIHDR& h = outHeaders_[std::size_t(i)];
            const Bytes& message = messages_[std::size_t(i)];
            h = MIDIHDR{};
            h.lpData = reinterpret_cast<LPSTR>(const_cast<std::uint8_t*>(message.data()));
            h.dwBufferLength = DWORD(message.size());
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

        return measure(2, recovery, timeoutMs);
    }

private:
    static void CALLBACK input(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR)
    {
        if (message != MIM_LONGDATA)
            return;
        auto* client = reinterpret_cast<WinmmClient*>(instance);
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
        if (client->answer_ == Answer::InCallback)
            client->onReply(data, header->dwBytesRecorded);
        else
            client->handOver(data, header->dwBytesRecorded);
        midiInAddBuffer(client->in_, header, sizeof(MIDIHDR));
    }

    void transmit(int index) override
    {
        midiOutLongMsg(out_, &outHeaders_[std::size_t(index)], sizeof(MIDIHDR));
    }

    void close() override
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

    const Answer answer_;
    HMIDIIN in_ = nullptr;
    HMIDIOUT out_ = nullptr;
    std::vector<MIDIHDR> outHeaders_;
    MIDIHDR inHeaders_[kInputBufferCount] = {};
    char inData_[kInputBufferCount][kInputBufferSize] = {};
};

void ignoreRtMidiError(RtMidiError::Type, const std::string&, void*) {}

bool findPort(RtMidi& midi, MidiSystem system, const std::string& name, unsigned& index)
{
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (unitPortMatches(system, midi.getPortName(i), name)) {
            index = i;
            return true;
        }
    }
    return false;
}

QString systemName(MidiSystem system)
{
    return system == MidiSystem::Alsa ? QStringLiteral("ALSA") : QStringLiteral("JACK");
}

class RtMidiClient final : public PingPong
{
public:
    RtMidiClient(const std::vector<Bytes>& messages, int roundTrips, Answer answer,
                 MidiSystem system)
        : PingPong(messages, roundTrips), answer_(answer), system_(system)
    {}

    ~RtMidiClient() override { close(); }

    RunFigures run(const std::string& unitOutput, const std::string& unitInput, Recovery recovery,
                   int timeoutMs)
    {
        RunFigures r;
        // RtMidi reports a missing server or port by throwing; nothing else
        // in this program throws.
        try {
            const RtMidi::Api api =
                system_ == MidiSystem::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
            in_ = std::make_unique<RtMidiIn>(api, "orvik16-bench bare in");
            in_->setErrorCallback(&ignoreRtMidiError, nullptr);
            out_ = std::make_unique<RtMidiOut>(api, "orvik16-bench bare out");
            out_->setErrorCallback(&ignoreRtMidiError, nullptr);
            unsigned inIndex = 0;
            unsigned outIndex = 0;
            if (!findPort(*in_, system_, unitOutput, inIndex) ||
                !findPort(*out_, system_, unitInput, outIndex)) {
                r.error =
                    QStringLiteral("the unit's %1 ports are not listed").arg(systemName(system_));
                return r;
            }
            in_->ignoreTypes(false, true, true);
            in_->setCallback(&RtMidiClient::input, this);
            in_->openPort(inIndex, "in");
            out_->openPort(outIndex, "out");
            if (!in_->isPortOpen() || !out_->isPortOpen()) {
                r.error = QStringLiteral("cannot connect to the unit's %1 ports")
                              .arg(systemName(system_));
                return r;
            }
        } catch (const RtMidiError& e) {
            r.error = QString::fromStdString(e.getMessage());
            return r;
        }

        return measure(3, recovery, timeoutMs);
    }

private:
    // On JACK's process thread or RtMidi's ALSA input thread. The marks
    // stand where the winmm layer's probe stands for the tool.
    static void input(double, std::vector<unsigned char>* message, void* self)
    {
        if (!message)
            return;
        Probe::instance().mark(MarkKind::Reply);
        auto* client = static_cast<RtMidiClient*>(self);
        if (client->answer_ == Answer::InCallback)
            client->onReply(message->data(), message->size());
        else
            client->handOver(message->data(), message->size());
    }

    void transmit(int index) override
    {
        Probe::instance().mark(MarkKind::Send);
        const Bytes& message = messages_[std::size_t(index)];
        out_->sendMessage(message.data(), message.size());
    }

    // Closing deactivates the JACK clients.
    void close() override
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
        in_.reset();
        out_.reset();
    }

    const Answer answer_;
    const MidiSystem system_;
    std::unique_ptr<RtMidiIn> in_;
    std::unique_ptr<RtMidiOut> out_;
};

} // namespace

RunFigures winmmPingPong(int inputDevice, int outputDevice, const std::vector<Bytes>& messages,
                         int messagesTimed, Recovery recovery, int timeoutMs, Answer answer)
{
    WinmmClient client(messages, messagesTimed + 1, answer);
    return client.run(inputDevice, outputDevice, recovery, timeoutMs);
}

RunFigures rtmidiPingPong(const std::string& unitOutput, const std::string& unitInput,
                          const std::vector<Bytes>& messages, int messagesTimed, Recovery recovery,
                          int timeoutMs, Answer answer, MidiSystem system)
{
    RtMidiClient client(messages, messagesTimed + 1, answer, system);
    return client.run(unitOutput, unitInput, recovery, timeoutMs);
}

bool unitPortMatches(MidiSystem system, const std::string& listed, const std::string& wanted)
{
    if (wanted.empty())
        return false;
    if (system == MidiSystem::Jack)
        return listed == wanted;
    std::string name = listed;
    // The address last, after a space: "24:1", digits on both sides.
    const std::size_t space = name.rfind(' ');
    if (space != std::string::npos) {
        const std::string address = name.substr(space + 1);
        const std::size_t colon = address.find(':');
        const bool numeric = colon != std::string::npos && colon > 0 &&
                             colon + 1 < address.size() &&
                             address.find_first_not_of("0123456789:") == std::string::npos &&
                             address.find(':', colon + 1) == std::string::npos;
        if (numeric)
            name.resize(space);
    }
    if (name == wanted)
        return true;
    // The port's own part must be whole: "MIDI 1" is not the start of "MIDI 12".
    return name.size() > wanted.size() &&
           name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0 &&
           name[name.size() - wanted.size() - 1] == ':';
}

} // namespace orvik::bench
