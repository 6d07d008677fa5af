#include "PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <QWidget>

#include <algorithm>

namespace {
// No one follows a bar that moves more than about thirty steps a second; at
// this pace it never lags the transfer by more than a step or two.
constexpr qint64 kPaintFrameMs = 33;
} // namespace

// A paint of the bar keeps the GUI thread as long as answering thirty
// replies or more; against a fast unit the bar moves every few hundred
// microseconds, and painting every step would hold back each reply that
// arrives in the middle of one. At the speed of a MIDI cable, a block every
// quarter of a second, every step is still painted as soon as the message
// that follows it has gone.
bool PaintPacer::postpone(const QEvent* e)
{
    if (!held_ || e->type() != QEvent::UpdateRequest)
        return false;
    // The backing store keeps the dirty region for the later paint.
    if (timer_.isActive())
        return true; // that paint takes in this one's region too
    const qint64 since = lastPaint_.isValid() ? lastPaint_.elapsed() : kPaintFrameMs;
    timer_.start(static_cast<int>(std::max<qint64>(0, kPaintFrameMs - since)), Qt::PreciseTimer,
                 this);
    return true;
}

void PaintPacer::timerEvent(QTimerEvent* e)
{
    if (e->timerId() != timer_.timerId()) {
        QObject::timerEvent(e);
        return;
    }
    timer_.stop();
    lastPaint_.start();
    // Paints all of the region the backing store kept.
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window_, &request);
}
