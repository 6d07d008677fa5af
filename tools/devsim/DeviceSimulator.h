// A simulated Orvik16 unit: takes whole MIDI messages as the tool sent them,
// checks every byte, rebuilds and descrambles the image, and answers through
// a callback. No transport and no threads: the caller feeds it, so the same
// object runs under unit tests, a fuzzer, the loopback layer and RtMidi. Its
// clock is injected; it only reads it, to know when it is busy and how long
// it has been silent.
//
// Not thread-safe; SimulatorHost serialises access when threads are involved.
#pragma once

#include "DeviceClock.h"
#include "FaultSchedule.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvik::devsim {

// What the unit finds wrong in a message. Each message counts at most one
// structural fault (the first found, in this order up to Encoding): once the
// frame is broken nothing inside it can be trusted. A BeginUpdate counts each
// of its three field faults separately.
enum class Fault : int
{
    FrameHeader,  // not this maker's and model's frame, or bytes 5-8 not zero
    HighByte,     // a byte of 0x80 or more between F0 and the final F7
    MissingEnd,   // the message does not end in F7
    Command,      // a command byte the unit does not know
    Length,       // wrong length for the command (or for the slice's offset)
    Checksum,     // slice checksum does not add up
    SliceOrder,   // not the next slice of the block, or a commit with slices missing
    BlockAddress, // slice 0 names a block other than the one being built
    Encoding,     // a top-bits byte with its unused bits set
    CommitTag,    // commit tag out of sequence
    BeginParameters,
    BeginLength,
    AccessCode,
    OutsideUpdate, // image data or a commit with no update in progress
    Busy,          // arrived while erasing or writing: lost on the unit
    // Counted in strict mode only: what a tool in step with a real unit
    // never sends.
    AfterEnd,    // anything but an identity request or a begin-update after
                 // the unit's last answer of an update that ended
    TwoInFlight, // arrived while an earlier message was still unanswered,
                 // before the unit had been silent for the tool's watchdog time
    OutOfStep,   // sent before the tool could have heard a repeat or restart
                 // request, which a lenient unit passes over in silence
};
inline constexpr int kFaultKindCount = 18;

// A tool may send again once the unit has been silent this long.
inline constexpr std::chrono::seconds kWatchdogSilence{5};
using FaultCounts = std::array<std::uint64_t, kFaultKindCount>;

const char* faultName(Fault fault);
std::uint64_t total(const FaultCounts& counts);
// "checksum=1 slice-order=2", or "none".
std::string describe(const FaultCounts& counts);

// How the unit answers a message of its own frame that it found faulty.
enum class BadMessageReply
{
    Repeat, // ask for the block again; the tool re-sends it after its watchdog
    Ignore, // say nothing; the tool's watchdog re-sends the block
};

struct DeviceSettings
{
    // Only bits 0-27 travel in the identity reply, and only those seed the
    // keystream; the tool cannot tell the upper bits apart.
    std::uint32_t serialNumber = 123456789;
    // Low byte major, high byte minor: 0x0602 shows as 2.06. 14 bits travel.
    std::uint16_t firmwareVersion = 0x0602;
    // Up to 16 characters of 0x01-0x7E.
    std::string name = "Orvik16 KX";
    std::chrono::milliseconds lateDelay{1500};
    // Past the tool's watchdog (it sends again after 5 to 6 s of silence),
    // short of the 20 s it waits while the unit erases or writes.
    std::chrono::milliseconds overdueDelay{7000};
    BadMessageReply onBadMessage = BadMessageReply::Repeat;
    FaultSchedule faults;
    // Flash work: the erase before the unit answers a begin-update, and the
    // write and check before it answers the last commit. Whatever arrives
    // meanwhile is lost on it.
    std::chrono::milliseconds eraseTime{0};
    std::chrono::milliseconds finishTime{0};
    // False: the unit takes the last commit and answers nothing more, as
    // one that restarts into its new firmware at once.
    bool answersLastCommit = true;
    // A restart request right after every identity reply, as a unit left in
    // update mode may send.
    bool restartAfterIdentity = false;
    // Holds the tool to one message in flight and nothing after the end; a
    // lenient unit forgives stale and late messages as long as the image
    // arrives.
    bool strict = true;
    // The answers to this many identity requests, the first ones, are lost
    // on the way: a tool must ask again to connect at all.
    std::uint64_t identityRepliesLost = 0;
    // After an update whose image arrived whole, the unit restarts: from its
    // last answer it is deaf for rebootTime, then it reports
    // newFirmwareVersion, or its old version if the image did not match.
    bool restartsAfterUpdate = false;
    std::chrono::milliseconds rebootTime{0};
    std::uint16_t newFirmwareVersion = 0x0602;
};

