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
    bool asking() const { return asking_; }

    enum class Tick
    {
        Wait,
        AskAgain,
        GiveUp,
    };
    // Once a second while asking.
    Tick tick();

    // The unit answered while asked: true when it is the unit the window
    // showed when Update was pressed.
    bool answered(std::uint32_t serial);
    std::uint32_t shownSerial() const { return shown_; }

    // The image was scrambled for `serial` and goes out to that unit.
    void updating(std::uint32_t serial) { updated_ = serial; }
    std::uint32_t updatedSerial() const { return updated_; }

private:
    bool asking_ = false;
    std::uint32_t shown_ = 0;
    std::uint32_t updated_ = 0;
    int ticks_ = 0;
};
