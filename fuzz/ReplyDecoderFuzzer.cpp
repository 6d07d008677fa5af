// Received input buffers through the session's input handler, as the MIDI
// hand-off delivers them: a zero-filled 1024-byte block that the handler
// releases, holding whatever the unit sent, with a recorded count that need
// not agree with it. The ports stay closed, so no replacement is queued.
//
// Input: four bytes of recorded count (little-endian), then the block's bytes
// (the first 1024 of them).
//
// Every result is checked against a plain reading of the reply rules, so a
// decoder that looks past the count, keeps a stale name or miscounts retries
// fails here, not only one that crashes; so does one that acts on a piece of
// a message, or on one that was cut into by another.

#include "FuzzCheck.h"
#include "UpdateSession.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

struct Expected
{
    ReplyCode code = ReplyNone;
    std::int32_t serial = 0;
    std::int32_t version = 0;
    QString name;
    QString serialText;
    std::uint8_t answered = 0;
};

QString serialTextOf(std::uint32_t serial)
{
    int d[9];
    for (int i = 8; i >= 0; --i, serial /= 10)
        d[i] = static_cast<int>(serial % 10);
    const int shown[11] = {d[4], d[7], (d[0] + d[4]) % 10, -1,  d[5], d[2], (d[1] + d[5]) % 10,
                           -1,   d[6], (d[8] + d[6]) % 10, d[3]};
    QString text;
    for (int v : shown)
        text.append(v < 0 ? QLatin1Char('-') : QLatin1Char(static_cast<char>('0' + v)));
    return text;
}

Expected expect(const std::uint8_t* block, DWORD count)
{
    Expected e;
    if (count == 0)
        return e;
    // The driver writes only `count` bytes into a zero-filled block.
    const DWORD valid = std::min<DWORD>(count, kInputBufferSize);
    auto at = [&](DWORD i) -> std::uint32_t { return i < valid ? block[i] : 0u; };
    if (at(0) != 0xF0 || at(1) != 0x00 || at(2) != 0x11 || at(3) != 0x22 || at(4) != 0x0B)
        return e;
    // Whole messages only: F7 last, 7-bit data before it.
    if (valid < 11 || at(valid - 1) != 0xF7)
        return e;
    for (DWORD i = 1; i + 1 < valid; ++i) {
        if (at(i) >= 0x80)
            return e;
    }
    switch (at(9)) {
    case 0x20: {
        if (valid < 13)
            return e;
        e.code = ReplyIdentity;
        const std::uint32_t serial = at(5) | at(6) << 7 | at(7) << 14 | at(8) << 21;
        e.serial = static_cast<std::int32_t>(serial);
        e.version = static_cast<std::int32_t>(at(10) | at(11) << 7);
        for (DWORD i = 12; i < 28 && i + 1 < valid && at(i) != 0x00 && at(i) != 0x7F; ++i)
            e.name.append(QChar(static_cast<char16_t>(at(i))));
        e.serialText = serialTextOf(serial);
        break;
    }
    case 0x29:
    case 0x2A:
        e.code = ReplyAcknowledge;
        e.answered = at(9) == 0x29 ? DataSlice : CommitBlock;
        break;
    case 0x2B:
        e.code = ReplyRepeat;
        break;
    case 0x2E:
        e.code = ReplyRestart;
        break;
    default:
        break;
    }
    return e;
}

UpdateSession& session()
{
    // One session for the whole run, like the window's: identity and retry
    // count carry over from input to input, which is what a stale field
    // would need to show up.
    static UpdateSession* instance = new UpdateSession;
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    const DWORD count =
        DWORD(data[0]) | DWORD(data[1]) << 8 | DWORD(data[2]) << 16 | DWORD(data[3]) << 24;
    data += 4;
    size -= 4;

    auto* header = new MIDIHDR{};
    header->lpData = new char[kInputBufferSize]();
    header->dwBufferLength = kInputBufferSize;
    std::memcpy(header->lpData, data, std::min<std::size_t>(size, kInputBufferSize));
    header->dwBytesRecorded = count;

    // What the driver actually filled, before the handler frees the block.
    std::uint8_t filled[kInputBufferSize] = {};
    std::memcpy(filled, data, std::min<std::size_t>({size, kInputBufferSize, count}));
    const Expected want = expect(filled, count);

    UpdateSession& s = session();
    const std::uint32_t retriesBefore = static_cast<std::uint32_t>(s.RetryCount);
    const std::int32_t serialBefore = s.SerialNumber;
    const QString nameBefore = s.DeviceName;

    const ReplyCode code = s.HandleInput(header);

    FUZZ_CHECK(code == want.code);
    FUZZ_CHECK(s.AcknowledgedCommand == want.answered);
    const std::uint32_t raised = static_cast<std::uint32_t>(s.RetryCount) - retriesBefore;
    FUZZ_CHECK(raised == (code == ReplyRepeat || code == ReplyRestart ? 1u : 0u));
    if (code == ReplyIdentity) {
        FUZZ_CHECK(s.SerialNumber == want.serial);
        FUZZ_CHECK(s.FirmwareVersion == want.version);
        FUZZ_CHECK(s.DeviceName == want.name);
        FUZZ_CHECK(s.SerialText == want.serialText);
        FUZZ_CHECK(std::strlen(s.SerialTextBuffer) == 11);
    } else {
        FUZZ_CHECK(s.SerialNumber == serialBefore);
        FUZZ_CHECK(s.DeviceName == nameBefore);
    }
    FUZZ_CHECK(!s.PortPair.MidiIn.load() && !s.PortPair.MidiOut);
    return 0;
}
