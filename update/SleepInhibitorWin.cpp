// Windows: the execution state of the thread that runs the update, which is
// the GUI thread for the whole of it.

#include "SleepInhibitor.h"

#include <windows.h>

struct SleepInhibitor::Private
{
    bool wanted = false;
};

SleepInhibitor::SleepInhibitor() : d(std::make_unique<Private>()) {}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::hold(const QString&)
{
    if (d->wanted)
        return;
    d->wanted = true;
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

void SleepInhibitor::release()
{
    if (!d->wanted)
        return;
    d->wanted = false;
    SetThreadExecutionState(ES_CONTINUOUS);
}

bool SleepInhibitor::held() const
{
    return d->wanted;
}
