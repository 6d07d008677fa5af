// The controller half of MainWindow: connecting to a unit and running an
// update. Everything here runs on the GUI thread.

#include "ImagePreparation.h"
#include "MainWindow.h"

#include "MidiEvent.h"

#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 87;

// The strip below the buttons that the progress bar takes during a transfer;
// a message about connecting never shares it with the bar.
constexpr QRect kNoAnswerTextGeometry(200, 268, 311, 46);

const QString kBoxTitle = QStringLiteral("Orvik16(KX/LX) Update");

} // namespace

void MainWindow::initController()
{
    WatchdogTimer = new QTimer(this);

    connect(ConnectButton, SIGNAL(clicked()), this, SLOT(Connect()));
    connect(TransferButton, SIGNAL(clicked()), this, SLOT(Transfer()));
    connect(WatchdogTimer, SIGNAL(timeout()), this, SLOT(comtimeout()));

    ConnState = Disconnected;
    InputRow = 0;
    OutputRow = 0;

    Session.PortPair.SetReceiver(this);

    progressBar->hide();
    TryConText->hide();
    TransferButton->setEnabled(false);

    Ports.attach(MidiInList, MidiOutList);
    Ports.follow();

    // Created in this order, they overlap in this order too.
    Asking.attach(centralwidget, kNoAnswerTextGeometry, TryConText, [this] {
        if (ConnState != Connecting)
            return false;
        Session.SendIdentityRequest();
        return true;
    });
    ResultNote.attach(centralwidget, kNoAnswerTextGeometry);
    GoneNote.attach(centralwidget, kNoAnswerTextGeometry);

    TransferButton->setText(tr("Update"));

    const QIcon picture(QString::fromLatin1(kPictureResourcePath));
    IconLabel->setPixmap(
        picture.pixmap(QSize(kPictureWidth, kPictureHeight), QIcon::Normal, QIcon::Off));

    WatchdogCountdown = kWatchdogIdle;
    WatchdogTimer->start(kWatchdogIntervalMs);
}

bool MainWindow::watchPorts()
{
    if (ConnState == Disconnected) {
        Ports.follow();
        return true;
    }
    switch (Ports.watch()) {
    case PortWatch::Change::Lost:
        interfaceLost();
        break;
    case PortWatch::Change::Back:
        interfaceBack();
        break;
    case PortWatch::Change::None:
        break;
    }
    if (!Ports.away())
        return true;
    showInterfaceAway();
    // Replies that came in before the interface went may have ended it.
    return !transferRunning();
}

void MainWindow::interfaceLost()
{
    // Asking a closed pair who is there would only end in "no answer".
    Asking.pause();
    ResultNote.hide();
    if (transferRunning()) {
        progressBar->hide();
        // Left waiting for a port that never returns, the user may give up.
        ConnectButton->setEnabled(true);
    } else if (Unit.pending()) {
        // Nothing has gone out yet. Left pending, the update would begin on
        // its own later: into the closed pair, after a Disconnect, or once
        // the interface is back, with no one having pressed Update for what
        // is behind it then.
        Unit.drop();
        giveWindowBack(tr("The MIDI interface went while the unit was being asked who it is, "
                          "so no firmware was sent.\n\nPlug the interface in again; once the "
                          "window shows the unit, press Update."));
    } else {
        refreshControls();
    }
    showInterfaceAway();
    // Replies that came in before the interface went still count.
    QCoreApplication::sendPostedEvents(this, kMidiEventType);
}

void MainWindow::interfaceBack()
{
    GoneNote.hide();
    if (transferRunning()) {
        progressBar->show();
        ConnectButton->setEnabled(false);
        // The unit kept its place and waits; what it answered meanwhile was
        // lost, so the current block goes out again at once.
        WatchdogCountdown = 0;
        return;
    }
    if (Version.running() && ConnState == Connected) {
        // Still asking which firmware the unit runs after an update.
        ResultNote.showAgain();
        Session.SendIdentityRequest();
        refreshControls();
        return;
    }
    // Whoever is behind the ports now is asked who it is, as after Connect;
    // Update waits for the answer.
    ConnState = Connecting;
    startConnecting();
    refreshControls();
}

void MainWindow::showInterfaceAway()
{
    GoneNote.show(Ports.unsure(), transferRunning());
}

void MainWindow::startConnecting()
{
    Session.SendIdentityRequest();
    Asking.start();
}

