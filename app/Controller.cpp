// The controller half of MainWindow: connecting to a unit and running an
// update. Everything here runs on the GUI thread.

#include "ImagePreparation.h"
#include "MainWindow.h"

#include "MidiEvent.h"

#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>

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
        return MainWindow::tr("it is no longer there. Was the interface unplugged? Plug it in "
                              "again; its ports come back in the lists.");
    case MMSYSERR_NODRIVER:
        return MainWindow::tr("the MIDI system cannot reach it; its driver or server is "
                              "not running.");
    case MMSYSERR_NOMEM:
        return MainWindow::tr("the system is out of memory.");
    default:
        return MainWindow::tr("the MIDI system gave error %1.").arg(result);
    }
}

// The names `name` gives for 0, 1, 2, ... up to the first it has none for.
template <typename PortName>
QStringList portNames(PortName name)
{
    QStringList names;
    for (int n = 0; n < kMaxPortsPerDirection; ++n) {
        const WCHAR* text = name(n);
        if (!text)
            break;
        names << QString::fromUtf16(reinterpret_cast<const char16_t*>(text));
    }
    return names;
}

// The ports a list shows now; its line about having none is not one.
QStringList shownPorts(const QListWidget* list)
{
    QStringList names;
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->flags() != Qt::NoItemFlags)
            names << list->item(row)->text();
    }
    return names;
}

// Shows `names` in `list`, which says what to do when there are none. The
// row picked is `picked` while that port is there, else the one current
// before, else the first. Returns whether there is a port. A list that
// already shows these names is left alone, so that a tick never moves it
// under the user's hand.
bool showPorts(QListWidget* list, const QStringList& names, const QString& picked,
               const QString& whenEmpty)
{
    if (list->count() > 0 && shownPorts(list) == names)
        return !names.isEmpty();
    const QSignalBlocker quiet(list);
    const QListWidgetItem* current = list->currentItem();
    const QString before =
        current && current->flags() != Qt::NoItemFlags ? current->text() : QString();
    list->clear();
    list->addItems(names);
    if (names.isEmpty()) {
        // Not a port: it cannot be chosen.
        auto* item = new QListWidgetItem(whenEmpty, list);
        item->setFlags(Qt::NoItemFlags);
        return false;
    }
    int row = names.indexOf(picked);
    if (row < 0)
        row = names.indexOf(before);
    list->setCurrentRow(std::max(row, 0));
    return true;
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

    // What the user picks is remembered by name; the lists' own changes
    // of the current row (see showPorts()) are not picks.
    connect(MidiInList, &QListWidget::currentTextChanged, this,
            [this](const QString& name) { PickedInput = name; });
    connect(MidiOutList, &QListWidget::currentTextChanged, this,
            [this](const QString& name) { PickedOutput = name; });
    followPorts();

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
    UpdateResultText = new QLabel(centralwidget);
    UpdateResultText->setObjectName(QStringLiteral("UpdateResultText"));
    UpdateResultText->setGeometry(kNoAnswerTextGeometry);
    UpdateResultText->setWordWrap(true);
    UpdateResultText->hide();
    InterfaceGoneText = new QLabel(centralwidget);
    InterfaceGoneText->setObjectName(QStringLiteral("InterfaceGoneText"));
    InterfaceGoneText->setGeometry(kNoAnswerTextGeometry);
    InterfaceGoneText->setWordWrap(true);
    InterfaceGoneText->setText(
        tr("The MIDI interface has gone. The unit keeps what it has received: do not switch it "
           "off. The update goes on once the interface is plugged in again."));
    InterfaceGoneText->hide();

    TransferButton->setText(tr("Update"));

    const QIcon picture(QString::fromLatin1(kPictureResourcePath));
    IconLabel->setPixmap(
        picture.pixmap(QSize(kPictureWidth, kPictureHeight), QIcon::Normal, QIcon::Off));

    WatchdogCountdown = kWatchdogIdle;
    WatchdogTimer->start(kWatchdogIntervalMs);
}

void MainWindow::followPorts()
{
    // Once a pair is open the rows are what it was opened from.
    if (ConnState != Disconnected)
        return;
    NoInputPorts = !showPorts(
        MidiInList, portNames([this](int n) { return Session.PortPair.InputPortName(n); }),
        PickedInput,
        tr("No MIDI input port found.\nConnect the MIDI interface;\nits ports appear here."));
    NoOutputPorts = !showPorts(
        MidiOutList, portNames([this](int n) { return Session.PortPair.OutputPortName(n); }),
        PickedOutput,
        tr("No MIDI output port found.\nConnect the MIDI interface;\nits ports appear here."));
}

void MainWindow::Connect()
{
    VersionCheckTicks = -1;
    UpdateResultText->hide();
    if (ConnState == Disconnected) {
        InputRow = MidiInList->currentRow();
        OutputRow = MidiOutList->currentRow();
        if (Session.OpenPorts(InputRow, OutputRow)) {
            OpenedInput = MidiInList->item(InputRow)->text();
            OpenedOutput = MidiOutList->item(OutputRow)->text();
            ConnState = Connecting;
            Session.SendIdentityRequest();
            IdentityRetries = 0;
            IdentityRetryTimer->start();
        } else {
            // One port may have opened; it must not stay held by this tool.
            Session.PortPair.Close();
            refreshControls();
            reportPortsNotOpened();
            // A port that would not open may have gone away meanwhile.
            followPorts();
            return;
        }
    } else if (ConnState == Connecting || ConnState == Connected) {
        const bool leftHalfWay = transferRunning();
        if (leftHalfWay)
            endTransfer();
        Session.PortPair.Close();
        ConnState = Disconnected;
        OpenedInput.clear();
        OpenedOutput.clear();
        if (leftHalfWay) {
            UpdateResultText->setText(
                tr("The update was left unfinished: the unit holds part of the new firmware. "
                   "Do not switch it off; plug the interface in, connect and press Update."));
            UpdateResultText->show();
        }
    }
    refreshControls();
}

