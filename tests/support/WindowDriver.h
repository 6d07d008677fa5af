// The one way tests drive the tool: its real window, connected over a port
// pair, Update pressed, the box answered. Against a simulated unit in this
// process the watchdog is ticked by hand, a second of the unit's clock with
// each tick, so that silences cost no real time; against a unit in another
// process it ticks every second, as the window's own timer would.
#pragma once

#include "ControllerTestSupport.h"
#include "Loopback.h"
#include "SimulatorHost.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Reads faults as the simulator's command line takes them ("silent@500"),
// the flash times as "erase-ms=8000" and "finish-ms=8000", and the delay of
// an overdue answer as "overdue-ms=6001", separated by spaces.
bool addFaults(orvik::devsim::DeviceSettings& settings, const QString& text,
               std::string* error = nullptr);

// The simulated unit on a loopback link in this process, strict, on a clock
// that moves only with the driver's ticks, and what the test learns from it
// on the unit's own thread.
class Unit
{
public:
    // Sees every message from the tool on its way, numbered from the first
    // begin-update (0) as the unit numbers them; may change it, or drop it by
    // returning false. Runs on the link's thread.
    using Tamper = std::function<bool(std::uint64_t message, std::vector<std::uint8_t>& bytes)>;
    // Sees every message the unit sends, on the unit's thread.
    using Listener = std::function<void(const std::vector<std::uint8_t>& bytes)>;

    explicit Unit(orvik::devsim::DeviceSettings settings, orvik::loopback::LinkOptions options = {},
                  Tamper tamper = {}, Listener listener = {});
    // Stops answering first, then removes the devices.
    ~Unit();

    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    int inputDeviceNumber() const;
    int outputDeviceNumber() const;
    // The interface pulled out of the computer and plugged in again: its
    // ports go and come back under the same name, at whatever numbers the
    // MIDI system then gives them; the unit keeps its state and power
    // throughout, and what it says meanwhile is lost.
    void unplug();
    void plug();
    // Plugged in behind another port from now on: a port of another name,
    // address or identity (see LinkOptions).
    void plug(std::string name, orvik::loopback::LinkOptions options);
    orvik::devsim::SimulatorHost& host() { return *host_; }
    // What the unit saw, for a failure's message.
    std::string state();
    // By the unit's own record: it has confirmed the last commit of a
    // complete image, and that answer has left it by now.
    bool lastCommitConfirmed() const;

    std::atomic<int> identityRequests{0};
    // Moments the tool is left waiting for its watchdog or for the clock.
    std::atomic<int> stalls{0};
    std::atomic<int> injected{0};
    // What the tool should report: repeats since the last restart.
    std::atomic<int> repeatsSinceRestart{0};

private:
    std::unique_ptr<orvik::loopback::Link> makeLink();
    void toTool(const std::vector<std::uint8_t>& bytes);

    std::string name_ = "Orvik16 KX";
    orvik::loopback::LinkOptions options_;
    Tamper tamper_;
    std::shared_ptr<orvik::devsim::ManualClock> clock_ =
        std::make_shared<orvik::devsim::ManualClock>();
    std::unique_ptr<orvik::devsim::SimulatorHost> host_;
    // Null while unplugged; the unit's thread sends under the lock.
    mutable std::mutex linkLock_;
    std::unique_ptr<orvik::loopback::Link> link_;
    std::uint64_t sent_ = 0; // on the link's thread only
    bool begun_ = false;
};

class WindowDriver
{
public:
    // With `unit`, the watchdog moves with the unit's manual clock; without,
    // on the wall clock.
    explicit WindowDriver(Unit* unit = nullptr);
    ~WindowDriver();

    WindowDriver(const WindowDriver&) = delete;
    WindowDriver& operator=(const WindowDriver&) = delete;

    // Picks the ports, presses Connect and waits for the unit's identity.
    bool connect(int inputDevice, int outputDevice, int timeoutMs = 10000);
    // The same, to the unit's own ports.
    bool connect(int timeoutMs = 10000);
    void disconnect();

    // Presses Update, then finishes.
    bool update(int timeoutMs = 120000);
    // Forgets the boxes of earlier updates and presses Update.
    void pressUpdate();
    // Runs the event loop until a box has been answered, ticking the
    // watchdog whenever the unit has fallen silent; false on timeout.
    bool finish(int timeoutMs = 120000);
    // The last box's text, or nothing.
    QString boxText() const;

    // One tick of the watchdog, and a second of the unit's clock.
    void tick();
    // Ticks until the unit hears from the tool again or a box opens; a
    // minute and a half of silence at most.
    void waitOutSilence();
    // Runs the event loop, and nothing else, until `done` holds.
    bool waitFor(const std::function<bool()>& done, int timeoutMs);

    std::unique_ptr<MainWindow> window;
    MessageBoxAnswerer answerer;
    // Blocks the watchdog sent again, and announcements it repeated.
    int watchdogResends = 0;
    // Quiet on the unit's side this long counts as a silence even when the
    // unit announced none: a reply can also be lost in the input's buffers,
    // behind traffic that has taken both.
    int quietMs = 500;
    // Bounds each wait of a tick for the other side; slow builds pass more.
    int settleMs = 20;

private:
    void watchdogTick();

    Unit* unit_;
    QTimer wallClock_;
    int serviced_ = 0; // stalls of the unit already waited out
};

} // namespace testsupport
