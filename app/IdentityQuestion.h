// While Connecting, the identity request is a harmless question: asked again
// every other second, so that one lost reply does not leave the window
// waiting for good. Once the unit has stayed silent for ten seconds, the
// window says so below the buttons, where the progress bar goes during a
// transfer.
#pragma once

#include <QTimer>

#include <functional>

class QLabel;
class QRect;
class QWidget;

class IdentityQuestion
{
public:
    // The message goes in `area` at `where`; `status` is the window's line
    // beside Connect. `ask` sends the question once more, or returns
    // false when the window has stopped connecting meanwhile.
    void attach(QWidget* area, const QRect& where, QLabel* status, std::function<bool()> ask);

    // The question has gone out for the first time.
    void start();
    // There is no one to ask for now: no more questions, and no message.
    void pause();
    // Connected or disconnected: the asking and its words are done with.
    void stop();

    // A tick of the timer; tests run it by hand.
    void askAgain();

    bool asking() const { return timer_.isActive(); }
    QLabel* noAnswerText() const { return noAnswer_; }

    static constexpr int kRetryMs = 2000;
    // Ten seconds of silence: the unit is not listening.
    static constexpr int kRetriesBeforeNoAnswer = 5;

private:
    QTimer timer_;
    QLabel* status_ = nullptr;
    QLabel* noAnswer_ = nullptr;
    std::function<bool()> ask_;
    int retries_ = 0;
};