struct Reply
{
    std::vector<std::uint8_t> bytes;
    // Transports hold a delayed reply back and everything after it too, so
    // the unit's answers always leave in the order it gave them.
    std::chrono::milliseconds delay{0};
};

struct UpdateReport
{
    enum class Outcome
    {
        Running,
        Matched,
        Differs,
        Abandoned
    };

    int number = 0;             // 1 for the first update since start
    std::uint64_t messages = 0; // received since its BeginUpdate, that one included
    int blocksPresent = 0;      // distinct blocks rebuilt since the last (re)start
    int commits = 0;            // commits taken; a re-sent block replaces, not adds
    FaultCounts faults{};
    int repeatsAsked = 0;  // repeat requests sent (injected or for faults)
    int restartsAsked = 0; // restart requests sent, the answer to BeginUpdate not counted
    int injected = 0;
    Outcome outcome = Outcome::Running;
    std::int64_t firstDifference = -1; // offset of the first wrong plain byte
    // The unit confirmed the last commit of a complete image (command 0x2A,
    // not lost on the way), and when that answer left: a tool that reports
    // success before then took another answer for it.
    bool lastCommitAnswered = false;
    DeviceTime lastCommitAnsweredAt{};
};

struct Stats
{
    std::uint64_t messagesReceived = 0; // from the tool; copies not counted
    std::uint64_t copiesReceived = 0;   // second deliveries of doubled messages
    std::uint64_t identityRequests = 0;
    std::uint64_t blocksCommitted = 0;
    FaultCounts faults{};
    std::uint64_t repeatsAsked = 0;
    std::uint64_t restartsAsked = 0;
    std::array<std::uint64_t, kInjectionKindCount> injected{};
    int updatesBegun = 0;
    int updatesCompleted = 0; // last block committed with every block present
    int updatesMatched = 0;
    bool lastImageMatched = false;
    std::uint64_t unpromptedRestarts = 0; // after identity replies
    int restarts = 0;                     // after updates, with restartsAfterUpdate
    std::uint64_t lostWhileRestarting = 0;
    std::uint64_t identityAfterRestart = 0; // requests answered since the last restart
};

struct Event
{
    enum class Kind
    {
        IdentityRequest,
        BeginUpdate,  // accepted, update started
        BeginRefused, // wrong parameters, length or access code; no answer
        Progress,     // blocksPresent reached another tenth of the image
        FaultFound,
        Injected,
        UpdateEnded, // report.outcome says how
        Restarting,  // after the update; detail says for how long, and into what
    };
    Kind kind = Kind::IdentityRequest;
    std::uint64_t message = 0; // number within the update; 0 is its BeginUpdate
    Fault fault = Fault::FrameHeader;
    Injection injection = Injection::Silent;
    std::string detail;
    const UpdateReport* report = nullptr;
    std::uint16_t firmware = 0; // what an identity request was answered with
};

class DeviceSimulator
{
public:
    using ReplySink = std::function<void(Reply)>;
    using EventSink = std::function<void(const Event&)>;

    // `expectedImage` is the plain image the tool should deliver; anything
    // but kImageSize bytes can never match.
    DeviceSimulator(DeviceSettings settings, std::vector<std::uint8_t> expectedImage,
                    ReplySink replies);

    void setEventSink(EventSink sink) { events_ = std::move(sink); }
    // The steady clock unless set; set it before the first message.
    void setClock(DeviceNow now) { now_ = std::move(now); }

    // One whole message as it came off the wire: any bytes, any length.
    void receive(const std::uint8_t* data, std::size_t size);

    const DeviceSettings& settings() const { return settings_; }
    // Between updates: the same unit behaves otherwise from now on.
    void configure(const std::function<void(DeviceSettings&)>& change) { change(settings_); }
    const Stats& stats() const { return stats_; }
    // The running update, or the last one that ended.
    const UpdateReport& report() const { return report_; }
    bool updateRunning() const { return running_; }
    // The next message may end the update, and ending it checks the whole
    // image: far more work than a real-time thread may do within its cycle.
    bool mayEndWithNext() const;

