#include "MainWindow.h"

#include "MidiEvent.h"

#include <QCloseEvent>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    DeviceSerialText = QString();
    DeviceNameCopy = QString();
    setupUi(this);
    Note.attach(progressBar);
}

// Members go in reverse order: the strings, then the session, which closes
// the MIDI ports while the window that receives their events still exists;
// the base class then deletes the widgets and the watchdog timer.
MainWindow::~MainWindow() = default;

bool MainWindow::event(QEvent* e)
{
    MidiEvent::Receive(e);
    if (Paints.postpone(e))
        return true;
    if (e->type() != static_cast<QEvent::Type>(kMidiEventType))
        return QWidget::event(e);

    // The buffer leaves the event here, so that the event's destructor does
    // not release it a second time.
    MIDIHDR* header = static_cast<MidiEvent*>(e)->TakeHeader();
    switch (Session.HandleInput(header)) {
    case ReplyAcknowledge:
        handleAcknowledge();
        break;
    case ReplyRestart:
        handleRestart();
        break;
    case ReplyIdentity:
        if (ConnState == Connecting) {
            ConnState = Connected;
            refreshControls();
        }
        showIdentity();
        identityReported();
        break;
    default:
        // A repeat request was already counted by the decoder; the watchdog
        // sends the block again.
        break;
    }
    return true;
}

void MainWindow::closeEvent(QCloseEvent* e)
{
    if (!Closing.mayClose(transferRunning())) {
        e->ignore();
        return;
    }
    KeepAwake.release();
    e->accept();
}
