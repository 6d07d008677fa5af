// The one window: its form, and the controller that connects to a unit and
// runs an update.
#pragma once

#include "BarNote.h"
#include "CloseQuestion.h"
#include "IdentityQuestion.h"
#include "InterfaceGoneNote.h"
#include "PaintPacer.h"
#include "PortWatch.h"
#include "SleepInhibitor.h"
#include "TransferRun.h"
#include "UnitCheck.h"
#include "UpdateResultNote.h"
#include "UpdateSession.h"
#include "VersionCheck.h"
#include "ui_MainWindow.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>

class QTimer;

enum ConnectionState : std::int32_t
{
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
};

class MainWindow : public QMainWindow, public Ui_MainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up step of the controller: runs once, after the window is shown
    // and before the event loop.
    void initController();

public slots:
    void Connect();
    void Transfer();
    void close1();
    void comtimeout();

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

public:
    void refreshControls();
    // On every tick: while Disconnected the lists follow the ports the MIDI
    // system has now; once a pair is open, whether its interface is still
    // there. Returns false while a transfer waits for it.
    bool watchPorts();
    // The opened pair's interface went, or came back and is open again.
    void interfaceLost();
    void interfaceBack();
    void showInterfaceAway();
    // The pair is open: the unit is asked who it is until it answers.
    void startConnecting();
    void showIdentity();
    void armWatchdog();
    // What the bar says while the watchdog counts down.
    void noteLongWait();
    // The unit stayed silent for the whole countdown: what went out last
    // goes out again, or the transfer is given up.
    void watchdogRanOut();
    bool prepareImage(std::uint32_t seed);
    // What an identity reply means beyond the fields it fills: the answer
    // before an update, another unit during one, or the version after one.
    void identityReported();
    void unitCheckTick();
    // The unit answered as the one shown: the image is prepared for it and
    // the update announced.
    void beginUpdate();
    // Ends what Update began with `text` in a box, the window connected.
    void giveWindowBack(const QString& text);
    QString serialText(std::uint32_t serial);
    void handleAcknowledge();
    void handleRestart();

    bool transferRunning() const { return Run.active(); }
    // Every end of a transfer goes through here before its one box: the
    // watchdog goes idle and replies about the image stop counting.
    void endTransfer();
    // Ends the transfer, shows `text` in the update's one box, and gives the
    // window back to the user.
    // `unitRestarts`: the unit may have taken the whole image and be
    // restarting into it; its version is then asked for again.
    void finishTransfer(const QString& text, bool unitRestarts = false);

    // After an update, the unit is asked who it is until it answers with
    // the firmware it now runs, or for a minute (see Version).
    void startVersionCheck();
    void versionCheckTick();
    void versionReported();

    UpdateSession Session;
    // The ports behind the lists and the opened pair.
    PortWatch Ports{Session.PortPair};

    // Connection controller.
    std::int32_t ConnState = Disconnected;
    std::int32_t InputRow = 0;
    std::int32_t OutputRow = 0;
    std::uint32_t DeviceSerial = 0;
    std::int32_t DeviceVersion = 0;
    QString DeviceSerialText;
    QString DeviceNameCopy;
    // Who is there, asked again while Connecting.
    IdentityQuestion Asking;
    // Closing now would leave the unit with half an image.
    CloseQuestion Closing{this};
    // Held from Update to the end of the transfer.
    SleepInhibitor KeepAwake;
    UnitCheck Unit;
    // Says that the opened pair's interface has gone (see Ports.away()).
    InterfaceGoneNote GoneNote;
    VersionCheck Version;
    // Where the progress bar was: what the update came to.
    UpdateResultNote ResultNote;

    // Transfer controller.
    std::int32_t BlockCounter = 0;
    std::int32_t SavedBlockCounter = 0;
    std::int8_t WatchdogCountdown = kWatchdogIdle;
    QTimer* WatchdogTimer = nullptr;
    // Where the transfer stands, and what went out again during it.
    TransferRun Run;
    BarNote Note;
    PaintPacer Paints{this};

    // A negative countdown means idle; stored as the byte 255.
    static constexpr std::int8_t kWatchdogIdle = -1;
    static constexpr std::int8_t kWatchdogTicks = 5;
    // A unit erasing or writing its flash answers nothing for seconds.
    static constexpr std::int8_t kBusyWatchdogTicks = 20;
    static constexpr int kWatchdogIntervalMs = 1000;
};
