// The window's part of an update, in small, on the real UpdateSession: acts
// on every reply the way the controller does, and re-sends the current block
// when the unit stays silent, as the tool's watchdog does.
#pragma once

#include "MidiEvent.h"
#include "Protocol.h"
#include "UpdateSession.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

namespace testsupport {

class ToolDriver : public QObject
{
public:
    explicit ToolDriver(int watchdogMs)
    {
        watchdog.setSingleShot(true);
        watchdog.setInterval(watchdogMs);
        connect(&watchdog, &QTimer::timeout, this, [this] {
            ++watchdogFires;
            resend();
        });
        session.PortPair.SetReceiver(this);
    }

    bool event(QEvent* e) override
    {
        MidiEvent::Receive(e);
        if (e->type() != QEvent::Type(kMidiEventType))
            return QObject::event(e);
        switch (session.HandleInput(static_cast<MidiEvent*>(e)->TakeHeader())) {
        case ReplyIdentity:
            identified = true;
            break;
        case ReplyAcknowledge:
            if (transferring) {
                watchdog.start();
                if (session.SendNext(false) && session.ImageOffset == kImageSize) {
                    transferring = false;
                    watchdog.stop();
                }
            }
            break;
        case ReplyRestart:
            ++restarts;
            transferring = true;
            watchdog.start();
            session.RestartTransfer();
            break;
        case ReplyRepeat:
            ++repeats;
            resend(); // without waiting the watchdog's seconds
            break;
        default:
            break;
        }
        if (changed)
            changed();
        return true;
    }

    void resend()
    {
        if (!transferring)
            return;
        session.SendNext(true);
        watchdog.start();
    }

    UpdateSession session;
    QTimer watchdog;
    std::function<void()> changed;
    bool identified = false;
    bool transferring = false;
    int restarts = 0;
    int repeats = 0;
    int watchdogFires = 0;
};

// Runs the event loop until `done` holds. QTRY_* would poll with sleeps of
// 10 ms between rounds, one round per message here: minutes per update.
inline bool waitFor(ToolDriver& tool, const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    tool.changed = [&] {
        if (done())
            loop.quit();
    };
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    tool.changed = nullptr;
    return done();
}

} // namespace testsupport
