// The real window and a simulated unit in one process, driven through whole
// updates: the window connects over an in-process loopback port, runs the
// update, answers the success box and disconnects. The watchdog is ticked by
// hand, for every stall the unit announces and whenever traffic has stopped
// for `quiet`, since a reply can also be lost in the input's buffers.
#pragma once

#include "ControllerTestSupport.h"
#include "ImageFile.h"
#include "InProcessDevice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace memorytest {

using orvik::devsim::DeviceSettings;
using orvik::devsim::Event;
using orvik::devsim::Injection;
using orvik::devsim::InProcessDevice;

class UpdateRig
{
public:
    // `faults` as the simulator's command line takes them, e.g. "silent@500".
    UpdateRig(const QString& faults, std::chrono::milliseconds quiet) : quiet_(quiet)
    {
        DeviceSettings settings;
        for (const QString& fault : faults.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            faultsOk_ = settings.faults.addFromText(fault.toStdString(), nullptr) && faultsOk_;
        QString error;
        auto image =
            orvik::devsim::loadImage(QStringLiteral(":/data/orvik_resources_v2_06.bin"), &error);
        device_ = std::make_unique<InProcessDevice>(
            "Orvik16 KX", std::move(settings), image ? *image : std::vector<std::uint8_t>{},
            [this](const Event& e) {
                if (e.kind == Event::Kind::Injected &&
                    (e.injection == Injection::Silent || e.injection == Injection::Repeat))
                    ++stalls_;
            });

        window = std::make_unique<MainWindow>();
        window->show();
        window->initController();
        window->WatchdogTimer->stop();
    }

    ~UpdateRig()
    {
        // The window first: its session closes the ports while the unit's
        // devices still exist.
        window.reset();
        device_.reset();
    }

    bool faultsParsed() const { return faultsOk_; }

    bool connect(std::chrono::milliseconds timeout)
    {
        window->MidiInList->setCurrentRow(device_->inputDeviceNumber());
        window->MidiOutList->setCurrentRow(device_->outputDeviceNumber());
        window->Connect();
        return waitFor([&] { return window->ConnState == Connected; }, timeout);
    }

    void disconnect()
    {
        if (window->ConnState != Disconnected)
            window->Connect();
        // Events the input posted before it closed still carry buffers.
        QCoreApplication::sendPostedEvents();
    }

    // True once the success box has been answered and the unit has matched
    // the image it rebuilt against the original.
    bool update(std::chrono::milliseconds timeout)
    {
        const int matchedBefore = device_->host().stats().updatesMatched;
        answerer.texts.clear();
        window->Transfer();
        if (!finish(timeout))
            return false;
        return device_->host().waitUntil(
            [&](const auto& sim) { return sim.stats().updatesMatched > matchedBefore; }, timeout);
    }

    orvik::devsim::SimulatorHost& host() { return device_->host(); }

    std::unique_ptr<MainWindow> window;
    testsupport::MessageBoxAnswerer answerer;

private:
    template <class Condition>
    bool waitFor(Condition done, std::chrono::milliseconds timeout)
    {
        QDeadlineTimer deadline(timeout);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }

    bool finish(std::chrono::milliseconds timeout)
    {
        QDeadlineTimer deadline(timeout);
        // Stalls of earlier updates were serviced then.
        int serviced = stalls_.load();
        auto lastReceived = device_->host().stats().messagesReceived;
        QElapsedTimer quiet;
        quiet.start();
        auto expire = [&] {
            testsupport::expireWatchdog(*window);
            quiet.restart();
        };
        while (answerer.texts.isEmpty()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (serviced < stalls_.load()) {
                ++serviced;
                // Whatever the unit said before it fell silent arrives first.
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                expire();
                continue;
            }
            const auto received = device_->host().stats().messagesReceived;
            if (received != lastReceived) {
                lastReceived = received;
                quiet.restart();
            } else if (quiet.elapsed() > quiet_.count()) {
                expire();
            }
        }
        return true;
    }

    std::chrono::milliseconds quiet_;
    bool faultsOk_ = true;
    std::atomic<int> stalls_{0};
    std::unique_ptr<InProcessDevice> device_;
};

} // namespace memorytest
