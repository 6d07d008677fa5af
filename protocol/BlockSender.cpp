#include "UpdateSession.h"

namespace {

constexpr std::uint32_t kStepCommit = kSliceCount;        // slice 5 sent, commit next
constexpr std::uint32_t kStepCommitted = kSliceCount + 1; // commit sent, next block
constexpr std::int32_t kTagCycle = 8;

std::uint8_t commitTag(std::int32_t committedBlocks)
{
    // Tag 0 marks the first block of an update; later blocks cycle through
    // 1..8 so that the unit can tell a repeated commit from a new one.
    if (committedBlocks == 0)
        return 0;
    return static_cast<std::uint8_t>(
        (static_cast<std::uint32_t>(committedBlocks) & (kTagCycle - 1)) + 1);
}

} // namespace

bool UpdateSession::SendNext(bool repeat)
{
    if (repeat) {
        if (SendStep == kStepCommitted) {
            // The commit was never acknowledged: the block goes out again and
            // its new commit must carry the same tag as the lost one.
            ImageOffset -= kBlockSize;
            CommittedBlocks =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(CommittedBlocks) - 1);
        }
        SendStep = 0;
        SendDataSlice(0, DataSlice);
        SendStep = 1;
        return false;
    }

    if (SendStep == 0 || SendStep == kStepCommitted) {
        SendDataSlice(0, DataSlice);
        SendStep = 1;
        return false;
    }
    if (SendStep < kStepCommit) {
        SendDataSlice(static_cast<int>(SendStep), DataSlice);
        ++SendStep;
        return false;
    }
    if (SendStep == kStepCommit) {
        SendCommit(commitTag(CommittedBlocks));
        ImageOffset += kBlockSize;
        CommittedBlocks =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(CommittedBlocks) + 1);
        SendStep = kStepCommitted;
        return true;
    }
    return false;
}

bool UpdateSession::RestartTransfer()
{
    // CommittedBlocks stays: the unit has seen those tags, and a restarted
    // block 0 must not be mistaken for the first commit of a fresh update.
    RetryCount = 0;
    ImageOffset = 0;
    SendStep = 0;
    return SendNext(false);
}

bool UpdateSession::AnswersMessageInFlight() const
{
    if (SendStep == 0)
        return true; // nothing of the image is out: the first answer starts it
    if (SendStep <= kStepCommit)
        return AcknowledgedCommand == DataSlice;
    if (SendStep == kStepCommitted)
        return AcknowledgedCommand == CommitBlock;
    return false;
}