bool MainWindow::followInterface()
{
    // Without names there is nothing to find again.
    if (!transferRunning() || OpenedInput.isEmpty() || OpenedOutput.isEmpty())
        return true;
    const int input = int(portNames([this](int n) {
                              return Session.PortPair.InputPortName(n);
                          }).indexOf(OpenedInput));
    const int output = int(portNames([this](int n) {
                               return Session.PortPair.OutputPortName(n);
                           }).indexOf(OpenedOutput));
    const bool listed = input >= 0 && output >= 0;
    if (!InterfaceGone) {
        if (listed)
            return true;
        // The numbers the pair was opened from may now name other ports;
        // nothing goes out until the ports of these names are back.
        Session.PortPair.Close();
        InterfaceGone = true;
        progressBar->hide();
        InterfaceGoneText->show();
        // Left waiting for a port that never returns, the user may give up.
        ConnectButton->setEnabled(true);
        // Replies that came in before the interface went still count.
        QCoreApplication::sendPostedEvents(this, kMidiEventType);
        return !transferRunning();
    }
    if (!listed || !Session.OpenPorts(input, output)) {
        Session.PortPair.Close();
        return false;
    }
    InterfaceGone = false;
    InterfaceGoneText->hide();
    progressBar->show();
    ConnectButton->setEnabled(false);
    // The unit kept its place and waits; what it answered meanwhile was
    // lost, so the current block goes out again at once.
    WatchdogCountdown = 0;
    return true;
}

void MainWindow::reportPortsNotOpened()
{
    QStringList lines;
    const QListWidgetItem* input = InputRow >= 0 ? MidiInList->item(InputRow) : nullptr;
    const QListWidgetItem* output = OutputRow >= 0 ? MidiOutList->item(OutputRow) : nullptr;
    if (NoInputPorts || NoOutputPorts)
        lines << tr("There is no MIDI port to connect to. Connect the MIDI interface; its "
                    "ports appear in the lists within a second.");
    else if (!input || !output)
        lines << tr("Choose the unit's ports in both lists, then press Connect.");
    if (input && Session.PortPair.InputOpenResult != MMSYSERR_NOERROR)
        lines << tr("The MIDI input port \"%1\" could not be opened: %2")
                     .arg(input->text(), openFailureReason(Session.PortPair.InputOpenResult));
    if (output && Session.PortPair.OutputOpenResult != MMSYSERR_NOERROR)
        lines << tr("The MIDI output port \"%1\" could not be opened: %2")
                     .arg(output->text(), openFailureReason(Session.PortPair.OutputOpenResult));
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
    VersionCheckTicks = -1;
    UpdateResultText->hide();
    progressBar->setMinimum(0);
    progressBar->setMaximum(kBlockCount);
    progressBar->setValue(0);
    progressBar->show();

    TransferButton->setEnabled(false);
    ConnectButton->setEnabled(false);

    // The serial shown may be another unit's by now: the image is scrambled
    // only for the serial the unit reports in answer to this question.
    Unit.ask(DeviceSerial);
    showBarNote(tr("Asking the unit who it is..."));
    Session.SendIdentityRequest();
}

void MainWindow::beginUpdate()
{
    clearBarNote();
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
    ReachedEnd = false;
    EndResends = 0;
    FirstSliceUnanswered = false;
    SilentResends = 0;
    // Should the unit answer the announcement with an acknowledgement rather
    // than a restart request, the image still starts at its first byte, not
    // wherever an earlier transfer left the sender.
    Session.ImageOffset = 0;
    Session.SendStep = 0;
    Session.StrayAcknowledgements = 0;
    // A suspend half-way would leave the unit with half an image.
    KeepAwake.hold(tr("Updating the firmware of an Orvik16 unit"));
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
    // A late or doubled answer says nothing of the message in flight: taken
    // for its answer, it would put a second message in flight, and a slice's
    // answer taken for a lost commit's would count a block the unit never
    // committed. It does not re-arm the watchdog either, for the same reason.
    if (!Session.AnswersMessageInFlight()) {
        ++Session.StrayAcknowledgements;
        return;
    }

    SavedBlockCounter = BlockCounter;
    SilentResends = 0;
    FirstSliceUnanswered = false;

    if (Phase == TransferPhase::LastCommitOut) {
        // Success only once the unit has confirmed the last commit: the check
        // above let nothing but the commit's own answer through.
        const QString text = Session.RetryCount != 0
                                 ? tr("transfer successful, %1 retries").arg(Session.RetryCount)
                                 : tr("transfer successful");
        finishTransfer(text, true);
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
    followPorts();
    if (!followInterface())
        return;
    if (VersionCheckTicks >= 0)
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
                   "The window now asks the unit which firmware it runs and shows its "
                   "answer below the buttons.")
                    .arg(kBlockCount),
                true);
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
    InterfaceGone = false;
    if (InterfaceGoneText)
        InterfaceGoneText->hide();
    clearBarNote();
    KeepAwake.release();
    // Whatever its answer would have been, the box that follows says more.
    dismissCloseQuestion();
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
