#include "MainWindow.h"

#include "MidiEvent.h"

#include <QCloseEvent>
#include <QCoreApplication>

#include <utility>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    DeviceSerialText = QString();
    DeviceNameCopy = QString();
    setupUi(this);
}

// Members go in reverse order: the strings, then the session, which closes
// the MIDI ports while the window that receives their events still exists;
// the base class then deletes the widgets and the watchdog timer.
MainWindow::~MainWindow() = default;

bool MainWindow::event(QEvent* e)
{
    if (e->type() == QEvent::UpdateRequest && DeferPaint) {
        // A widget wants to be painted at once while a reply is being
        // answered, which would hold back the answer. The backing store keeps
        // the dirty region; the posted request paints it from the event loop
        // once the answer has gone.
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
        return true;
    }
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
    e->accept();
}