    std::vector<std::uint8_t> identityReply() const;

private:
    // What the injections of one message call for.
    struct Plan
    {
        bool injections[kInjectionKindCount] = {};
        std::optional<std::vector<std::uint8_t>> reply;
        bool answersBegin = false; // the restart that starts an update is no retry
        bool finished = false;     // last block in: compare once the answer is out
        bool endsAgain = false;    // the last block again, taken after the end
        bool restartAfterReply = false;
        std::chrono::milliseconds busyFor{0};

        bool has(Injection kind) const { return injections[static_cast<int>(kind)]; }
    };

    void take(const std::uint8_t* data, std::size_t size);
    void handleIdentity(Plan& plan);
    void handleBegin(const std::uint8_t* m, Plan& plan);
    void handleSlice(const std::uint8_t* m, std::size_t size, Plan& plan);
    bool startsExpectedBlock(int slice, const std::uint8_t* payload) const;
    void handleCommit(const std::uint8_t* m, Plan& plan);
    bool checkFrame(const std::uint8_t* m, std::size_t size, Plan& plan);

    void startUpdate();
    void endUpdate(UpdateReport::Outcome outcome);
    void rewind(); // back to block 0, as after a restart request
    void dropBlock();
    void finishImage();

    void fault(Fault kind, std::string detail);
    void refuse(Plan& plan, Fault kind, std::string detail);
    void notify(Event::Kind kind, std::string detail = {});
    DeviceTime send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay);
    bool busy(DeviceTime now, std::string& why);
    bool mayReopen() const;
    void lostWhileRestarting(const std::uint8_t* m, std::size_t size);
    bool lastAnswerHeard() const { return settings_.answersLastCommit && !lastAnswerLost_; }
    void outsideUpdate(Plan& plan, std::string detail);
    // The tool may be a message ahead, and has not yet had to wait for its
    // watchdog: after that it sends nothing but a block from its start.
    bool mayBeAhead() const { return leeway_ && received_ - spokeAt_ < kWatchdogSilence; }

    DeviceSettings settings_;
    std::vector<std::uint8_t> expected_;
    ReplySink replies_;
    EventSink events_;
    DeviceNow now_ = steadyNow;

    Stats stats_;
    UpdateReport report_;
    bool running_ = false;
    std::uint64_t messageNumber_ = 0; // of the message being handled
    bool begun_ = false;              // numbering starts at the first BeginUpdate

    // Transport faults. copy_ while the second delivery of a doubled message
    // is handled: whatever is wrong with it is the transport's doing, not
    // the tool's, so it is never counted. leeway_ once the unit has given an
    // answer the tool did not ask for (or that crossed its watchdog's
    // re-send), until the next commit is confirmed: the tool may take that
    // answer for the next message's and run one message ahead meanwhile.
    bool copy_ = false;
    bool copyDue_ = false;
    bool leeway_ = false;
    // The last message was a commit that the unit took: the same commit
    // again, with no slice between, is a repeat, not a new block.
    bool justCommitted_ = false;

    // Block being rebuilt.
    int nextBlock_ = 0;      // the block the unit waits for
    int lastCommitted_ = -1; // may come again if its acknowledgement was lost
    int building_ = -1;
    bool replacing_ = false;
    bool reopened_ = false; // the last block again, after the update ended
    // After asking for a repeat or a restart, until the block starts over:
    // what the tool had already sent is stale and is ignored.
    bool awaitingBlockStart_ = false;
    bool awaitingAfterRestart_ = false;
    int nextSlice_ = 0; // 6: all slices in, commit due
    std::array<std::uint8_t, 643> stream_{};
    std::vector<std::uint8_t> image_; // scrambled, as received
    std::vector<bool> present_;
    int commits_ = 0; // since BeginUpdate; drives the commit tags

    // Time.
    DeviceTime received_{};             // when the message being handled arrived
    DeviceTime busyUntil_{};            // erasing or writing until then
    const char* busyWith_ = "";         // what, for the log
    std::deque<DeviceTime> answersDue_; // answers given but not yet out
    DeviceTime spokeAt_{};              // when the last answer went out
    // The update that ended: its last answer went out (or the unit chose to
    // give none); only a lost one excuses the last block coming again.
    bool ended_ = false;
    bool lastAnswerLost_ = false;
    // Restarting until bootedAt_, then running bootVersion_; restarted_ from
    // then until the next update.
    bool booting_ = false;
    bool restarted_ = false;
    DeviceTime bootedAt_{};
    std::uint16_t bootVersion_ = 0;
};

} // namespace orvik::devsim
