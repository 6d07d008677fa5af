#include "IdentityQuestion.h"

#include "WindowWords.h"

#include <QLabel>

using windowwords::tr;

void IdentityQuestion::attach(QWidget* area, const QRect& where, QLabel* status,
                              std::function<bool()> ask)
{
    status_ = status;
    ask_ = std::move(ask);
    timer_.setInterval(kRetryMs);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { askAgain(); });
    noAnswer_ = new QLabel(area);
    noAnswer_->setObjectName(QStringLiteral("NoAnswerText"));
    noAnswer_->setGeometry(where);
    noAnswer_->setWordWrap(true);
    noAnswer_->setText(tr("The unit does not answer. Check both MIDI cables and the chosen "
                          "ports. Still asking..."));
    noAnswer_->hide();
}

void IdentityQuestion::start()
{
    retries_ = 0;
    timer_.start();
}

void IdentityQuestion::pause()
{
    timer_.stop();
    noAnswer_->hide();
}

void IdentityQuestion::stop()
{
    // Before the window has handed over its labels there is nothing to stop.
    if (!status_)
        return;
    timer_.stop();
    status_->setText(tr("try to connect..."));
    noAnswer_->hide();
}

void IdentityQuestion::askAgain()
{
    if (!ask_()) {
        timer_.stop();
        return;
    }
    if (++retries_ == kRetriesBeforeNoAnswer) {
        status_->setText(tr("no answer..."));
        noAnswer_->show();
    }
}
