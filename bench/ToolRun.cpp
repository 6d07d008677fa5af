#include "Runs.h"

#include "AppSetup.h"
#include "MainWindow.h"
#include "MidiEvent.h"
#include "Probe.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace orvik::bench {

namespace {

constexpr int kConnectTimeoutMs = 8000;
constexpr int kConnectAttempts = 3;
constexpr int kMessagesPerUpdate = kBlockCount * (kSliceCount + 1);
// A reply, its arrival at the window and the message it causes, with room
// for the odd watchdog re-send.
constexpr std::size_t kMarksPerRoundTrip = 4;

// Sees each reply reach the window, before the window acts on it.
class ReplyWatch : public QObject
{
public:
    ReplyWatch(int target, bool holdLast) : target_(target), holdLast_(holdLast) {}

    std::function<void()> reached;
    int arrivals = 0;
    double lastArrival = 0; // wallSeconds()

    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() != static_cast<QEvent::Type>(kMidiEventType))
            return false;
        Probe::instance().mark(MarkKind::Arrival);
        lastArrival = wallSeconds();
        if (++arrivals != target_)
            return false;
        reached();
        // A shorter run ends here, before the window sends one more message;
        // the event still releases its buffer when Qt deletes it.
        return holdLast_;
    }

private:
    const int target_;
    const bool holdLast_;
};

// Runs the event loop until `done` holds, looking every few milliseconds;
// only used outside the timed part.
bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    if (!done())
        loop.exec();
    return done();
}

} // namespace

RunFigures runTool(int inputDevice, int outputDevice, int messages, int timeoutMs)
{
    RunFigures r;
    r.roundTrips = messages + 1;
    const bool wholeUpdate = messages == kMessagesPerUpdate;

    MainWindow window;
    window.show();
    fixWindowSize(window);
    window.initController();
    if (inputDevice < 0 || inputDevice >= window.MidiInList->count() || outputDevice < 0 ||
        outputDevice >= window.MidiOutList->count()) {
        r.error = QStringLiteral("the window does not list the unit's ports");
        return r;
    }
    window.MidiInList->setCurrentRow(inputDevice);
    window.MidiOutList->setCurrentRow(outputDevice);
    // Over a loaded JACK server the identity request or its answer is lost
    // now and then; a user would press Connect again, and so does this.
    bool connected = false;
    for (int attempt = 0; attempt < kConnectAttempts && !connected; ++attempt) {
        if (window.ConnectButton->isEnabled())
            window.ConnectButton->click();
        connected = waitFor([&] { return window.ConnState == Connected; }, kConnectTimeoutMs);
    }
    if (!connected) {
        r.error = QStringLiteral("the unit did not answer the identity request");
        return r;
    }

    QEventLoop loop;
    double startWall = 0;
    double startCpu = 0;
    double startGuiCpu = 0;
    QTimer boxWatch;
    boxWatch.setInterval(1);
    ReplyWatch watch(r.roundTrips, !wholeUpdate);
    QObject::connect(&boxWatch, &QTimer::timeout, &loop, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        // A block sent again after a silence brings replies beyond the
        // update's count: the update ends with the reply that opened the box.
        r.wall = watch.lastArrival - startWall;
        boxWatch.stop();
        r.boxText = box->text();
        box->button(QMessageBox::Ok)->click();
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
    });

    watch.reached = [&] {
        r.wall = wallSeconds() - startWall;
        r.cpu = processCpuSeconds() - startCpu;
        r.guiCpu = threadCpuSeconds() - startGuiCpu;
        if (wholeUpdate)
            boxWatch.start(); // fires inside the box's own event loop
        else
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
    };
    window.installEventFilter(&watch);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);

    Probe::instance().start(std::size_t(r.roundTrips) * kMarksPerRoundTrip + 64);
    startWall = wallSeconds();
    startCpu = processCpuSeconds();
    startGuiCpu = threadCpuSeconds();
    window.TransferButton->click();
    loop.exec();
    Probe::instance().stop();
    window.removeEventFilter(&watch);

    r.sent = Probe::instance().count(MarkKind::Send);
    r.replies = Probe::instance().count(MarkKind::Reply);
    // Closing joins the layer's threads, so every mark they made is in place.
    window.Session.PortPair.Close();
    r.marks = Probe::instance().marks();
    // Besides BeginUpdate, only the watchdog sends unprompted.
    const std::size_t unprompted = unpromptedSends(r.marks);
    r.resent = unprompted > 0 ? unprompted - 1 : 0;

    if (watch.arrivals < r.roundTrips) {
        r.error = QStringLiteral("timed out: %1 of %2 replies reached the window")
                      .arg(watch.arrivals)
                      .arg(r.roundTrips);
        return r;
    }
    if (wholeUpdate && r.boxText.isEmpty()) {
        r.error = QStringLiteral("the update ended without the success box");
        return r;
    }
    r.ok = true;
    return r;
}

} // namespace orvik::bench
