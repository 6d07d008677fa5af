// The controller half of MainWindow: connecting to a unit and running an
// update. Everything here runs on the GUI thread.

#include "ImagePreparation.h"
#include "MainWindow.h"

#include <QIcon>
#include <QMessageBox>
#include <QTimer>

namespace {
constexpr int kMaxPortsPerDirection = 100;
constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 87;
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

    for (int n = 0; n < kMaxPortsPerDirection; ++n) {
        const WCHAR* name = Session.PortPair.InputPortName(n);
        if (!name)
            break;
        MidiInList->insertItem(n, QString::fromUtf16(reinterpret_cast<const char16_t*>(name)));
    }
    for (int n = 0; n < kMaxPortsPerDirection; ++n) {
        const WCHAR* name = Session.PortPair.OutputPortName(n);
        if (!name)
            break;
        MidiOutList->insertItem(n, QString::fromUtf16(reinterpret_cast<const char16_t*>(name)));
    }
    MidiInList->setCurrentRow(InputRow);
    MidiOutList->setCurrentRow(OutputRow);

    TransferButton->setText(tr("Update"));

    const QIcon picture(QString::fromLatin1(kPictureResourcePath));
    IconLabel->setPixmap(
        picture.pixmap(QSize(kPictureWidth, kPictureHeight), QIcon::Normal, QIcon::Off));

    WatchdogCountdown = kWatchdogIdle;
    WatchdogTimer->start(kWatchdogIntervalMs);
}

void MainWindow::Connect()
{
    if (ConnState == Disconnected) {
        InputRow = MidiInList->currentRow();
        OutputRow = MidiOutList->currentRow();
        if (Session.OpenPorts(InputRow, OutputRow)) {
            ConnState = Connecting;
            Session.SendIdentityRequest();
        }
    } else if (ConnState == Connecting || ConnState == Connected) {
        Session.PortPair.Close();
        ConnState = Disconnected;
    }
    refreshControls();
}

void MainWindow::refreshControls()
{
    if (ConnState < Disconnected || ConnState > Connected)
        return;
    TryConText->setVisible(ConnState == Connecting);
    progressBar->hide();
    MidiInList->setEnabled(ConnState == Disconnected);
    MidiOutList->setEnabled(ConnState == Disconnected);
    ConnectButton->setText(ConnState == Disconnected ? tr("Connect") : tr("Disconnect"));
    ConnectButton->setEnabled(true);
    TransferButton->setEnabled(ConnState == Connected);
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
    progressBar->setMinimum(0);
    progressBar->setMaximum(kBlockCount);
    progressBar->setValue(0);
    progressBar->show();

    TransferButton->setEnabled(false);
    ConnectButton->setEnabled(false);

    if (!prepareImage(DeviceSerial))
        return;

    BlockCounter = 0;
    SavedBlockCounter = 0;
    ReachedEnd = false;
    EndResends = 0;
    FirstSliceUnanswered = false;
    SilentResends = 0;
    // Should the unit answer the announcement with an acknowledgement rather
    // than a restart request, the image still starts at its first byte, not
    // wherever an earlier transfer left the sender.
    Session.ImageOffset = 0;
    Session.SendStep = 0;
    Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    Announcements = 1;
    Phase = TransferPhase::Announced;
    // The unit erases its flash before it answers; anything sent meanwhile
    // would be lost on it.
    armWatchdog();
}

void MainWindow::armWatchdog()
{
    const bool unitMayBeBusy = Phase == TransferPhase::Announced || ReachedEnd;
    WatchdogCountdown = unitMayBeBusy ? kBusyWatchdogTicks : kWatchdogTicks;
}