void MainWindow::Connect()
{
    Version.stop();
    ResultNote.hide();
    if (ConnState == Disconnected) {
        InputRow = MidiInList->currentRow();
        OutputRow = MidiOutList->currentRow();
        if (Ports.open()) {
            ConnState = Connecting;
            startConnecting();
        } else {
            refreshControls();
            QMessageBox::warning(this, kBoxTitle, Ports.failure(), QMessageBox::Ok,
                                 QMessageBox::NoButton);
            // A port that would not open may have gone away meanwhile.
            Ports.follow();
            return;
        }
    } else if (ConnState == Connecting || ConnState == Connected) {
        const bool leftHalfWay = transferRunning();
        if (leftHalfWay)
            endTransfer();
        ConnState = Disconnected;
        // The lists show the ports as they are now, at once: Connect opens
        // what they show.
        Ports.close();
        GoneNote.hide();
        if (leftHalfWay)
            ResultNote.leftUnfinished();
    }
    refreshControls();
}

void MainWindow::refreshControls()
{
    if (ConnState < Disconnected || ConnState > Connected)
        return;
    if (ConnState != Connecting)
        Asking.stop();
    TryConText->setVisible(ConnState == Connecting);
    progressBar->hide();
    MidiInList->setEnabled(ConnState == Disconnected);
    MidiOutList->setEnabled(ConnState == Disconnected);
    ConnectButton->setText(ConnState == Disconnected ? tr("Connect") : tr("Disconnect"));
    ConnectButton->setEnabled(true);
    TransferButton->setEnabled(ConnState == Connected && !Ports.away());
    if (ConnState == Disconnected) {
        SnEdit->setText(QString());
        VersionEdit->setText(QString());
    }
}

void MainWindow::showIdentity()
{
    DeviceSerial = static_cast<std::uint32_t>(Session.SerialNumber);
    DeviceSerialText = Session.SerialText;
    DeviceNameCopy = Session.DeviceName;
    DeviceVersion = Session.FirmwareVersion;

    SnEdit->setText(DeviceSerialText);
    // Low byte first: 0x0602 is version 2.06.
    VersionEdit->setText(QString::asprintf("%ld.%02ld", static_cast<long>(DeviceVersion & 0xFF),
                                           static_cast<long>((DeviceVersion >> 8) & 0xFF)));
}

void MainWindow::close1()
{
    Session.PortPair.Close();
    ConnState = Disconnected;
    QTimer::singleShot(500, this, &QWidget::close);
}

bool MainWindow::prepareImage(std::uint32_t seed)
{
    return ::prepareImage(Session.ImageData(), seed);
}

void MainWindow::Transfer()
{
    Version.stop();
    ResultNote.hide();
    progressBar->setMinimum(0);
    progressBar->setMaximum(kBlockCount);
    progressBar->setValue(0);
    progressBar->show();

    TransferButton->setEnabled(false);
    ConnectButton->setEnabled(false);

    // The serial shown may be another unit's by now: the image is scrambled
    // only for the serial the unit reports in answer to this question.
    Unit.ask(DeviceSerial);
    Note.show(tr("Asking the unit who it is..."));
    Session.SendIdentityRequest();
}

void MainWindow::beginUpdate()
{
    Note.clear();
    if (!prepareImage(DeviceSerial)) {
        // Nothing has reached the unit yet; it keeps the firmware it runs.
        giveWindowBack(tr("The firmware image built into this program could not be read, so "
                          "the update did not start. The unit was not touched and keeps its "
                          "firmware.\n\nInstall this program again, then press Update."));
        return;
    }
    Unit.updating(DeviceSerial);
    BlockCounter = 0;
    SavedBlockCounter = 0;
    // Should the unit answer the announcement with an acknowledgement rather
    // than a restart request, the image still starts at its first byte, not
    // wherever an earlier transfer left the sender.
    Session.ImageOffset = 0;
    Session.SendStep = 0;
    Session.StrayAcknowledgements = 0;
    // A suspend half-way would leave the unit with half an image.
    KeepAwake.hold(tr("Updating the firmware of an Orvik16 unit"));
    Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    Run.announced();
    // The unit erases its flash before it answers; anything sent meanwhile
    // would be lost on it.
    armWatchdog();
}

void MainWindow::armWatchdog()
{
    WatchdogCountdown = Run.unitMayBeBusy() ? kBusyWatchdogTicks : kWatchdogTicks;
}

