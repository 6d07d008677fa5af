#include "InterfaceGoneNote.h"

#include "WindowWords.h"

#include <QLabel>

using windowwords::tr;

void InterfaceGoneNote::attach(QWidget* area, const QRect& where)
{
    label_ = new QLabel(area);
    label_->setObjectName(QStringLiteral("InterfaceGoneText"));
    label_->setGeometry(where);
    label_->setWordWrap(true);
    label_->hide();
}

void InterfaceGoneNote::show(bool unsure, bool updating)
{
    QString text;
    if (unsure && updating)
        text = tr("More than one MIDI interface of this kind is plugged in, and the window cannot "
                  "tell which holds the unit: it sends nothing. The unit keeps what it has "
                  "received: do not switch it off. Unplug the other one, or press Disconnect.");
    else if (unsure)
        text = tr("More than one MIDI interface of this kind is plugged in, and the window cannot "
                  "tell which holds the unit. Unplug the other one, or press Disconnect and "
                  "pick the ports again.");
    else if (updating)
        text = tr("The MIDI interface has gone. The unit keeps what it has received: do not "
                  "switch it off. The update goes on once the interface is plugged in again.");
    else
        text = tr("The MIDI interface has gone. Plug it in again; the window then asks the unit "
                  "who it is.");
    // Set on every tick while away: the same text again would only repaint.
    if (label_->text() != text)
        label_->setText(text);
    label_->show();
}

void InterfaceGoneNote::hide()
{
    // An update can end before the window has handed over its labels.
    if (label_)
        label_->hide();
}
