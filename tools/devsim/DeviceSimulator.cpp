#include "DeviceSimulator.h"

#include "AccessCode.h"
#include "DeviceCodec.h"
#include "ImagePreparation.h"
#include "Protocol.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace orvik::devsim {

namespace {

constexpr int kSliceHeaderSize = 13; // frame header, checksum, two offset bytes
constexpr int kProgressStep = kBlockCount / 10;

int commitTag(int commits)
{
    return commits == 0 ? 0 : (commits & 7) + 1;
}

} // namespace

DeviceSimulator::DeviceSimulator(DeviceSettings settings, std::vector<std::uint8_t> expectedImage,
                                 ReplySink replies)
    : settings_(std::move(settings)), expected_(std::move(expectedImage)),
      replies_(std::move(replies)), image_(kImageSize), present_(kBlockCount)
{}

std::vector<std::uint8_t> DeviceSimulator::identityReply() const
{
    return orvik::devsim::identityReply(settings_.serialNumber, settings_.firmwareVersion,
                                        settings_.name);
}

void DeviceSimulator::receive(const std::uint8_t* data, std::size_t size)
{
    copyDue_ = false;
    take(data, size);
    if (!copyDue_)
        return;
    // The second delivery comes right behind the first, as when an interface
    // passes a message on twice. The unit cannot tell it from a message the
    // tool sent again and answers it as it would that one: a slice again
    // rewrites the same window with the same bytes and is acknowledged again,
    // the commit just taken is acknowledged again and commits nothing (its
    // tag is what tells a repeat from the next block), a begin-update starts
    // the update over (nothing was written yet, so nothing is lost) and is
    // answered again, an identity request is answered twice. What a busy or
    // restarting unit would miss, it misses.
    copy_ = true;
    ++stats_.copiesReceived;
    take(data, size);
    copy_ = false;
}

