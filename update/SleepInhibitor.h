// Keeps the machine from suspending or going idle while held: an update cut
// off half-way by a suspend leaves the unit without working firmware.
//
// One implementation per platform. The window only says hold and release;
// asking the system never blocks the GUI thread and never fails the update.
#pragma once

#include <QString>

#include <memory>

class SleepInhibitor
{
public:
    SleepInhibitor();
    // Releases what is still held.
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // `reason` is what the system shows in its list of who keeps it awake.
    // Holding again while held changes nothing. When the system cannot be
    // asked at all, one line goes to standard error and the caller goes on.
    void hold(const QString& reason);
    void release();
    // Between hold() and release(), whether or not the system has granted
    // it yet.
    bool held() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