void MainWindow::handleAcknowledge()
{
    // Outside a transfer there is no image for this unit to send.
    if (!Run.active())
        return;
    // A late or doubled answer says nothing of the message in flight: taken
    // for its answer, it would put a second message in flight, and a slice's
    // answer taken for a lost commit's would count a block the unit never
    // committed. It does not re-arm the watchdog either, for the same reason.
    if (!Session.AnswersMessageInFlight()) {
        ++Session.StrayAcknowledgements;
        return;
    }

    SavedBlockCounter = BlockCounter;
    if (Run.answered()) {
        // Success only once the unit has confirmed the last commit: the check
        // above let nothing but the commit's own answer through.
        const QString text = Session.RetryCount != 0
                                 ? tr("transfer successful, %1 retries").arg(Session.RetryCount)
                                 : tr("transfer successful");
        finishTransfer(text, true);
        return;
    }
    armWatchdog();
    Note.clear();

    // The bar paints itself at once whenever its step shows; the next
    // message need not wait for that.
    Paints.holdPaintsWhile([this] { progressBar->setValue(BlockCounter); });
    if (!Session.SendNext(false))
        return;

    ++BlockCounter;
    if (BlockCounter != kBlockCount)
        return;

    progressBar->setValue(BlockCounter);
    Run.lastCommitOut();
    // The unit writes and checks its flash before it answers the last commit.
    armWatchdog();
}

void MainWindow::handleRestart()
{
    if (!Run.active())
        return;

    // A second request for a fresh start before the unit answered the first
    // slice asks for what is already on its way: sending it again would put
    // two messages in flight.
    const bool alreadyAtStart =
        Run.firstSliceUnanswered() && Session.ImageOffset == 0 && Session.SendStep == 1;

    BlockCounter = 0;
    SavedBlockCounter = 0;
    Run.restarted();
    armWatchdog();
    Note.clear();
    if (alreadyAtStart) {
        // The count of requests starts again, as with any restart.
        Session.RetryCount = 0;
        return;
    }
    Session.RestartTransfer();
}

void MainWindow::comtimeout()
{
    if (!watchPorts())
        return;
    if (Version.running())
        versionCheckTick();
    if (Unit.pending()) {
        // Nothing is out yet for the watchdog to look after.
        unitCheckTick();
        return;
    }
    if (WatchdogCountdown < 0)
        return;
    if (WatchdogCountdown > 0) {
        --WatchdogCountdown;
        noteLongWait();
        return;
    }
    watchdogRanOut();
}

void MainWindow::noteLongWait()
{
    // Said only once the wait is long enough to notice: a unit that answers
    // at once never makes the bar flicker.
    if (Note.shown())
        return;
    if (Run.phase() == TransferPhase::Announced)
        Note.show(tr("Waiting for the unit to erase its memory..."));
    else if (Run.phase() == TransferPhase::LastCommitOut)
        Note.show(tr("Waiting for the unit to confirm the last block..."));
}

void MainWindow::watchdogRanOut()
{
    switch (Run.phase()) {
    case TransferPhase::Idle:
        WatchdogCountdown = kWatchdogIdle;
        return;
    case TransferPhase::Announced:
        if (!Run.announceAgain()) {
            finishTransfer(tr("The unit did not answer the update request.\n\n"
                              "Check the cables and the chosen ports, then press Update again."));
            return;
        }
        Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
        armWatchdog();
        return;
    case TransferPhase::Sending:
    case TransferPhase::LastCommitOut:
        break;
    }

    // A unit that took every block may restart into its new firmware
    // without a last word; sending the last block without end would not
    // reach it.
    if (!Run.sendAgain()) {
        finishTransfer(tr("The unit received all %1 blocks but did not confirm the last one.\n\n"
                          "The window now asks the unit which firmware it runs and shows its "
                          "answer below the buttons.")
                           .arg(kBlockCount),
                       true);
        return;
    }
    BlockCounter = SavedBlockCounter;
    Session.SendNext(true);
    armWatchdog();
    Note.show(tr("Unit not answering: block %1 sent again (%2)")
                  .arg(BlockCounter + 1)
                  .arg(Run.silentResends()));
}

void MainWindow::endTransfer()
{
    Run.end();
    WatchdogCountdown = kWatchdogIdle;
    GoneNote.hide();
    Note.clear();
    KeepAwake.release();
    // Whatever its answer would have been, the box that follows says more.
    Closing.dismiss();
}

void MainWindow::finishTransfer(const QString& text, bool unitRestarts)
{
    endTransfer();
    QMessageBox::warning(this, QStringLiteral("Orvik16(KX/LX) Update"), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
    if (unitRestarts && ConnState == Connected)
        startVersionCheck();
}
