// Where one transfer stands, and what the watchdog has sent again during it.
// It decides nothing about the bytes: the window sends what it is told may
// go out, and reports back what the unit answered.
#pragma once

#include <cstdint>

// Only a running transfer sends image data: the image is prepared for the
// connected unit's serial by Update alone.
enum class TransferPhase : std::uint8_t
{
    Idle,          // no transfer: replies about the image change nothing
    Announced,     // begin-update sent, the unit has not answered it yet
    Sending,       // blocks going out, one message per answer
    LastCommitOut, // the last block's commit is out, its answer is due
};

class TransferRun
{
public:
    TransferPhase phase() const { return phase_; }
    bool active() const { return phase_ != TransferPhase::Idle; }

    // The first begin-update has gone out.
    void announced()
    {
        phase_ = TransferPhase::Announced;
        announcements_ = 1;
        reachedEnd_ = false;
        endResends_ = 0;
        firstSliceUnanswered_ = false;
        silentResends_ = 0;
    }

    // The unit answered the message in flight. True when that message was
    // the last commit: the whole image is confirmed.
    bool answered()
    {
        silentResends_ = 0;
        firstSliceUnanswered_ = false;
        if (phase_ == TransferPhase::LastCommitOut)
            return true;
        if (phase_ == TransferPhase::Announced)
            firstSliceUnanswered_ = true; // the first slice answers the announcement
        phase_ = TransferPhase::Sending;
        return false;
    }

    void lastCommitOut()
    {
        phase_ = TransferPhase::LastCommitOut;
        reachedEnd_ = true;
    }

    // Slice 0 of block 0 is out and unanswered: a restart request now asks
    // for what is already on its way.
    bool firstSliceUnanswered() const
    {
        return phase_ == TransferPhase::Sending && firstSliceUnanswered_;
    }

    // The unit asked for a fresh start; slice 0 is on its way, or about to be.
    void restarted()
    {
        reachedEnd_ = false;
        endResends_ = 0;
        silentResends_ = 0;
        firstSliceUnanswered_ = true;
        phase_ = TransferPhase::Sending;
    }

    // Every commit has gone out once since the last restart. From then on
    // the unit may be busy writing its flash, so silence is waited out for
    // longer, and the last block goes out again only a few times.
    bool unitMayBeBusy() const { return phase_ == TransferPhase::Announced || reachedEnd_; }

    // The watchdog ran out before the unit answered the announcement: false
    // once it has been announced often enough; otherwise counts one more.
    bool announceAgain()
    {
        if (announcements_ >= kMaxAnnouncements)
            return false;
        ++announcements_;
        return true;
    }

    // The watchdog ran out while blocks were going out: false once the last
    // block has gone out again often enough; otherwise counts the re-send,
    // and blocks go out again.
    bool sendAgain()
    {
        if (reachedEnd_) {
            if (endResends_ >= kMaxEndResends)
                return false;
            ++endResends_;
        }
        phase_ = TransferPhase::Sending;
        ++silentResends_;
        return true;
    }

    void end() { phase_ = TransferPhase::Idle; }

    int announcements() const { return announcements_; } // begin-updates sent
    int silentResends() const { return silentResends_; } // since the unit last spoke

    static constexpr int kMaxAnnouncements = 3;
    static constexpr int kMaxEndResends = 2;

private:
    TransferPhase phase_ = TransferPhase::Idle;
    int announcements_ = 0;
    bool reachedEnd_ = false;
    int endResends_ = 0;
    bool firstSliceUnanswered_ = false;
    int silentResends_ = 0;
};
