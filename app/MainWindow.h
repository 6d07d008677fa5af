// The one window: its form, and the controller that connects to a unit and
// runs an update.
#pragma once

#include "UpdateSession.h"
#include "ui_MainWindow.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>

#include <cstdint>

class QLabel;
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
    void timerEvent(QTimerEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

public:
    void refreshControls();
    void showIdentity();
    // A tick of IdentityRetryTimer: the identity request goes out again.
    void askIdentityAgain();
    // Says why a port would not open, with the MIDI system's reason.
    void reportPortsNotOpened();
    bool prepareImage(std::uint32_t seed);
    void handleAcknowledge();
    void handleRestart();
    void reportSuccess();
    void deferPaint();

    UpdateSession Session;

    // Connection controller.
    std::int32_t ConnState = Disconnected;
    std::int32_t InputRow = 0;
    std::int32_t OutputRow = 0;
    std::uint32_t DeviceSerial = 0;
    std::int32_t DeviceVersion = 0;
    QString DeviceSerialText;
    QString DeviceNameCopy;
    // While Connecting, the identity request is a harmless question: asked
    // again on every tick, so that one lost reply does not leave the window
    // waiting for good.
    QTimer* IdentityRetryTimer = nullptr;
    int IdentityRetries = 0;
    // Shown below the buttons, where the progress bar goes during a
    // transfer, once the unit has stayed silent for a while.
    QLabel* NoAnswerText = nullptr;
    // A list without a single port: nothing to connect to.
    bool NoPorts = false;

    // Transfer controller.
    std::int32_t BlockCounter = 0;
    std::int32_t SavedBlockCounter = 0;
    std::int8_t WatchdogCountdown = kWatchdogIdle;
    QTimer* WatchdogTimer = nullptr;
    // The last block's commit has gone out and its acknowledgement is due.
    bool AwaitingLastAck = false;
    // The begin-update has gone out and the unit has not answered it yet.
    bool AwaitingStart = false;
    // While set, a paint asked for at once waits for the event loop (see
    // event()).
    bool DeferPaint = false;
    QBasicTimer PaintTimer;
    QElapsedTimer LastDeferredPaint;

    // A negative countdown means idle; stored as the byte 255.
    static constexpr std::int8_t kWatchdogIdle = -1;
    static constexpr std::int8_t kWatchdogTicks = 5;
    static constexpr int kWatchdogIntervalMs = 1000;
    static constexpr int kIdentityRetryMs = 2000;
    // Ten seconds of silence: the unit is not listening.
    static constexpr int kRetriesBeforeNoAnswer = 5;
};
