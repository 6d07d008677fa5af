// Sizes, frame bytes and codes shared by the tool and the unit.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kImageSize = 450560;
inline constexpr std::uint32_t kBlockSize = 512;
inline constexpr int kBlockCount = 880;
inline constexpr int kSliceSize = 112;
inline constexpr int kSliceCount = 6;
inline constexpr int kEncodedBlockSize = 643;
inline constexpr std::uint32_t kImageBufferSize = 1048576;

inline constexpr int kHeaderSize = 10;
inline constexpr std::uint8_t kManufacturerId[3] = {0x00, 0x11, 0x22};
inline constexpr std::uint8_t kModelId = 0x0B;
inline constexpr int kShortMessageBufferSize = 48;
inline constexpr int kLongMessageBufferSize = 1344;

enum SysExCommand : std::uint8_t {
    IdentityRequest = 0,
    DataSlice = 9,
    CommitBlock = 10,
    BeginUpdate = 14,
};

enum ReplyCode : int {
    ReplyNone = 0,
    ReplyIdentity = 1,
    ReplyAcknowledge = 5,
    ReplyRepeat = 7,
    ReplyRestart = 11,
};

// Reply command bytes: the unit answers command c with c + 32.
inline constexpr std::uint8_t kReplyIdentity = 0x20;
inline constexpr std::uint8_t kReplyAckSlice = 0x29;
inline constexpr std::uint8_t kReplyAckCommit = 0x2A;
inline constexpr std::uint8_t kReplyRepeat = 0x2B;
inline constexpr std::uint8_t kReplyRestart = 0x2E;

// Version carried by BeginUpdate: the image's 2.06.
inline constexpr std::uint8_t kImageVersionMajor = 2;
inline constexpr std::uint8_t kImageVersionMinor = 6;
