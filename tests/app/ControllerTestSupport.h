// Helpers for driving MainWindow's controller from tests: replies as the unit
// would send them, delivered the way the MIDI hand-off delivers them, and a
// watcher that answers the success box.
#pragma once

#include "MainWindow.h"
#include "MidiEvent.h"
#include "MidiPortPair.h"
#include "UnitReplies.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <cstring>
#include <vector>

namespace testsupport {

// Hands `bytes` to the window in an input buffer exactly like the one the
// port pair queues, inside a MidiEvent, as the MIDI thread's post would.
inline bool deliver(MainWindow& window, const std::vector<std::uint8_t>& bytes)
{
    auto* header = new MIDIHDR{};
    header->lpData = new char[kInputBufferSize]();
    header->dwBufferLength = kInputBufferSize;
    if (!bytes.empty())
        std::memcpy(header->lpData, bytes.data(), bytes.size());
    header->dwBytesRecorded = static_cast<DWORD>(bytes.size());
    MidiEvent event(header);
    return QCoreApplication::sendEvent(&window, &event);
}

// Update as the user presses it, and the unit shown answers the question who
// it is: on the next tick the image is prepared and the update announced.
inline void pressUpdate(MainWindow& window)
{
    window.Transfer();
    deliver(window, identityReply(window.DeviceSerial, 0x0602));
    window.comtimeout();
}

// The acknowledgement a unit gives the message in flight: a commit's while
// the last message out was a commit, a slice's otherwise.
inline void acknowledge(MainWindow& window)
{
    deliver(window, replyFrame(window.Session.SendStep == 7 ? 0x2A : 0x29));
}

// Answers every QMessageBox that opens, records its title and text, and
// closes it with OK, as a user would.
class MessageBoxAnswerer : public QObject
{
public:
    MessageBoxAnswerer()
    {
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            // A box without OK is a question the test answers itself.
            if (!box || !box->button(QMessageBox::Ok) || box->property("answered").toBool())
                return;
            box->setProperty("answered", true);
            titles << box->windowTitle();
            texts << box->text();
            buttons << box->standardButtons();
            box->button(QMessageBox::Ok)->click();
        });
        timer.start();
    }

    QTimer timer;
    QStringList titles;
    QStringList texts;
    QList<QMessageBox::StandardButtons> buttons;
};

} // namespace testsupport
