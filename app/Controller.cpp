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
    AwaitingLastAck = false;
    Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    // Nothing else would ever send again if the announcement or the unit's
    // answer to it were lost: the window would wait with its buttons locked
    // for good. The watchdog announces the update again instead; a unit
    // answers every announcement with a restart request.
    AwaitingStart = true;
    WatchdogCountdown = kWatchdogTicks;
}

void MainWindow::handleAcknowledge()
{
    SavedBlockCounter = BlockCounter;
    WatchdogCountdown = kWatchdogTicks;
    AwaitingStart = false;

    if (BlockCounter == kBlockCount) {
        // Success only once the unit has confirmed the last commit: until
        // then that commit may have been lost, and the watchdog must still be
        // able to send the last block again.
        if (!AwaitingLastAck)
            return;
        AwaitingLastAck = false;
        WatchdogCountdown = kWatchdogIdle;
        reportSuccess();
        return;
    }

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
    AwaitingLastAck = true;
}

void MainWindow::reportSuccess()
{
    const QString text = Session.RetryCount != 0
                             ? tr("transfer successful, %1 retries").arg(Session.RetryCount)
                             : tr("transfer successful");
    QMessageBox::warning(this, QStringLiteral("Orvik16(KX/LX) Update"), text, QMessageBox::Ok,
                         QMessageBox::NoButton);
    refreshControls();
    progressBar->hide();
}

void MainWindow::handleRestart()
{
    BlockCounter = 0;
    SavedBlockCounter = 0;
    AwaitingLastAck = false;
    AwaitingStart = false;
    WatchdogCountdown = kWatchdogTicks;
    Session.RestartTransfer();
}

void MainWindow::comtimeout()
{
    if (WatchdogCountdown < 0)
        return;
    if (WatchdogCountdown > 0) {
        --WatchdogCountdown;
        return;
    }
    if (AwaitingStart) {
        Session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
        WatchdogCountdown = kWatchdogTicks;
        return;
    }
    // A finished transfer has nothing left to send.
    if (BlockCounter == kBlockCount && !AwaitingLastAck)
        return;
    BlockCounter = SavedBlockCounter;
    AwaitingLastAck = false;
    Session.SendNext(true);
    WatchdogCountdown = kWatchdogTicks;
}
