#include "UpdateSession.h"

#include <QChar>

#include <algorithm>

namespace {

constexpr std::uint8_t kFrameStart = 0xF0;
constexpr std::uint8_t kFrameEnd = 0xF7;
constexpr int kCommandOffset = 9;
constexpr int kSerialOffset = 5;
constexpr int kVersionOffset = 10;
constexpr int kNameOffset = 12;
constexpr int kNameLength = 16;
constexpr int kSerialDigits = 9;
// Header, command and the closing F7: all a short reply has.
constexpr DWORD kShortReplySize = kHeaderSize + 1;
// An identity reply must reach past its version; the name may end early.
constexpr DWORD kShortestIdentityReply = kNameOffset + 1;

// Reads the received bytes as if they lay in a zero-filled input buffer: what
// the count does not cover reads as 0, whatever the pointer holds beyond it.
struct ReplyBytes
{
    const std::uint8_t* data;
    DWORD count;
    std::uint32_t operator[](DWORD i) const { return i < count ? data[i] : 0u; }
};

// Only a whole message is acted on: one that ends in F7 and has nothing but
// 7-bit data before it. A SysEx longer than the input buffer reaches us in
// pieces, the first without its F7, and a cable glitch can cut one message
// into the start of another; acting on either could take a stray byte for an
// acknowledgement or for the unit's serial number.
bool isWholeMessage(const ReplyBytes& b)
{
    if (b.count < kShortReplySize || b[b.count - 1] != kFrameEnd)
        return false;
    for (DWORD i = 1; i + 1 < b.count; ++i) {
        if (b[i] & 0x80)
            return false;
    }
    return true;
}

// Not raise(): Windows' C runtime declares a global raise(int), and the call
// would be ambiguous there.
void incrementWrapping(std::int32_t& counter)
{
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1);
}

} // namespace

ReplyCode UpdateSession::DecodeReply(const std::uint8_t* bytes, DWORD count)
{
    // Every message, even one that is no reply, says what the last one
    // answered: a stale value must never vouch for a later message.
    AcknowledgedCommand = 0;
    if (count == 0 || !bytes)
        return ReplyNone;
    const ReplyBytes b{bytes, count < kInputBufferSize ? count : kInputBufferSize};

    if (b[0] != kFrameStart || b[1] != kManufacturerId[0] || b[2] != kManufacturerId[1] ||
        b[3] != kManufacturerId[2] || b[4] != kModelId || !isWholeMessage(b))
        return ReplyNone;

    switch (b[kCommandOffset]) {
    case kReplyIdentity: {
        if (b.count < kShortestIdentityReply)
            return ReplyNone;
        const std::uint32_t serial = b[kSerialOffset] | b[kSerialOffset + 1] << 7 |
                                     b[kSerialOffset + 2] << 14 | b[kSerialOffset + 3] << 21;
        SerialNumber = static_cast<std::int32_t>(serial);
        FirmwareVersion = static_cast<std::int32_t>(b[kVersionOffset] | b[kVersionOffset + 1] << 7);

        // The name ends early at a 00 or 7F, and always at the closing F7.
        DeviceName.clear();
        const DWORD nameEnd = std::min<DWORD>(kNameOffset + kNameLength, b.count - 1);
        for (DWORD i = kNameOffset; i < nameEnd; ++i) {
            const std::uint32_t c = b[i];
            if (c == 0x00 || c == 0x7F)
                break;
            DeviceName.append(QChar::fromLatin1(static_cast<char>(c)));
        }

        SerialText.clear();
        SerialText.append(QString::fromLatin1(FormatSerialText(SerialNumber)));
        return ReplyIdentity;
    }
    case kReplyAckSlice:
        AcknowledgedCommand = DataSlice;
        return ReplyAcknowledge;
    case kReplyAckCommit:
        AcknowledgedCommand = CommitBlock;
        return ReplyAcknowledge;
    case kReplyRepeat:
        incrementWrapping(RetryCount);
        return ReplyRepeat;
    case kReplyRestart:
        incrementWrapping(RetryCount);
        return ReplyRestart;
    default:
        return ReplyNone;
    }
}

const char* UpdateSession::FormatSerialText(std::int32_t serial)
{
    // Nine digits hold every serial a unit can report. Anything else (a
    // negative or oversized value from a garbled reply) is taken as unsigned
    // 32-bit and reduced modulo 10^9, so that the text still has exactly
    // nine digits to draw from and the buffer can never overflow.
    std::uint32_t value = static_cast<std::uint32_t>(serial);
    value %= 1000000000u;

    int d[kSerialDigits];
    for (int i = kSerialDigits - 1; i >= 0; --i) {
        d[i] = static_cast<int>(value % 10);
        value /= 10;
    }

    // The display order scrambles the digits and inserts three check digits.
    const int layout[11] = {d[4], d[7], (d[0] + d[4]) % 10, -1,  d[5], d[2], (d[1] + d[5]) % 10,
                            -1,   d[6], (d[8] + d[6]) % 10, d[3]};
    for (int i = 0; i < 11; ++i)
        SerialTextBuffer[i] = layout[i] < 0 ? '-' : static_cast<char>('0' + layout[i]);
    SerialTextBuffer[11] = '\0';
    return SerialTextBuffer;
}
