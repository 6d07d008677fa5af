// Closing the window in the middle of an update would leave the unit with
// half an image: a close request then asks first, and the update goes on
// while the question is open.
#pragma once

#include <QMessageBox>
#include <QPointer>

class QWidget;

class CloseQuestion
{
public:
    explicit CloseQuestion(QWidget* window) : window_(window) {}

    // From the window's closeEvent(): true when it may close now; otherwise
    // the question is open (or raised again) and the request is refused.
    bool mayClose(bool updating);

    // The update has ended: the question has nothing left to protect, and
    // the box that follows says more than its answer would.
    void dismiss();

    // The open question, if any.
    QMessageBox* box() const { return box_; }

private:
    void ask();

    QWidget* const window_;
    QPointer<QMessageBox> box_;
    bool confirmed_ = false;
};
