#include "UnitCheck.h"

namespace {
// As while connecting: the question is harmless, so it is asked again every
// other second; a unit that has not answered in ten has not heard it.
constexpr int kAskEveryTicks = 2;
constexpr int kGiveUpTicks = 10;
} // namespace

void UnitCheck::ask(std::uint32_t shown)
{
    state_ = State::Asking;
    shown_ = shown;
    ticks_ = 0;
}

UnitCheck::Tick UnitCheck::tick()
{
    switch (state_) {
    case State::Idle:
        return Tick::Wait;
    case State::Answered:
        state_ = State::Idle;
        return Tick::Announce;
    case State::Asking:
        break;
    }
    if (++ticks_ >= kGiveUpTicks) {
        state_ = State::Idle;
        return Tick::GiveUp;
    }
    return ticks_ % kAskEveryTicks == 0 ? Tick::AskAgain : Tick::Wait;
}

bool UnitCheck::answered(std::uint32_t serial)
{
    if (serial != shown_) {
        state_ = State::Idle;
        return false;
    }
    state_ = State::Answered;
    return true;
}
