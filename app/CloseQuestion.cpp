#include "CloseQuestion.h"

#include "WindowWords.h"

#include <QMessageBox>
#include <QPushButton>

using windowwords::tr;

bool CloseQuestion::mayClose(bool updating)
{
    if (!updating || confirmed_)
        return true;
    ask();
    return false;
}

void CloseQuestion::ask()
{
    if (box_) {
        box_->raise();
        box_->activateWindow();
        return;
    }
    auto* box = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Orvik16(KX/LX) Update"),
        tr("The update is still running. Closing now stops it half-way and leaves the unit "
           "with an incomplete firmware image; it may not start until it is updated again."),
        QMessageBox::NoButton, window_);
    box->setObjectName(QStringLiteral("CloseQuestion"));
    QPushButton* closeAnyway = box->addButton(tr("&Close anyway"), QMessageBox::DestructiveRole);
    QPushButton* keepUpdating = box->addButton(tr("&Keep updating"), QMessageBox::RejectRole);
    box->setDefaultButton(keepUpdating);
    box->setEscapeButton(keepUpdating);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::buttonClicked, window_,
                     [this, closeAnyway](QAbstractButton* button) {
                         if (button != closeAnyway)
                             return;
                         confirmed_ = true;
                         window_->close();
                     });
    box_ = box;
    // Window-modal and without a loop of its own: the replies that drive the
    // transfer keep coming in through the main loop meanwhile.
    box->open();
}

void CloseQuestion::dismiss()
{
    if (!box_)
        return;
    box_->disconnect(window_);
    box_->reject();
    box_ = nullptr;
}
