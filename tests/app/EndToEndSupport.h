// The real window against the simulated unit on an in-process loopback
// device: setting up the pair and running an update to its end with the
// watchdog expired by hand instead of by the clock.
#pragma once

#include "ControllerTestSupport.h"
#include "ImageFile.h"
#include "InProcessDevice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <atomic>
#include <memory>

namespace testsupport {

inline std::vector<std::uint8_t> plainImage()
{
    QString error;
    auto image =
        orvik::devsim::loadImage(QStringLiteral(":/data/orvik_resources_v2_06.bin"), &error);
    return image ? *image : std::vector<std::uint8_t>{};
}

// The unit, and what the test learns from it on the unit's own thread.
struct Unit
{
    explicit Unit(orvik::devsim::DeviceSettings settings, orvik::loopback::LinkOptions options = {})
    {
        using orvik::devsim::Event;
        using orvik::devsim::Injection;
        settings.lateDelay = std::chrono::milliseconds(20);
        device = std::make_unique<orvik::devsim::InProcessDevice>(
            "Orvik16 KX", std::move(settings), plainImage(),
            [this](const Event& e) {
                if (e.kind == Event::Kind::IdentityRequest)
                    ++identityRequests;

                if (e.kind != Event::Kind::Injected)
                    return;
                ++injected;
                // Silence and repeat requests leave the tool waiting for its
                // watchdog.
                if (e.injection == Injection::Silent || e.injection == Injection::Repeat)
                    ++stalls;
                // What the tool should report: repeats since the last restart.
                if (e.injection == Injection::Repeat)
                    ++repeatsSinceRestart;
                if (e.injection == Injection::Restart)
                    repeatsSinceRestart = 0;
            },
            options);
    }

    orvik::devsim::SimulatorHost& host() { return device->host(); }

    std::atomic<int> identityRequests{0};
    std::atomic<int> stalls{0};
    std::atomic<int> injected{0};
    std::atomic<int> repeatsSinceRestart{0};
    std::unique_ptr<orvik::devsim::InProcessDevice> device;
};

// A shown window with its watchdog timer stopped, connected to `unit`; null
// when the unit's identity reply never came.
inline std::unique_ptr<MainWindow> connectedWindow(Unit& unit)
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->initController();
    window->WatchdogTimer->stop();
    window->MidiInList->setCurrentRow(unit.device->inputDeviceNumber());
    window->MidiOutList->setCurrentRow(unit.device->outputDeviceNumber());
    window->Connect();
    QDeadlineTimer deadline(10000);
    while (window->ConnState != Connected && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (window->ConnState != Connected)
        window.reset();
    return window;
}

// Runs the event loop until the update's box has been answered. The watchdog
// is expired right after every stall the unit reports, and after
// a quiet spell with nothing arriving at the unit: a reply can also be lost
// on its way in, when traffic in front of it has taken both input buffers.
inline bool finishUpdate(MainWindow& window, Unit& unit, MessageBoxAnswerer& answerer,
                         int timeoutMs = 120000)
{
    QDeadlineTimer deadline(timeoutMs);
    int serviced = 0;
    auto lastReceived = unit.host().stats().messagesReceived;
    QElapsedTimer quiet;
    quiet.start();
    auto expire = [&] {
        expireWatchdog(window);
        quiet.restart();
    };
    while (answerer.texts.isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (serviced < unit.stalls.load()) {
            ++serviced;
            // Let whatever the unit said before falling silent arrive first.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            expire();
            continue;
        }
        const auto received = unit.host().stats().messagesReceived;
        if (received != lastReceived) {
            lastReceived = received;
            quiet.restart();
        } else if (quiet.elapsed() > 500) {
            expire();
        }
    }
    return true;
}

} // namespace testsupport
