#include "UnitCheck.h"

namespace {
// As while connecting: the question is harmless, so it is asked again every
// other second; a unit that has not answered in ten has not heard it.
constexpr int kAskEveryTicks = 2;
constexpr int kGiveUpTicks = 10;
} // namespace

void UnitCheck::ask(std::uint32_t shown)
{
    asking_ = true;
    shown_ = shown;
    ticks_ = 0;
}

UnitCheck::Tick UnitCheck::tick()
{
    if (!asking_)
        return Tick::Wait;
    if (++ticks_ >= kGiveUpTicks) {
        asking_ = false;
        return Tick::GiveUp;
    }
    return ticks_ % kAskEveryTicks == 0 ? Tick::AskAgain : Tick::Wait;
}

bool UnitCheck::answered(std::uint32_t serial)
{
    asking_ = false;
    return serial == shown_;
}