void MainWindow::handleAcknowledge()
{
    // Outside a transfer there is no image for this unit to send.
    if (Phase == TransferPhase::Idle)
        return;

    SavedBlockCounter = BlockCounter;
    SilentResends = 0;
    FirstSliceUnanswered = false;

    if (Phase == TransferPhase::LastCommitOut) {
        // Success only once the unit has confirmed the last commit.
        const QString text = Session.RetryCount != 0
                                 ? tr("transfer successful, %1 retries").arg(Session.RetryCount)
                                 : tr("transfer successful");
        finishTransfer(text);
        return;
    }

    if (Phase == TransferPhase::Announced)
        FirstSliceUnanswered = true; // the first slice answers the announcement
    Phase = TransferPhase::Sending;
    armWatchdog();
    clearBarNote();

    // The bar paints itself at once whenever its step shows; the next
    // message need not wait for that.
    DeferPaint = true;
    progressBar->setValue(BlockCounter);
    DeferPaint = false;
    if (!Session.SendNext(false))
        return;

    ++BlockCounter;
    if (BlockCounter != kBlockCount)
        return;

    progressBar->setValue(BlockCounter);
    Phase = TransferPhase::LastCommitOut;
    ReachedEnd = true;
    // The unit writes and checks its flash before it answers the last commit.
    armWatchdog();
}

void MainWindow::handleRestart()
{
    if (Phase == TransferPhase::Idle)
        return;

    // A second request for a fresh start before the unit answered the first
    // slice asks for what is already on its way: sending it again would put
    // two messages in flight.
    const bool alreadyAtStart = Phase == TransferPhase::Sending && FirstSliceUnanswered &&
                                Session.ImageOffset == 0 && Session.SendStep == 1;

    BlockCounter = 0;
    SavedBlockCounter = 0;
    ReachedEnd = false;
    EndResends = 0;
    SilentResends = 0;
    FirstSliceUnanswered = true;
    Phase = TransferPhase::Sending;
    armWatchdog();
    clearBarNote();
    if (alreadyAtStart) {
        // The count of requests starts again, as with any restart.
        Session.RetryCount = 0;
        return;
    }
    Session.RestartTransfer();
}

void MainWindow::comtimeout()
{
    if (WatchdogCountdown < 0)
        return;
    if (WatchdogCountdown > 0) {
        --WatchdogCountdown;
        // Said only once the wait is long enough to notice: a unit that
        // answers at once never makes the bar flicker.
        if (Phase == TransferPhase::Announced && !BarNoteShown)
            showBarNote(tr("Waiting for the unit to erase its memory..."));
        else if (Phase == TransferPhase::LastCommitOut && !BarNoteShown)
            showBarNote(tr("Waiting for the unit to confirm the last block..."));
        return;
    }

    switch (Phase) {
    case TransferPhase::Idle:
        WatchdogCountdown = kWatchdogIdle;
        return;
    case TransferPhase::Announced:
        if (Announcements >= kMaxAnnouncements) {
            finishTransfer(tr("The unit did not answer the update request.\n\n"
                              "Check the cables and the chosen ports, then press Update again."));
            return;
        }
        Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
        ++Announcements;
        armWatchdog();
        return;
    case TransferPhase::Sending:
    case TransferPhase::LastCommitOut:
        break;
    }

    if (ReachedEnd) {
        // A unit that took every block may restart into its new firmware
        // without a last word; sending the last block without end would not
        // reach it.
        if (EndResends >= kMaxEndResends) {
            finishTransfer(
                tr("The unit received all %1 blocks but did not confirm the last one.\n\n"
                   "If the unit starts with the new firmware, the update is complete. "
                   "Otherwise connect again and repeat the update.")
                    .arg(kBlockCount));
            return;
        }
        ++EndResends;
    }
    BlockCounter = SavedBlockCounter;
    Phase = TransferPhase::Sending;
    Session.SendNext(true);
    ++SilentResends;
    armWatchdog();
    showBarNote(tr("Unit not answering: block %1 sent again (%2)")
                    .arg(BlockCounter + 1)
                    .arg(SilentResends));
}

void MainWindow::showBarNote(const QString& note)
{
    progressBar->setFormat(note);
    BarNoteShown = true;
}

void MainWindow::clearBarNote()
{
    if (!BarNoteShown)
        return;
    progressBar->resetFormat();
    BarNoteShown = false;
}

void MainWindow::endTransfer()
{
    Phase = TransferPhase::Idle;
    WatchdogCountdown = kWatchdogIdle;
    clearBarNote();
}

void MainWindow::finishTransfer(const QString& text)
{
    endTransfer();
    QMessageBox::warning(this, QStringLiteral("Orvik16(KX/LX) Update"), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}
