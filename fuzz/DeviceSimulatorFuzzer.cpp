// Arbitrary messages into a fresh simulated unit, as if the tool had sent
// them: the unit must take any bytes at all, keep its counts sane and only
// ever answer with frames a real unit could send.
//
// Input: byte 0 picks how the unit answers a bad message (bit 0) and whether
// it also misbehaves on schedule (bit 1, the rest seeds the schedule); the
// rest is cut into messages after every F7, and whatever follows the last F7
// is one more message.

#include "DeviceSimulator.h"
#include "FuzzCheck.h"
#include "Protocol.h"

#include <algorithm>
#include <cstdint>

using namespace orvik::devsim;

namespace {

bool ownFrame(const std::vector<std::uint8_t>& m)
{
    return m.size() >= 5 && m[0] == 0xF0 && m[1] == kManufacturerId[0] &&
           m[2] == kManufacturerId[1] && m[3] == kManufacturerId[2] && m[4] == kModelId;
}

bool knownReply(std::uint8_t command)
{
    return command == kReplyIdentity || command == kReplyAckSlice || command == kReplyAckCommit ||
           command == kReplyRepeat || command == kReplyRestart;
}

void checkReply(const std::vector<std::uint8_t>& m)
{
    FUZZ_CHECK(m.size() >= 11);
    FUZZ_CHECK(m.back() == 0xF7);
    for (std::size_t i = 1; i + 1 < m.size(); ++i)
        FUZZ_CHECK(m[i] < 0x80);
    switch (m[9]) {
    case kReplyIdentity:
        break;
    case kReplyAckSlice:
    case kReplyAckCommit:
    case kReplyRepeat:
    case kReplyRestart:
        FUZZ_CHECK(m.size() == 11);
        FUZZ_CHECK(!m[5] && !m[6] && !m[7] && !m[8]);
        break;
    default:
        FUZZ_CHECK(!"reply with an unknown command");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    DeviceSettings settings;
    settings.onBadMessage = data[0] & 1 ? BadMessageReply::Ignore : BadMessageReply::Repeat;
    if (data[0] & 2)
        settings.faults = FaultSchedule::random(6, data[0] >> 2, 20);
    ++data;
    --size;

    int answers = 0;
    // Set when the schedule puts foreign traffic on the wire for this
    // message: some of it uses the unit's own frame with commands no reply
    // has, on purpose.
    bool foreign = false;
    // No expected image: the fuzzer cannot deliver 880 valid blocks anyway,
    // and a mismatch is a normal outcome.
    DeviceSimulator unit(settings, {}, [&](Reply reply) {
        const auto& m = reply.bytes;
        if (foreign && (!ownFrame(m) || m.size() < 10 || !knownReply(m[9])))
            return;
        FUZZ_CHECK(ownFrame(m));
        checkReply(m);
        ++answers;
    });
    unit.setEventSink([&](const Event& e) {
        if (e.kind == Event::Kind::UpdateEnded || e.kind == Event::Kind::Progress)
            FUZZ_CHECK(e.report);
        if (e.kind == Event::Kind::Injected &&
            (e.injection == Injection::Unrelated || e.injection == Injection::Oversized))
            foreign = true;
    });

    std::uint64_t sent = 0;
    if (size == 0) {
        unit.receive(nullptr, 0);
        ++sent;
    }
    while (size > 0) {
        const auto* end = std::find(data, data + size, std::uint8_t{0xF7});
        const std::size_t length = end == data + size ? size : std::size_t(end - data) + 1;
        answers = 0;
        foreign = false;
        unit.receive(data, length);
        ++sent;
        // An answer, and a second copy when the schedule duplicates it.
        FUZZ_CHECK(answers <= 2);
        data += length;
        size -= length;
    }

    const Stats& stats = unit.stats();
    FUZZ_CHECK(stats.messagesReceived == sent);
    FUZZ_CHECK(unit.report().blocksPresent >= 0 && unit.report().blocksPresent <= kBlockCount);
    FUZZ_CHECK(stats.updatesMatched == 0);
    FUZZ_CHECK(stats.blocksCommitted <= sent);
    return 0;
}
