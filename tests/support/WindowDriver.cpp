#include "WindowDriver.h"

#include "ImageFile.h"
#include "Protocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>

namespace testsupport {

using orvik::devsim::DeviceSettings;
using orvik::devsim::Event;
using orvik::devsim::Injection;

namespace {

std::vector<std::uint8_t> plainImage()
{
    QString error;
    auto image =
        orvik::devsim::loadImage(QStringLiteral(":/data/orvik_resources_v2_06.bin"), &error);
    return image ? *image : std::vector<std::uint8_t>{};
}

} // namespace

bool addFaults(DeviceSettings& settings, const QString& text, std::string* error)
{
    for (const QString& item : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (item.startsWith(QLatin1String("erase-ms=")))
            settings.eraseTime = std::chrono::milliseconds(item.section('=', 1).toInt());
        else if (item.startsWith(QLatin1String("finish-ms=")))
            settings.finishTime = std::chrono::milliseconds(item.section('=', 1).toInt());
        else if (item.startsWith(QLatin1String("overdue-ms=")))
            settings.overdueDelay = std::chrono::milliseconds(item.section('=', 1).toInt());
        else if (!settings.faults.addFromText(item.toStdString(), error))
            return false;
    }
    return true;
}

Unit::Unit(DeviceSettings settings, orvik::loopback::LinkOptions options, Tamper tamper,
           Listener listener)
    : options_(options), tamper_(std::move(tamper))
{
    // A late answer falls due within the tick after it was given.
    settings.lateDelay = std::chrono::milliseconds(20);
    settings.strict = true;
    host_ = std::make_unique<orvik::devsim::SimulatorHost>(
        std::move(settings), plainImage(),
        [this](const Event& e) {
            if (e.kind == Event::Kind::IdentityRequest)
                ++identityRequests;
            // A faulty message is answered with a repeat request or not at
            // all: the tool waits for its watchdog either way.
            if (e.kind == Event::Kind::FaultFound)
                ++stalls;
            if (e.kind != Event::Kind::Injected)
                return;
            ++injected;
            // Silence and repeat requests leave the tool waiting for its
            // watchdog; a late or overdue answer waits for the clock.
            if (e.injection == Injection::Silent || e.injection == Injection::Repeat ||
                e.injection == Injection::Late || e.injection == Injection::Overdue)
                ++stalls;
            if (e.injection == Injection::Repeat)
                ++repeatsSinceRestart;
            if (e.injection == Injection::Restart)
                repeatsSinceRestart = 0;
        },
        clock_);

    link_ = makeLink();
    host_->start([this, listener = std::move(listener)](const std::vector<std::uint8_t>& bytes) {
        if (listener)
            listener(bytes);
        toTool(bytes);
    });
}

std::unique_ptr<orvik::loopback::Link> Unit::makeLink()
{
    orvik::devsim::SimulatorHost* host = host_.get();
    return std::make_unique<orvik::loopback::Link>(
        name_,
        [this, host](const std::uint8_t* data, std::size_t size) {
            if (!tamper_) {
                host->post(data, size);
                return;
            }
            std::vector<std::uint8_t> bytes(data, data + size);
            begun_ = begun_ || (size > 9 && data[0] == 0xF0 && data[9] == BeginUpdate);
            if (begun_ && !tamper_(sent_++, bytes))
                return;
            host->post(bytes.data(), bytes.size());
        },
        options_);
}

void Unit::toTool(const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard lock(linkLock_);
    if (link_)
        link_->toTool(bytes.data(), bytes.size());
}

int Unit::inputDeviceNumber() const
{
    std::lock_guard lock(linkLock_);
    return link_ ? link_->inputDeviceNumber() : -1;
}

int Unit::outputDeviceNumber() const
{
    std::lock_guard lock(linkLock_);
    return link_ ? link_->outputDeviceNumber() : -1;
}

void Unit::unplug()
{
    std::unique_ptr<orvik::loopback::Link> gone;
    {
        std::lock_guard lock(linkLock_);
        gone = std::move(link_);
    }
    // Outside the lock: the link's thread may be handing the unit a message.
    gone.reset();
}

void Unit::plug()
{
    auto link = makeLink();
    std::lock_guard lock(linkLock_);
    link_ = std::move(link);
}

void Unit::plug(std::string name, orvik::loopback::LinkOptions options)
{
    unplug();
    name_ = std::move(name);
    options_ = std::move(options);
    plug();
}

Unit::~Unit()
{
    // The worker must be gone before the link it sends on; the link's own
    // thread may still post into the host while the link goes away, which a
    // stopped host ignores.
    host_->stop();
    unplug();
    host_.reset();
}

bool Unit::lastCommitConfirmed() const
{
    const auto report = host_->report();
    return report.lastCommitAnswered && report.lastCommitAnsweredAt <= clock_->now();
}

std::string Unit::state()
{
    const auto stats = host_->stats();
    const auto report = host_->report();
    return "the unit received " + std::to_string(stats.messagesReceived) + " messages, " +
           std::to_string(report.blocksPresent) + " blocks present, outcome " +
           std::to_string(int(report.outcome)) + ", faults " +
           orvik::devsim::describe(stats.faults);
}

WindowDriver::WindowDriver(Unit* unit) : window(std::make_unique<MainWindow>()), unit_(unit)
{
    window->show();
    window->initController();
    // Ticks come from here, so that each can be matched with the unit's
    // clock and its re-sends counted.
    window->WatchdogTimer->stop();
    if (!unit_) {
        wallClock_.setInterval(MainWindow::kWatchdogIntervalMs);
        QObject::connect(&wallClock_, &QTimer::timeout, &wallClock_, [this] { watchdogTick(); });
        wallClock_.start();
        // Each check of the answerer wakes the waits below.
        answerer.timer.setInterval(20);
    }
}

WindowDriver::~WindowDriver()
{
    wallClock_.stop();
    // Before the unit: the window's session closes the ports while the
    // unit's devices still exist.
    window.reset();
}

bool WindowDriver::connect(int inputDevice, int outputDevice, int timeoutMs)
{
    window->MidiInList->setCurrentRow(inputDevice);
    window->MidiOutList->setCurrentRow(outputDevice);
    window->ConnectButton->click();
    return waitFor([this] { return window->ConnState == Connected; }, timeoutMs);
}

bool WindowDriver::connect(int timeoutMs)
{
    return unit_ && connect(unit_->inputDeviceNumber(), unit_->outputDeviceNumber(), timeoutMs);
}

void WindowDriver::disconnect()
{
    if (window->ConnState != Disconnected)
        window->ConnectButton->click();
    // Events the input posted before it closed still carry buffers.
    QCoreApplication::sendPostedEvents();
}

bool WindowDriver::update(int timeoutMs)
{
    pressUpdate();
    return finish(timeoutMs);
}

void WindowDriver::pressUpdate()
{
    answerer.titles.clear();
    answerer.texts.clear();
    answerer.buttons.clear();
    window->TransferButton->click();
    // The window asks the unit who it is, and announces the update on the
    // tick after the answer; on the wall clock its own timer brings that.
    if (unit_ &&
        waitFor([this] { return !window->Unit.pending() || window->Unit.confirmed(); }, 5000) &&
        window->Unit.confirmed())
        tick();
}

QString WindowDriver::boxText() const
{
    return answerer.texts.isEmpty() ? QString() : answerer.texts.last();
}

bool WindowDriver::waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // On the wall clock nothing here is pressed for time: sleep until
        // the next event instead of spinning beside the MIDI server.
        if (unit_)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void WindowDriver::watchdogTick()
{
    const int before = window->Run.silentResends();
    const int announcements = window->Run.announcements();
    // The first announcement of an update goes out on a tick too.
    const bool announcedBefore = window->transferRunning();
    window->comtimeout();
    watchdogResends += int(window->Run.silentResends() > before) +
                       int(announcedBefore && window->Run.announcements() > announcements);
}

// An answer that falls due in the tick's second reaches the window, and the
// window acts on it, before the tick: it left the unit within the second.
void WindowDriver::tick()
{
    if (!unit_) {
        watchdogTick();
        return;
    }
    auto& host = unit_->host();
    const auto received = host.stats().messagesReceived;
    auto waitForTool = [&](int ms) {
        waitFor(
            [&] { return host.stats().messagesReceived != received || !answerer.texts.isEmpty(); },
            ms);
    };
    if (host.advanceClock(std::chrono::seconds(1)) > 0)
        waitForTool(std::max(settleMs, 2000));
    watchdogTick();
    // Whatever the tick sent is on the unit's clock before the next second.
    waitForTool(settleMs);
}

void WindowDriver::waitOutSilence()
{
    const auto received = unit_ ? unit_->host().stats().messagesReceived : 0;
    for (int t = 0; t < 90; ++t) {
        tick();
        if (!answerer.texts.isEmpty() ||
            (unit_ && unit_->host().stats().messagesReceived != received))
            return;
    }
}

bool WindowDriver::finish(int timeoutMs)
{
    if (!unit_)
        return waitFor([this] { return !answerer.texts.isEmpty(); }, timeoutMs);

    QDeadlineTimer deadline(timeoutMs);
    auto& host = unit_->host();
    auto lastReceived = host.stats().messagesReceived;
    QElapsedTimer quiet;
    quiet.start();
    auto expire = [&] {
        waitOutSilence();
        quiet.restart();
    };
    while (answerer.texts.isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (serviced_ < unit_->stalls.load()) {
            ++serviced_;
            // Whatever the unit said before it fell silent arrives first.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            expire();
            continue;
        }
        const auto received = host.stats().messagesReceived;
        if (received != lastReceived) {
            lastReceived = received;
            quiet.restart();
        } else if (quiet.elapsed() > quietMs) {
            expire();
        }
    }
    return true;
}

} // namespace testsupport
