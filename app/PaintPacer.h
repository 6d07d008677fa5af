// Paints of the window that come due while a reply is being answered wait
// until the next message has gone, and come at most about thirty times a
// second.
#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

class QWidget;

class PaintPacer : public QObject
{
public:
    explicit PaintPacer(QWidget* window) : window_(window) {}

    // Runs `answer` with the window's paints held back.
    template <class Answer>
    void holdPaintsWhile(Answer&& answer)
    {
        held_ = true;
        answer();
        held_ = false;
    }

    // From the window's event(): true when `e` is a paint that waits.
    bool postpone(const QEvent* e);

protected:
    void timerEvent(QTimerEvent* e) override;

private:
    QWidget* const window_;
    bool held_ = false;
    QBasicTimer timer_;
    QElapsedTimer lastPaint_;
};
