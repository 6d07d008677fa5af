// After an update the unit restarts into its new firmware and ignores what
// reaches it meanwhile: it is asked who it is every other tick until it
// answers, for a minute at most.
#pragma once

class VersionCheck
{
public:
    enum class Tick
    {
        Wait,
        Ask,
        GiveUp,
    };

    void start() { ticks_ = 0; }
    void stop() { ticks_ = -1; }
    bool running() const { return ticks_ >= 0; }

    Tick tick()
    {
        if (!running())
            return Tick::Wait;
        if (++ticks_ >= kWaitTicks) {
            stop();
            return Tick::GiveUp;
        }
        return ticks_ % kAskTicks == 0 ? Tick::Ask : Tick::Wait;
    }

    static constexpr int kAskTicks = 2;
    static constexpr int kWaitTicks = 60;

private:
    int ticks_ = -1;
};
