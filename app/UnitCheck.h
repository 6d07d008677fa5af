// Which unit the window is speaking to. Cables can move to another unit
// while the window shows the first one's serial number; the image is
// scrambled for one serial and is useless, or worse, to any other unit. So
// Update first asks the unit who it is, the image is prepared only for the
// serial it has just reported, and from then on only that serial speaks for
// the unit being updated.
#pragma once

#include <cstdint>

class UnitCheck
{
public:
    // Update was pressed while the window showed `shown`.
    void ask(std::uint32_t shown);
    // From Update until the update is announced or given up.
    bool pending() const { return state_ != State::Idle; }
    // The unit has answered as the one shown; the next tick announces.
    bool confirmed() const { return state_ == State::Answered; }

    enum class Tick
    {
        Wait,
        AskAgain,
        GiveUp,
        Announce,
    };
    // Once a second while pending.
    Tick tick();

    // The unit said who it is while pending: true when it is the unit the
    // window showed when Update was pressed.
    bool answered(std::uint32_t serial);

    // Update was given up before anything went out to the unit.
    void drop() { state_ = State::Idle; }

    // The image was scrambled for `serial` and goes out to that unit.
    void updating(std::uint32_t serial) { updated_ = serial; }
    std::uint32_t updatedSerial() const { return updated_; }
    std::uint32_t shownSerial() const { return shown_; }

private:
    enum class State
    {
        Idle,
        Asking,
        // The unit answered; the update is announced on the next tick, once
        // whatever the unit says unasked after an identity reply (a unit
        // left in update mode asks for a fresh start) has come and gone.
        Answered,
    };
    State state_ = State::Idle;
    std::uint32_t shown_ = 0;
    std::uint32_t updated_ = 0;
    int ticks_ = 0;
};
