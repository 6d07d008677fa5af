#include "AccessCode.h"
#include "DataSlice.h"
#include "UpdateSession.h"

static_assert(sizeof(UpdateAccessCode) == 4);

namespace {

constexpr int kIdentityRequestLength = kHeaderSize + 1;
constexpr int kCommitLength = kHeaderSize + 2;
constexpr int kBeginUpdateLength = kHeaderSize + 11;

} // namespace

int UpdateSession::BuildHeader(std::uint8_t* buffer, std::uint8_t command)
{
    return WriteFrameHeader(buffer, command);
}

bool UpdateSession::SendIdentityRequest()
{
    auto* buffer = new std::uint8_t[kShortMessageBufferSize];
    int length = BuildHeader(buffer, IdentityRequest);
    buffer[length++] = 0xF7;
    static_assert(kIdentityRequestLength <= kShortMessageBufferSize);
    return PortPair.SendLongMessage(buffer, static_cast<DWORD>(length));
}

bool UpdateSession::SendCommit(std::uint8_t tag)
{
    auto* buffer = new std::uint8_t[kLongMessageBufferSize];
    int length = BuildHeader(buffer, CommitBlock);
    buffer[length++] = tag;
    buffer[length++] = 0xF7;
    static_assert(kCommitLength <= kLongMessageBufferSize);
    return PortPair.SendLongMessage(buffer, static_cast<DWORD>(length));
}

bool UpdateSession::SendBeginUpdate(std::uint8_t param1, std::uint8_t param2, std::uint32_t length)
{
    auto* buffer = new std::uint8_t[kShortMessageBufferSize];
    int n = BuildHeader(buffer, BeginUpdate);
    buffer[n++] = param1;
    buffer[n++] = param2;
    // 28 bits in four 7-bit groups, lowest first; anything above is dropped.
    for (int shift = 0; shift < 28; shift += 7)
        buffer[n++] = static_cast<std::uint8_t>((length >> shift) & 0x7F);
    for (std::uint8_t code : UpdateAccessCode)
        buffer[n++] = code;
    buffer[n++] = 0xF7;
    static_assert(kBeginUpdateLength <= kShortMessageBufferSize);

    const bool sent = PortPair.SendLongMessage(buffer, static_cast<DWORD>(n));
    // The tag cycle starts again with every announced update, even one whose
    // announcement was lost: the unit's restart request is what starts the
    // transfer, and it must meet tag 0.
    CommittedBlocks = 0;
    return sent;
}

bool UpdateSession::SendDataSlice(int slice, std::uint8_t command)
{
    // A session driven past the end of its buffer must not read beyond it;
    // nothing goes out, as for any other refused message.
    if (ImageOffset > kImageBufferSize - kBlockSize || DataSlicePayloadLength(slice) == 0)
        return false;
    auto* buffer = new std::uint8_t[kLongMessageBufferSize];
    const int length = EncodeDataSlice(ImageBuffer.get(), ImageOffset, slice, command, buffer);
    return PortPair.SendLongMessage(buffer, static_cast<DWORD>(length));
}
