// Writes the fuzz targets' seed inputs: real replies of the unit and real
// messages of the tool, captured from the session itself on a loopback link,
// each wrapped in the few leading bytes its target expects. Run it again
// after a change to the wire format:
//
//   fuzz_seedwriter <source>/fuzz/corpus

#include "DeviceCodec.h"
#include "ImagePreparation.h"
#include "Loopback.h"
#include "Protocol.h"
#include "UnitReplies.h"
#include "UpdateSession.h"

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool write(const fs::path& dir, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(file);
}

Bytes counted(const Bytes& message, std::uint32_t count)
{
    Bytes out{std::uint8_t(count), std::uint8_t(count >> 8), std::uint8_t(count >> 16),
              std::uint8_t(count >> 24)};
    return out + message;
}

Bytes counted(const Bytes& message)
{
    return counted(message, std::uint32_t(message.size()));
}

// What the tool sends at the start of an update: identity request, begin,
// block 0 whole and the first slice of block 1.
std::vector<Bytes> toolMessages()
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> messages;
    orvik::loopback::Link link("seed-writer", [&](const std::uint8_t* data, std::size_t size) {
        std::lock_guard lock(mutex);
        messages.emplace_back(data, data + size);
        arrived.notify_all();
    });

    UpdateSession session;
    if (!session.OpenPorts(link.inputDeviceNumber(), link.outputDeviceNumber()) ||
        !prepareImage(session.ImageData(), 123456789))
        return {};
    session.SendIdentityRequest();
    session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    session.RestartTransfer();
    for (int i = 0; i < kSliceCount + 1; ++i)
        session.SendNext(false);

    constexpr std::size_t kExpected = 2 + kSliceCount + 2;
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() == kExpected; });
    if (messages.size() != kExpected)
        return {};
    return messages;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
        return 2;
    }
    const fs::path root(argv[1]);
    bool ok = true;

    using orvik::devsim::identityReply;
    using orvik::devsim::shortReply;
    const Bytes identity = identityReply(123456789, 0x0602, "Orvik16 KX");
    const Bytes longName = identityReply(268435455, 0x3FFF, "ABCDEFGHIJKLMNOP");
    const Bytes foreign = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
    // A reply's header and command, then more than one input buffer holds.
    Bytes oversized = testsupport::replyFrame(0x3F);
    oversized.pop_back();
    for (int i = 0; i < 1190; ++i)
        oversized.push_back(std::uint8_t(i & 0x7F));
    oversized.push_back(0xF7);

    const fs::path replies = root / "replydecoder";
    ok &= write(replies, "identity", counted(identity));
    ok &= write(replies, "identity-long-name", counted(longName));
    ok &= write(replies, "identity-truncated",
                counted(Bytes(identity.begin(), identity.begin() + 12)));
    ok &= write(replies, "identity-count-huge", counted(identity, 0xFFFFFFFFu));
    ok &= write(replies, "ack-slice", counted(shortReply(kReplyAckSlice)));
    ok &= write(replies, "ack-commit", counted(shortReply(kReplyAckCommit)));
    ok &= write(replies, "ack-count-zero", counted(shortReply(kReplyAckSlice), 0));
    ok &= write(replies, "repeat", counted(shortReply(kReplyRepeat)));
    ok &= write(replies, "restart", counted(shortReply(kReplyRestart)));
    ok &= write(replies, "foreign-maker", counted(foreign));
    ok &= write(replies, "oversized-first-buffer",
                counted(Bytes(oversized.begin(), oversized.begin() + 1024)));
    ok &= write(replies, "garbage", counted({0x7F, 0xF0, 0x00, 0xFF, 0x11, 0x22, 0x0B, 0x80}));

    // Input path: buffer choice, cutting, flags; then the stream.
    const fs::path input = root / "loopbackinput";
    constexpr std::uint8_t kTwoFullBuffers = 1 | (7 << 2);
    constexpr std::uint8_t kFourSmallBuffers = 3 | (3 << 2);
    constexpr std::uint8_t kOneMediumBuffer = 0 | (4 << 2);
    const Bytes shorts = {0x90, 0x3C, 0x40, 0x3E, 0x40, 0x80, 0x3C, 0x00, 0xC0, 0x05,
                          0xF8, 0xB0, 0x07, 0x64, 0xF2, 0x10, 0x20, 0xFE, 0xE0, 0x00};
    const Bytes realTimeInside = {0xF0, 0x00, 0x11, 0xF8, 0x22, 0x0B, 0xFE,
                                  0x00, 0x00, 0x00, 0x00, 0x29, 0xFA, 0xF7};
    ok &= write(input, "replies",
                Bytes{kTwoFullBuffers, 0x10, 0x01} + identity + shortReply(kReplyAckSlice) +
                    shortReply(kReplyRepeat) + shortReply(kReplyRestart));
    ok &= write(input, "short-messages", Bytes{kTwoFullBuffers, 0x03, 0x00} + shorts);
    ok &= write(input, "real-time-inside-sysex",
                Bytes{kTwoFullBuffers, 0x01, 0x01} + realTimeInside + realTimeInside);
    ok &= write(input, "oversized", Bytes{kTwoFullBuffers, 0x3F, 0x01} + oversized + identity);
    ok &= write(input, "oversized-no-requeue",
                Bytes{kTwoFullBuffers, 0xFF, 0x00} + oversized + shortReply(kReplyAckSlice));
    ok &= write(input, "small-buffers", Bytes{kFourSmallBuffers, 0x07, 0x01} + identity);
    ok &= write(input, "interrupted-sysex",
                Bytes{kOneMediumBuffer, 0x00, 0x06} +
                    Bytes{0xF0, 0x00, 0x11, 0x22, 0x90, 0x3C, 0x40, 0xF7, 0x12} + identity);
    ok &= write(input, "stop-half-way",
                Bytes{kOneMediumBuffer, 0x05, 0x03} + identity + identity + identity);

    // As the ALSA backend hands a stream over, each piece behind its length:
    // a SysEx split at every boundary, and in the sequencer's events of up
    // to 256 bytes; real-time and other messages in the middle of a SysEx;
    // one that never ends.
    constexpr std::uint8_t kEvents = 0x08;
    auto pieces = [](const Bytes& stream, std::size_t length) {
        Bytes out;
        for (std::size_t i = 0; i < stream.size(); i += length) {
            const std::size_t n = std::min(length, stream.size() - i);
            out.push_back(std::uint8_t(n & 0xFF));
            out.insert(out.end(), stream.begin() + std::ptrdiff_t(i),
                       stream.begin() + std::ptrdiff_t(i + n));
        }
        return out;
    };
    const Bytes replies3 = identity + shortReply(kReplyAckSlice) + shortReply(kReplyRepeat);
    Bytes splitEverywhere;
    for (std::size_t at = 1; at < identity.size(); ++at) {
        splitEverywhere.push_back(std::uint8_t(at));
        splitEverywhere.insert(splitEverywhere.end(), identity.begin(),
                               identity.begin() + std::ptrdiff_t(at));
        const std::size_t rest = identity.size() - at;
        splitEverywhere.push_back(std::uint8_t(rest));
        splitEverywhere.insert(splitEverywhere.end(), identity.begin() + std::ptrdiff_t(at),
                               identity.end());
    }
    ok &= write(input, "alsa-split-at-every-boundary",
                Bytes{kTwoFullBuffers, 0x00, 0x01 | kEvents} + splitEverywhere);
    ok &= write(input, "alsa-byte-by-byte",
                Bytes{kFourSmallBuffers, 0x00, 0x01 | kEvents} + pieces(replies3, 1));
    ok &= write(input, "alsa-sequencer-events",
                Bytes{kTwoFullBuffers, 0x00, 0x01 | kEvents} + pieces(oversized + identity, 256));
    // RtMidi hands an event that came in the middle of a SysEx over glued
    // to the part before it, and the rest as a piece with no start.
    const auto cutAt = [&](std::size_t at, const Bytes& between) {
        Bytes head(identity.begin(), identity.begin() + std::ptrdiff_t(at));
        return pieces(head + between, 256) +
               pieces(Bytes(identity.begin() + std::ptrdiff_t(at), identity.end()), 256);
    };
    ok &= write(input, "alsa-event-glued-into-sysex",
                Bytes{kTwoFullBuffers, 0x00, 0x01 | kEvents} + cutAt(5, {0xFA}) +
                    cutAt(9, {0x90, 0x3C, 0x40}) + cutAt(12, {0xF0, 0x01, 0xF7}) +
                    pieces(shortReply(kReplyAckSlice), 256));
    Bytes endless{0xF0, 0x00, 0x11, 0x22};
    for (int i = 0; i < 3000; ++i)
        endless.push_back(std::uint8_t(i & 0x7F));
    ok &= write(input, "alsa-sysex-never-ends",
                Bytes{kTwoFullBuffers, 0x00, 0x01 | kEvents} + pieces(identity, 256) +
                    pieces(endless, 256));
    ok &=
        write(input, "alsa-sysex-never-ends-no-requeue",
              Bytes{kOneMediumBuffer, 0x00, kEvents} + pieces(endless, 200) + pieces(identity, 7));

    // The unit's parser: answer mode and schedule, then the tool's messages.
    const std::vector<Bytes> tool = toolMessages();
    if (tool.empty()) {
        std::fprintf(stderr, "could not capture the tool's messages\n");
        return 1;
    }
    const Bytes& identityRequest = tool[0];
    const Bytes& begin = tool[1];
    Bytes block0;
    for (std::size_t i = 2; i < 2 + kSliceCount + 1; ++i)
        block0 = block0 + tool[i];
    const Bytes& nextSlice = tool.back();
    Bytes wrongCode = begin;
    wrongCode[16] ^= 0x01;

    const fs::path unit = root / "devicesimulator";
    ok &= write(unit, "identity-request", Bytes{0x00} + identityRequest);
    ok &= write(unit, "begin-update", Bytes{0x00} + begin);
    ok &= write(unit, "first-block", Bytes{0x00} + begin + block0 + nextSlice);
    ok &= write(unit, "first-block-faults", Bytes{0x02 | (5 << 2)} + begin + block0 + nextSlice);
    ok &= write(unit, "first-block-ignore", Bytes{0x01} + begin + block0 + block0);
    ok &= write(unit, "wrong-access-code", Bytes{0x00} + wrongCode + block0);
    ok &= write(unit, "slice-out-of-order", Bytes{0x00} + begin + tool[3] + tool[2] + tool[8]);
    ok &= write(unit, "garbage",
                Bytes{0x01, 0x90, 0x3C, 0x40, 0xF7, 0xF0, 0x00, 0x11, 0x22, 0x0B, 0x80,
                      0xF7, 0xF0, 0x00, 0x11, 0x22, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A});

    if (!ok) {
        std::fprintf(stderr, "could not write every seed under %s\n", root.c_str());
        return 1;
    }
    std::printf("seeds written under %s\n", root.c_str());
    return 0;
}
