#include "MainWindow.h"

#include "MidiEvent.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimerEvent>

#include <algorithm>

namespace {
// No one follows a bar that moves more than about thirty steps a second; at
// this pace it never lags the transfer by more than a step or two.
constexpr qint64 kPaintFrameMs = 33;
} // namespace

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
    MidiEvent::Receive(e);
    if (e->type() == QEvent::UpdateRequest && DeferPaint) {
        // A widget wants to be painted at once while a reply is being
        // answered, which would hold back the answer. The backing store keeps
        // the dirty region; it is painted later (see timerEvent()).
        deferPaint();
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
        identityReported();
        break;
    default:
        // A repeat request was already counted by the decoder; the watchdog
        // sends the block again.
        break;
    }
    return true;
}

// Paints what the progress bar asked for while a reply was being answered,
// from the event loop once the next message has gone, and never sooner than
// kPaintFrameMs after the previous such paint. A paint of the bar keeps the GUI
// thread as long as answering thirty replies or more; against a fast unit
// the bar moves every few hundred microseconds, and painting every step
// would hold back each reply that arrives in the middle of one. At the speed
// of a MIDI cable, a block every quarter of a second, every step is still
// painted as soon as the message that follows it has gone.
void MainWindow::deferPaint()
{
    if (PaintTimer.isActive())
        return; // that paint takes in this one's dirty region too
    const qint64 since = LastDeferredPaint.isValid() ? LastDeferredPaint.elapsed() : kPaintFrameMs;
    PaintTimer.start(static_cast<int>(std::max<qint64>(0, kPaintFrameMs - since)), Qt::PreciseTimer,
                     this);
}

void MainWindow::timerEvent(QTimerEvent* e)
{
    if (e->timerId() != PaintTimer.timerId()) {
        QMainWindow::timerEvent(e);
        return;
    }
    PaintTimer.stop();
    LastDeferredPaint.start();
    // The backing store kept the dirty region; this paints all of it.
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(this, &request);
}

void MainWindow::closeEvent(QCloseEvent* e)
{
    if (transferRunning() && !CloseConfirmed) {
        e->ignore();
        askBeforeClosing();
        return;
    }
    KeepAwake.release();
    e->accept();
}

void MainWindow::askBeforeClosing()
{
    if (CloseQuestion) {
        CloseQuestion->raise();
        CloseQuestion->activateWindow();
        return;
    }
    auto* box = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Orvik16(KX/LX) Update"),
        tr("The update is still running. Closing now stops it half-way and leaves the unit "
           "with an incomplete firmware image; it may not start until it is updated again."),
        QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("CloseQuestion"));
    QPushButton* closeAnyway = box->addButton(tr("&Close anyway"), QMessageBox::DestructiveRole);
    QPushButton* keepUpdating = box->addButton(tr("&Keep updating"), QMessageBox::RejectRole);
    box->setDefaultButton(keepUpdating);
    box->setEscapeButton(keepUpdating);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, closeAnyway](QAbstractButton* button) {
        if (button != closeAnyway)
            return;
        CloseConfirmed = true;
        close();
    });
    CloseQuestion = box;
    // Window-modal and without a loop of its own: the replies that drive the
    // transfer keep coming in through the main loop meanwhile.
    box->open();
}

void MainWindow::dismissCloseQuestion()
{
    if (!CloseQuestion)
        return;
    CloseQuestion->disconnect(this);
    CloseQuestion->reject();
    CloseQuestion = nullptr;
}
