// macOS: a power assertion against idle sleep, which the system also drops
// should the program end without releasing it.

#include "SleepInhibitor.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

#include <cstdio>

struct SleepInhibitor::Private
{
    bool wanted = false;
    IOPMAssertionID assertion = kIOPMNullAssertionID;
};

SleepInhibitor::SleepInhibitor() : d(std::make_unique<Private>()) {}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::hold(const QString& reason)
{
    if (d->wanted)
        return;
    d->wanted = true;
    const CFStringRef name = reason.toCFString();
    if (IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleSystemSleep,
                                    kIOPMAssertionLevelOn, name,
                                    &d->assertion) != kIOReturnSuccess) {
        d->assertion = kIOPMNullAssertionID;
        std::fputs("orvik16-update: the system refused to stay awake during the update\n", stderr);
    }
    CFRelease(name);
}

void SleepInhibitor::release()
{
    if (!d->wanted)
        return;
    d->wanted = false;
    if (d->assertion != kIOPMNullAssertionID)
        IOPMAssertionRelease(d->assertion);
    d->assertion = kIOPMNullAssertionID;
}

bool SleepInhibitor::held() const
{
    return d->wanted;
}
