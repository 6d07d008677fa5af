#include "ByteStreamFramer.h"

namespace orvik::devsim {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kTimingClock = 0xF8;
constexpr std::uint8_t kActiveSensing = 0xFE;

// Length of a message begun by `status`, status byte included.
std::size_t lengthOf(std::uint8_t status)
{
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    }
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    default:
        return 1;
    }
}

} // namespace

void ByteStreamFramer::flush()
{
    if (!pending_.empty())
        message_(pending_.data(), pending_.size());
    pending_.clear();
    inSysEx_ = false;
    overflowed_ = false;
    expected_ = 0;
}

void ByteStreamFramer::feed(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        if (b >= kTimingClock) {
            // Real-time bytes may fall anywhere, even inside a SysEx, and
            // interrupt nothing. Clock and sensing are ignored as the
            // sequencer ports of this program ignore them.
            if (b != kTimingClock && b != kActiveSensing)
                message_(&b, 1);
            continue;
        }
        if (b == kSysExEnd && inSysEx_) {
            if (!overflowed_)
                pending_.push_back(b);
            flush();
            continue;
        }
        if (b & 0x80) {
            // Any other status ends what was begun, complete or not: an
            // unfinished SysEx is handed on as it is, for the unit to judge.
            flush();
            if (b == kSysExStart) {
                inSysEx_ = true;
                runningStatus_ = 0;
                pending_.push_back(b);
                continue;
            }
            runningStatus_ = b < 0xF0 ? b : 0;
            pending_.push_back(b);
            expected_ = lengthOf(b);
            if (pending_.size() == expected_)
                flush();
            continue;
        }
        if (inSysEx_) {
            if (overflowed_)
                continue;
            pending_.push_back(b);
            if (pending_.size() == kMaxMessage) {
                message_(pending_.data(), pending_.size());
                pending_.clear();
                overflowed_ = true;
            }
            continue;
        }
        if (pending_.empty()) {
            if (runningStatus_ == 0) {
                // A data byte with nothing to belong to.
                message_(&b, 1);
                continue;
            }
            pending_.push_back(runningStatus_);
            expected_ = lengthOf(runningStatus_);
        }
        pending_.push_back(b);
        if (pending_.size() == expected_)
            flush();
    }
}

} // namespace orvik::devsim