void DeviceSimulator::take(const std::uint8_t* data, std::size_t size)
{
    if (!copy_) {
        ++stats_.messagesReceived;
        messageNumber_ = begun_ ? report_.messages : stats_.messagesReceived - 1;
        if (begun_)
            ++report_.messages;
    }

    received_ = now_();
    while (!answersDue_.empty() && answersDue_.front() <= received_) {
        spokeAt_ = answersDue_.front();
        answersDue_.pop_front();
    }
    if (booting_ && received_ < bootedAt_) {
        if (!copy_)
            lostWhileRestarting(data, size);
        return;
    }
    if (booting_) {
        booting_ = false;
        restarted_ = true;
        settings_.firmwareVersion = bootVersion_;
    }
    std::string why;
    if (busy(received_, why)) {
        fault(Fault::Busy, std::move(why));
        return;
    }
    if (!answersDue_.empty() && !copy_) {
        if (received_ - spokeAt_ >= kWatchdogSilence) {
            // The tool's watchdog sent again while an answer was still on its
            // way: that answer reaches it after the re-send, unasked for. If
            // it was the last answer of an update, the tool had not heard it.
            leeway_ = true;
            if (ended_ && !running_)
                lastAnswerLost_ = true;
        } else if (settings_.strict && !mayBeAhead()) {
            const auto ms = [](auto d) {
                return std::to_string(
                    std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
            };
            fault(Fault::TwoInFlight, "an answer still due in " +
                                          ms(answersDue_.back() - received_) + " ms, silent for " +
                                          ms(received_ - spokeAt_) + " ms");
        }
    }

    Plan plan;
    if (begun_ && !copy_) {
        for (int i = 0; i < kInjectionKindCount; ++i)
            plan.injections[i] = settings_.faults.has(messageNumber_, static_cast<Injection>(i));
    }

    if (!data)
        size = 0;
    if (checkFrame(data, size, plan)) {
        switch (data[9]) {
        case IdentityRequest:
            handleIdentity(plan);
            break;
        case BeginUpdate:
            handleBegin(data, plan);
            break;
        case DataSlice:
            handleSlice(data, size, plan);
            break;
        case CommitBlock:
            handleCommit(data, plan);
            break;
        }
    }

    for (int i = 0; i < kInjectionKindCount; ++i) {
        if (!plan.injections[i])
            continue;
        ++stats_.injected[i];
        ++report_.injected;
        Event e;
        e.kind = Event::Kind::Injected;
        e.message = messageNumber_;
        e.injection = static_cast<Injection>(i);
        if (events_)
            events_(e);
    }

    if (plan.has(Injection::Unrelated)) {
        for (const auto& m : unrelatedTraffic())
            send(m, {});
    }
    if (plan.has(Injection::Oversized))
        send(oversizedSysEx(), {});

    // A restart asked for instead of acknowledging the last commit means the
    // unit wants the whole image again: nothing is finished yet.
    const bool finishing = plan.finished && !plan.has(Injection::Restart);
    if (finishing) {
        plan.busyFor = settings_.finishTime;
        busyWith_ = "writing";
        if (!settings_.answersLastCommit)
            plan.reply.reset();
    }
    busyUntil_ = received_ + plan.busyFor;

    auto reply = std::move(plan.reply);
    if (plan.has(Injection::Silent)) {
        reply.reset();
    } else if (plan.has(Injection::Restart)) {
        reply = shortReply(kReplyRestart);
        plan.answersBegin = false;
    } else if (plan.has(Injection::Repeat)) {
        reply = shortReply(kReplyRepeat);
    }
    if (reply) {
        const std::uint8_t command = (*reply)[9];
        if (command == kReplyRepeat && reply->size() == 11) {
            ++stats_.repeatsAsked;
            ++report_.repeatsAsked;
            awaitingBlockStart_ = true;
            awaitingAfterRestart_ = false;
        } else if (command == kReplyRestart && reply->size() == 11 && !plan.answersBegin) {
            ++stats_.restartsAsked;
            ++report_.restartsAsked;
            awaitingBlockStart_ = true;
            awaitingAfterRestart_ = true;
        }
        auto delay = plan.busyFor;
        if (plan.has(Injection::Overdue))
            delay += settings_.overdueDelay;
        else if (plan.has(Injection::Late))
            delay += settings_.lateDelay;
        // A slice acknowledged twice, or a copy the tool never sent
        // acknowledged at all: the tool may take the spare acknowledgement
        // for its next slice's.
        if (command == kReplyAckSlice && (copy_ || plan.has(Injection::Duplicate)))
            leeway_ = true;
        std::optional<DeviceTime> due;
        if (plan.has(Injection::Duplicate))
            due = send(*reply, delay);
        const DeviceTime last = send(std::move(*reply), delay);
        if (command == kReplyAckCommit && (finishing || (!running_ && ended_)) &&
            !report_.lastCommitAnswered) {
            report_.lastCommitAnswered = true;
            report_.lastCommitAnsweredAt = due.value_or(last);
        }
        if (plan.restartAfterReply) {
            ++stats_.unpromptedRestarts;
            send(shortReply(kReplyRestart), delay);
        }
    }
    copyDue_ = plan.has(Injection::Doubled);

    if (finishing || plan.endsAgain) {
        // A silent injection stands for an answer lost on the wire, and
        // traffic put in front of the answer may cost the tool its input
        // buffers and the answer with them: the tool rightly sends the last
        // block again. A unit that chose not to answer has finished with the
        // update for good.
        const bool mayBeDrowned = plan.has(Injection::Unrelated) || plan.has(Injection::Oversized);
        lastAnswerLost_ = settings_.answersLastCommit && (!reply || mayBeDrowned);
        ended_ = true;
    }
    if (finishing)
        finishImage();
    if (finishing && settings_.restartsAfterUpdate) {
        // From its last answer on; from the end of its writing when it gives
        // none.
        const DeviceTime lastWord = reply ? answersDue_.back() : received_ + plan.busyFor;
        booting_ = true;
        bootedAt_ = lastWord + settings_.rebootTime;
        bootVersion_ =
            stats_.lastImageMatched ? settings_.newFirmwareVersion : settings_.firmwareVersion;
        ++stats_.restarts;
        stats_.identityAfterRestart = 0;
        notify(Event::Kind::Restarting,
               "silent for " + std::to_string(settings_.rebootTime.count()) +
                   " ms, then firmware " + std::to_string(bootVersion_ & 0xFF) + "." +
                   (bootVersion_ >> 8 < 10 ? "0" : "") + std::to_string(bootVersion_ >> 8));
    }
    if (plan.has(Injection::Restart) && running_)
        rewind();
}

DeviceTime DeviceSimulator::send(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay)
{
    // Transports keep the unit's order, so no answer leaves before an
    // earlier one.
    auto due = received_ + delay;
    if (!answersDue_.empty())
        due = std::max(due, answersDue_.back());
    answersDue_.push_back(due);
    replies_({std::move(bytes), delay});
    return due;
}

bool DeviceSimulator::busy(DeviceTime now, std::string& why)
{
    if (now >= busyUntil_)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(busyUntil_ - now);
    why = std::string("while ") + busyWith_ + ", " + std::to_string(left.count()) + " ms to go";
    return true;
}

bool DeviceSimulator::mayReopen() const
{
    return !restarted_ && settings_.answersLastCommit && (!settings_.strict || lastAnswerLost_);
}

bool DeviceSimulator::startsExpectedBlock(int slice, const std::uint8_t* payload) const
{
    if (slice != 0)
        return false;
    const int block = blockAddress(payload);
    return block >= 0 && (block == nextBlock_ || block == lastCommitted_);
}

void DeviceSimulator::handleSlice(const std::uint8_t* m, std::size_t size, Plan& plan)
{
    justCommitted_ = false;
    const std::uint8_t sum = sliceChecksum(m, size);
    if (m[10] != sum) {
        refuse(plan, Fault::Checksum, "checksum " + hex(m[10]) + ", bytes add up to " + hex(sum));
        return;
    }
    const int offset = m[11] | (m[12] << 7);
    if (offset % kSliceSize || offset / kSliceSize >= kSliceCount) {
        refuse(plan, Fault::SliceOrder, "offset " + std::to_string(offset) + " is no slice start");
        return;
    }
    const int slice = offset / kSliceSize;
    const std::size_t wanted = slice == kSliceCount - 1 ? kLastSliceMessageSize : kSliceMessageSize;
    if (size != wanted) {
        refuse(plan, Fault::Length,
               std::to_string(size) + " bytes for slice " + std::to_string(slice) + ", expected " +
                   std::to_string(wanted));
        return;
    }
    const std::uint8_t* payload = m + kSliceHeaderSize;
    if (awaitingBlockStart_ && running_ && !startsExpectedBlock(slice, payload)) {
        // Sent before the tool heard our repeat or restart request: it will
        // start the block over. A lenient unit waits for that start and
        // ignores what was already on the wire, without an answer; with one
        // message in flight there is nothing on the wire, unless the unit
        // gave an answer the tool did not ask for.
        if (settings_.strict && !mayBeAhead())
            refuse(plan, Fault::OutOfStep,
                   "slice " + std::to_string(slice) + " before the block started over");
        return;
    }
    if (!running_) {
        // The last commit went through but its acknowledgement did not reach
        // the tool, which waits for it and then sends the last block again.
        const bool lastBlockAgain = report_.outcome != UpdateReport::Outcome::Running &&
                                    report_.outcome != UpdateReport::Outcome::Abandoned &&
                                    slice == 0 && lastCommitted_ == kBlockCount - 1 &&
                                    blockAddress(payload) == lastCommitted_;
        if (!lastBlockAgain || !mayReopen()) {
            outsideUpdate(plan, "slice " + std::to_string(slice));
            return;
        }
        running_ = true;
        reopened_ = true;
    }

    if (slice == 0) {
        // The tool may start a block over at any time: after a repeat
        // request, or when its watchdog gave up waiting.
        const int block = blockAddress(payload);
        if (block >= 0 && block == nextBlock_ && block < kBlockCount) {
            replacing_ = false;
        } else if (block >= 0 && block == lastCommitted_) {
            // The commit went through but its acknowledgement did not reach
            // the tool, which sends the block again with the same tag.
            replacing_ = true;
        } else {
            refuse(plan, Fault::BlockAddress,
                   "address " + hex(payload[0]) + " " + hex(payload[1]) + " " + hex(payload[2]) +
                       (block >= 0 ? " (block " + std::to_string(block) + ")" : std::string()) +
                       ", expected block " + std::to_string(nextBlock_));
            return;
        }
        building_ = block;
        awaitingBlockStart_ = false;
        awaitingAfterRestart_ = false;
    } else if (building_ < 0 || (slice != nextSlice_ && slice != nextSlice_ - 1)) {
        // The slice just taken may come again (see receive()): the stream is
        // rebuilt by offset, so it rewrites its own window and is answered
        // again. Any other slice out of turn leaves a gap or an overlap.
        refuse(
            plan, Fault::SliceOrder,
            "slice " + std::to_string(slice) + ", expected " +
                (building_ < 0 ? std::string("slice 0") : "slice " + std::to_string(nextSlice_)));
        return;
    }

    if (plan.has(Injection::Repeat)) {
        dropBlock(); // the tool will start this block over
    } else {
        std::copy(payload, m + size - 1, stream_.begin() + offset);
        nextSlice_ = slice + 1;
    }
    plan.reply = shortReply(kReplyAckSlice);
}

void DeviceSimulator::handleCommit(const std::uint8_t* m, Plan& plan)
{
    // The tag tells a repeated commit from the next block's: the commit just
    // taken, again with its own tag and no slice since, is answered again and
    // commits nothing. After the last block only a copy is answered so; the
    // tool has no reason to send it again once it was confirmed.
    const bool again = justCommitted_ && m[10] == commitTag(commits_ - 1) &&
                       (running_ || (copy_ && settings_.answersLastCommit));
    if (again) {
        plan.reply = shortReply(kReplyAckCommit);
        return;
    }
    justCommitted_ = false;
    if (awaitingBlockStart_ && running_) {
        // Already on the wire when we asked for the block again. The tool
        // counted it, and after a restart it never takes that count back, so
        // the tags that follow include it.
        if (awaitingAfterRestart_ && !copy_)
            ++commits_;
        if (settings_.strict && !mayBeAhead())
            refuse(plan, Fault::OutOfStep, "commit before the block started over");
        return;
    }
    if (!running_) {
        outsideUpdate(plan, "commit");
        return;
    }
    if (building_ < 0 || nextSlice_ != kSliceCount) {
        refuse(plan, Fault::SliceOrder,
               building_ < 0 ? std::string("commit without a block")
                             : "commit after " + std::to_string(nextSlice_) + " of 6 slices");
        return;
    }
    const int expectedTag = commitTag(replacing_ ? commits_ - 1 : commits_);
    if (m[10] != expectedTag) {
        refuse(plan, Fault::CommitTag,
               "tag " + std::to_string(m[10]) + ", expected " + std::to_string(expectedTag));
        return;
    }
    std::uint8_t block[kBlockSize];
    if (!decodeBlock(stream_.data(), block)) {
        refuse(plan, Fault::Encoding, "block " + std::to_string(building_));
        return;
    }
    plan.reply = shortReply(kReplyAckCommit);
    if (plan.has(Injection::Repeat)) {
        // Asking again instead of acknowledging means the unit did not take
        // the block; the tool rolls its commit count back to match.
        dropBlock();
        return;
    }

    const int index = building_;
    std::copy(block, block + kBlockSize, image_.begin() + index * kBlockSize);
    ++stats_.blocksCommitted;
    justCommitted_ = true;
    // Once it has this answer the tool waits for nothing older.
    leeway_ = false;
    if (!replacing_) {
        ++commits_;
        ++report_.commits;
        nextBlock_ = index + 1;
        lastCommitted_ = index;
    }
    dropBlock();
    if (!present_[index]) {
        present_[index] = true;
        ++report_.blocksPresent;
        if (report_.blocksPresent % kProgressStep == 0)
            notify(Event::Kind::Progress, "blocks " + std::to_string(report_.blocksPresent) + "/" +
                                              std::to_string(kBlockCount));
    }
    if (reopened_) {
        // Already compared when it first came; the same block again changes
        // nothing but the acknowledgement the tool is waiting for.
        reopened_ = false;
        running_ = false;
        plan.endsAgain = true;
        return;
    }
    if (index == kBlockCount - 1 && report_.blocksPresent == kBlockCount)
        plan.finished = true;
}

void DeviceSimulator::startUpdate()
{
    if (running_ && !reopened_)
        endUpdate(UpdateReport::Outcome::Abandoned);
    reopened_ = false;
    ended_ = false;
    lastAnswerLost_ = false;
    restarted_ = false;
    awaitingBlockStart_ = false;
    awaitingAfterRestart_ = false;
    leeway_ = false;
    report_ = UpdateReport{};
    report_.number = ++stats_.updatesBegun;
    report_.messages = 1;
    running_ = true;
    begun_ = true;
    commits_ = 0;
    std::fill(image_.begin(), image_.end(), 0);
    rewind();
}

void DeviceSimulator::endUpdate(UpdateReport::Outcome outcome)
{
    report_.outcome = outcome;
    running_ = false;
    dropBlock();
    Event e;
    e.kind = Event::Kind::UpdateEnded;
    e.message = messageNumber_;
    e.report = &report_;
    if (events_)
        events_(e);
}

void DeviceSimulator::rewind()
{
    nextBlock_ = 0;
    lastCommitted_ = -1;
    justCommitted_ = false;
    dropBlock();
    std::fill(present_.begin(), present_.end(), false);
    report_.blocksPresent = 0;
}

void DeviceSimulator::dropBlock()
{
    building_ = -1;
    nextSlice_ = 0;
    replacing_ = false;
}

bool DeviceSimulator::mayEndWithNext() const
{
    return running_ && report_.blocksPresent >= kBlockCount - 1;
}

void DeviceSimulator::finishImage()
{
    std::uint8_t keystream[kKeystreamSize];
    buildKeystream(settings_.serialNumber, keystream);
    std::vector<std::uint8_t> plain = image_;
    descrambleImage(plain.data(), kImageSize, keystream);

    const auto limit = std::min(plain.size(), expected_.size());
    const auto diff = std::mismatch(plain.begin(), plain.begin() + limit, expected_.begin());
    const bool matched = expected_.size() == kImageSize && diff.first == plain.begin() + limit;
    report_.firstDifference = matched ? -1 : diff.first - plain.begin();

    ++stats_.updatesCompleted;
    stats_.lastImageMatched = matched;
    if (matched)
        ++stats_.updatesMatched;
    endUpdate(matched ? UpdateReport::Outcome::Matched : UpdateReport::Outcome::Differs);
}

void DeviceSimulator::fault(Fault kind, std::string detail)
{
    if (copy_)
        return; // the original was judged; the copy is the transport's
    const int i = static_cast<int>(kind);
    ++stats_.faults[i];
    if (running_ || ended_)
        ++report_.faults[i];
    Event e;
    e.kind = Event::Kind::FaultFound;
    e.message = messageNumber_;
    e.fault = kind;
    e.detail = std::move(detail);
    if (events_)
        events_(e);
}

void DeviceSimulator::refuse(Plan& plan, Fault kind, std::string detail)
{
    // A copy of a message the unit has already dealt with is dropped without
    // a word; it changes nothing and the tool waits for no answer to it.
    if (copy_)
        return;
    fault(kind, std::move(detail));
    dropBlock();
    if (settings_.onBadMessage == BadMessageReply::Repeat)
        plan.reply = shortReply(kReplyRepeat);
    // Asked for the block again or not, the tool starts it over: whatever
    // it already sent behind the bad message is stale, not a second fault.
    if (running_ && !awaitingBlockStart_) {
        awaitingBlockStart_ = true;
        awaitingAfterRestart_ = false;
    }
}

void DeviceSimulator::notify(Event::Kind kind, std::string detail)
{
    if (!events_)
        return;
    Event e;
    e.kind = kind;
    e.message = messageNumber_;
    e.detail = std::move(detail);
    e.firmware = settings_.firmwareVersion;
    if (kind == Event::Kind::Progress)
        e.report = &report_;
    events_(e);
}

} // namespace orvik::devsim
