// Says below the buttons that the opened pair's interface has gone (see
// PortWatch::away()), and what the user can do while the window waits for
// it.
#pragma once

class QLabel;
class QRect;
class QWidget;

class InterfaceGoneNote
{
public:
    void attach(QWidget* area, const QRect& where);

    // `unsure`: more than one interface of its kind is back, and the window
    // cannot tell which holds the unit. `updating`: a transfer waits for it.
    void show(bool unsure, bool updating);
    void hide();

    QLabel* label() const { return label_; }

private:
    QLabel* label_ = nullptr;
};
