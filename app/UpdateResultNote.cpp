#include "UpdateResultNote.h"

#include "WindowWords.h"

#include <QLabel>

using windowwords::tr;

void UpdateResultNote::attach(QWidget* area, const QRect& where)
{
    label_ = new QLabel(area);
    label_->setObjectName(QStringLiteral("UpdateResultText"));
    label_->setGeometry(where);
    label_->setWordWrap(true);
    label_->hide();
}

void UpdateResultNote::hide()
{
    label_->hide();
}

void UpdateResultNote::showAgain()
{
    label_->show();
}

void UpdateResultNote::askingForVersion()
{
    label_->setText(tr("Asking the unit which firmware it runs now; it may take a "
                       "few seconds to restart..."));
    label_->show();
}

void UpdateResultNote::leftUnfinished()
{
    label_->setText(tr("The update was left unfinished: the unit holds part of the new firmware. "
                       "Do not switch it off; plug the interface in, connect and press Update."));
    label_->show();
}

void UpdateResultNote::noAnswerForVersion()
{
    label_->setText(
        tr("The unit has not answered for a minute since the update, so the firmware it "
           "runs is not known. Check that it is on and both MIDI cables are in, then press "
           "Disconnect and Connect."));
}

void UpdateResultNote::otherUnitAnswered(const QString& answered, const QString& updated)
{
    label_->setText(
        tr("A unit with serial number %1 answered, not the unit just updated (%2), so the "
           "firmware that one runs is not known. Connect the updated unit, then press "
           "Disconnect and Connect.")
            .arg(answered, updated));
}

void UpdateResultNote::runsThisUpdate(const QString& version)
{
    label_->setText(tr("The unit now runs firmware %1, the version of this update.").arg(version));
}

void UpdateResultNote::runsOtherVersion(const QString& reported, const QString& expected)
{
    label_->setText(tr("The unit reports firmware %1, not %2.").arg(reported, expected));
}
