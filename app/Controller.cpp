// The controller half of MainWindow: connecting to a unit and running an
// update. Everything here runs on the GUI thread.

#include "ImagePreparation.h"
#include "MainWindow.h"

#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

namespace {
constexpr int kMaxPortsPerDirection = 100;
constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 87;

// The strip below the buttons that the progress bar takes during a transfer;
// a message about connecting never shares it with the bar.
constexpr QRect kNoAnswerTextGeometry(200, 268, 311, 46);

const QString kBoxTitle = QStringLiteral("Orvik16(KX/LX) Update");

// What the MIDI system's answer means for someone at the keyboard.
QString openFailureReason(MMRESULT result)
{
    switch (result) {
    case MMSYSERR_ALLOCATED:
        return MainWindow::tr("it is in use by another program. Close the other program "
                              "and try again.");
    case MMSYSERR_BADDEVICEID:
    case MIDIERR_NODEVICE:
        return MainWindow::tr("it is no longer there. Was the interface unplugged? Connect "
                              "it, then start this tool again.");
    case MMSYSERR_NODRIVER:
        return MainWindow::tr("the MIDI system cannot reach it; its driver or server is "
                              "not running.");
    case MMSYSERR_NOMEM:
        return MainWindow::tr("the system is out of memory.");
    default:
        return MainWindow::tr("the MIDI system gave error %1.").arg(result);
    }
}

QString chosenPortName(const QListWidget* list, int row)
{
    const QListWidgetItem* item = row >= 0 ? list->item(row) : nullptr;
    return item ? item->text() : MainWindow::tr("(none chosen)");
}

// Fills `list` with the ports `name` gives; says what to do when there are
// none. Returns the number of ports.
template <typename PortName>
int fillPortList(QListWidget* list, PortName name, const QString& whenEmpty)
{
    int n = 0;
    for (; n < kMaxPortsPerDirection; ++n) {
        const WCHAR* text = name(n);
        if (!text)
            break;
        list->insertItem(n, QString::fromUtf16(reinterpret_cast<const char16_t*>(text)));
    }
    if (n == 0) {
        // Not a port: it cannot be chosen, and Connect stays disabled.
        auto* item = new QListWidgetItem(whenEmpty, list);
        item->setFlags(Qt::NoItemFlags);
    }
    return n;
}
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

    // The lists are read once: a port that appears later needs a new start.
    const int inputPorts = fillPortList(
        MidiInList, [this](int n) { return Session.PortPair.InputPortName(n); },
        tr("No MIDI input port found.\nConnect the MIDI interface,\nthen start this tool again."));
    const int outputPorts = fillPortList(
        MidiOutList, [this](int n) { return Session.PortPair.OutputPortName(n); },
        tr("No MIDI output port found.\nConnect the MIDI interface,\nthen start this tool "
           "again."));
    if (inputPorts > 0)
        MidiInList->setCurrentRow(InputRow);
    if (outputPorts > 0)
        MidiOutList->setCurrentRow(OutputRow);
    NoPorts = inputPorts == 0 || outputPorts == 0;
    ConnectButton->setEnabled(!NoPorts);

    IdentityRetryTimer = new QTimer(this);
    IdentityRetryTimer->setInterval(kIdentityRetryMs);
    connect(IdentityRetryTimer, &QTimer::timeout, this, &MainWindow::askIdentityAgain);
    NoAnswerText = new QLabel(centralwidget);
    NoAnswerText->setObjectName(QStringLiteral("NoAnswerText"));
    NoAnswerText->setGeometry(kNoAnswerTextGeometry);
    NoAnswerText->setWordWrap(true);
    NoAnswerText->setText(tr("The unit does not answer. Check both MIDI cables and the chosen "
                             "ports. Still asking..."));
    NoAnswerText->hide();

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
            IdentityRetries = 0;
            IdentityRetryTimer->start();
        } else {
            // One port may have opened; it must not stay held by this tool.
            Session.PortPair.Close();
            refreshControls();
            reportPortsNotOpened();
            return;
        }
    } else if (ConnState == Connecting || ConnState == Connected) {
        Session.PortPair.Close();
        ConnState = Disconnected;
    }
    refreshControls();
}

void MainWindow::reportPortsNotOpened()
{
    QStringList lines;
    if (Session.PortPair.InputOpenResult != MMSYSERR_NOERROR)
        lines << tr("The MIDI input port \"%1\" could not be opened: %2")
                     .arg(chosenPortName(MidiInList, InputRow),
                          openFailureReason(Session.PortPair.InputOpenResult));
    if (Session.PortPair.OutputOpenResult != MMSYSERR_NOERROR)
        lines << tr("The MIDI output port \"%1\" could not be opened: %2")
                     .arg(chosenPortName(MidiOutList, OutputRow),
                          openFailureReason(Session.PortPair.OutputOpenResult));
    QMessageBox::warning(this, kBoxTitle, lines.join(QStringLiteral("\n\n")), QMessageBox::Ok,
                         QMessageBox::NoButton);
}

void MainWindow::askIdentityAgain()
{
    if (ConnState != Connecting) {
        IdentityRetryTimer->stop();
        return;
    }
    Session.SendIdentityRequest();
    if (++IdentityRetries == kRetriesBeforeNoAnswer) {
        TryConText->setText(tr("no answer..."));
        NoAnswerText->show();
    }
}

void MainWindow::refreshControls()
{
    if (ConnState < Disconnected || ConnState > Connected)
        return;
    if (ConnState != Connecting && IdentityRetryTimer) {
        IdentityRetryTimer->stop();
        TryConText->setText(tr("try to connect..."));
        NoAnswerText->hide();
    }
    TryConText->setVisible(ConnState == Connecting);
    progressBar->hide();
    MidiInList->setEnabled(ConnState == Disconnected);
    MidiOutList->setEnabled(ConnState == Disconnected);
    ConnectButton->setText(ConnState == Disconnected ? tr("Connect") : tr("Disconnect"));
    ConnectButton->setEnabled(ConnState != Disconnected || !NoPorts);
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
