// The simulated unit's view of a frame, and its answers to what lies outside
// the image: identity requests, begin-updates, and messages that reach it
// while it restarts or when no update is running. The image itself is in
// DeviceSimulator.cpp.

#include "DeviceSimulator.h"

#include "AccessCode.h"
#include "DeviceCodec.h"
#include "Protocol.h"

#include <algorithm>
#include <cstdio>

namespace orvik::devsim {

namespace {

constexpr const char* kFaultNames[kFaultKindCount] = {
    "frame-header", "high-byte",      "missing-f7", "command",    "length",        "checksum",
    "slice-order",  "block-address",  "encoding",   "commit-tag", "begin-params",  "begin-length",
    "access-code",  "outside-update", "busy",       "after-end",  "two-in-flight", "out-of-step",
};

std::size_t expectedLength(std::uint8_t command)
{
    switch (command) {
    case IdentityRequest:
        return 11;
    case CommitBlock:
        return 12;
    case BeginUpdate:
        return 21;
    default:
        return 0;
    }
}

} // namespace

std::string hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

// Foreign traffic that the tool has to skip: another maker, another model, a
// command no unit sends, a frame that differs only in the maker's last byte,
// and short channel and real-time messages.
const std::vector<std::vector<std::uint8_t>>& unrelatedTraffic()
{
    static const std::vector<std::vector<std::uint8_t>> traffic = {
        {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
        {0xF0, 0x00, 0x11, 0x22, 0x0C, 0x00, 0x00, 0x00, 0x00, kReplyAckSlice, 0xF7},
        {0xF0, 0x00, 0x11, 0x22, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x2C, 0xF7},
        {0xF0, 0x00, 0x11, 0x21, 0x0B, 0x00, 0x00, 0x00, 0x00, kReplyRestart, 0xF7},
        {0x90, 0x3C, 0x40},
        {0x80, 0x3C, 0x00},
        {0xB0, 0x07, 0x64},
        {0xF8},
        {0xFE},
    };
    return traffic;
}

// Longer than the tool's 1024-byte input buffers. It opens with this unit's
// own frame so that the tool has to look at the command byte, and its filler
// never holds F0, so no piece of it can pass for the start of a reply.
const std::vector<std::uint8_t>& oversizedSysEx()
{
    static const std::vector<std::uint8_t> message = [] {
        std::vector<std::uint8_t> m = {0xF0, 0x00, 0x11, 0x22, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x3F};
        for (int i = 0; i < 1190; ++i)
            m.push_back(static_cast<std::uint8_t>(i & 0x7F));
        m.push_back(0xF7);
        return m;
    }();
    return message;
}

const char* faultName(Fault fault)
{
    const int i = static_cast<int>(fault);
    return i >= 0 && i < kFaultKindCount ? kFaultNames[i] : "?";
}

std::uint64_t total(const FaultCounts& counts)
{
    std::uint64_t sum = 0;
    for (const auto n : counts)
        sum += n;
    return sum;
}

std::string describe(const FaultCounts& counts)
{
    std::string text;
    for (int i = 0; i < kFaultKindCount; ++i) {
        if (!counts[i])
            continue;
        if (!text.empty())
            text += ' ';
        text += kFaultNames[i];
        text += '=';
        text += std::to_string(counts[i]);
    }
    return text.empty() ? "none" : text;
}

// A unit that restarts hears nothing until it is up. A tool cannot know when
// that is: an identity request, or the last block again after an answer that
// never reached it, is no fault of its own. Anything else is lost as on a
// busy unit.
void DeviceSimulator::lostWhileRestarting(const std::uint8_t* m, std::size_t size)
{
    ++stats_.lostWhileRestarting;
    const std::uint8_t command = m && size > 10 && m[0] == kSysExStart ? m[9] : 0;
    if (command == IdentityRequest)
        return;
    if ((command == DataSlice || command == CommitBlock) && !lastAnswerHeard())
        return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(bootedAt_ - received_);
    fault(Fault::Busy, "while restarting, " + std::to_string(left.count()) + " ms to go");
}

void DeviceSimulator::outsideUpdate(Plan& plan, std::string detail)
{
    if (restarted_) {
        // The new firmware knows nothing of the update; it answers none of it.
        if (lastAnswerHeard() && settings_.strict)
            fault(Fault::AfterEnd, detail + ", after the unit restarted");
        return;
    }
    if (!ended_) {
        refuse(plan, Fault::OutsideUpdate, std::move(detail));
        return;
    }
    const Fault kind = settings_.strict ? Fault::AfterEnd : Fault::OutsideUpdate;
    if (settings_.answersLastCommit)
        refuse(plan, kind, std::move(detail));
    else
        fault(kind, detail + ", after the unit took the last commit and went quiet");
}

bool DeviceSimulator::checkFrame(const std::uint8_t* m, std::size_t size, Plan& plan)
{
    if (size < 5 || m[0] != kSysExStart || m[1] != kManufacturerId[0] ||
        m[2] != kManufacturerId[1] || m[3] != kManufacturerId[2] || m[4] != kModelId) {
        // Not addressed to this unit: counted, never answered.
        std::string detail = std::to_string(size) + " bytes";
        if (size)
            detail += ", starting " + hex(m[0]);
        fault(Fault::FrameHeader, std::move(detail));
        return false;
    }

    const bool ended = m[size - 1] == kSysExEnd;
    const std::size_t end = ended ? size - 1 : size;
    for (std::size_t i = 1; i < end; ++i) {
        if (m[i] & 0x80) {
            refuse(plan, Fault::HighByte, hex(m[i]) + " at offset " + std::to_string(i));
            return false;
        }
    }
    if (!ended) {
        refuse(plan, Fault::MissingEnd, std::to_string(size) + " bytes, last " + hex(m[size - 1]));
        return false;
    }
    if (size < 11) {
        refuse(plan, Fault::Length, std::to_string(size) + " bytes, too short for a command");
        return false;
    }
    if (m[5] || m[6] || m[7] || m[8]) {
        refuse(plan, Fault::FrameHeader, "bytes 5-8 not zero");
        return false;
    }

    const std::uint8_t command = m[9];
    std::size_t wanted = expectedLength(command);
    if (command == DataSlice) {
        if (size == kSliceMessageSize || size == kLastSliceMessageSize)
            wanted = size; // which of the two is right depends on the offset
        else
            wanted = kSliceMessageSize;
    } else if (!wanted) {
        refuse(plan, Fault::Command, "command " + hex(command));
        return false;
    }
    if (size != wanted) {
        refuse(plan, Fault::Length,
               std::to_string(size) + " bytes for command " + hex(command) + ", expected " +
                   std::to_string(wanted));
        return false;
    }
    return true;
}

void DeviceSimulator::handleIdentity(Plan& plan)
{
    ++stats_.identityRequests;
    if (stats_.identityRequests <= settings_.identityRepliesLost) {
        notify(Event::Kind::IdentityRequest, "lost");
        return;
    }
    if (restarted_)
        ++stats_.identityAfterRestart;
    notify(Event::Kind::IdentityRequest);
    plan.reply = identityReply();
    plan.restartAfterReply = settings_.restartAfterIdentity;
}

void DeviceSimulator::handleBegin(const std::uint8_t* m, Plan& plan)
{
    const std::uint32_t length = m[12] | (m[13] << 7) | (m[14] << 14) | (m[15] << 21);
    bool accepted = true;
    if (m[10] != kImageVersionMajor || m[11] != kImageVersionMinor) {
        fault(Fault::BeginParameters,
              "parameters " + std::to_string(m[10]) + ", " + std::to_string(m[11]));
        accepted = false;
    }
    if (length != kImageSize) {
        fault(Fault::BeginLength, "length " + std::to_string(length));
        accepted = false;
    }
    if (!std::equal(m + 16, m + 20, UpdateAccessCode)) {
        fault(Fault::AccessCode,
              hex(m[16]) + " " + hex(m[17]) + " " + hex(m[18]) + " " + hex(m[19]));
        accepted = false;
    }
    if (!accepted) {
        // A unit never starts writing its flash on a begin-update it does
        // not trust, and it does not explain why.
        notify(Event::Kind::BeginRefused);
        return;
    }

    startUpdate();
    messageNumber_ = 0;
    for (int i = 0; i < kInjectionKindCount && !copy_; ++i)
        plan.injections[i] = settings_.faults.has(0, static_cast<Injection>(i));
    notify(Event::Kind::BeginUpdate);
    plan.reply = shortReply(kReplyRestart);
    plan.answersBegin = true;
    plan.busyFor = settings_.eraseTime;
    busyWith_ = "erasing";
}

} // namespace orvik::devsim
