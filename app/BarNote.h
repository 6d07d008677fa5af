// What the transfer waits for, written over the progress bar in place of its
// percentage until the unit answers again.
#pragma once

#include <QProgressBar>
#include <QString>

class BarNote
{
public:
    void attach(QProgressBar* bar) { bar_ = bar; }

    void show(const QString& note)
    {
        bar_->setFormat(note);
        shown_ = true;
    }

    void clear()
    {
        if (!shown_)
            return;
        bar_->resetFormat();
        shown_ = false;
    }

    bool shown() const { return shown_; }

private:
    QProgressBar* bar_ = nullptr;
    bool shown_ = false;
};
