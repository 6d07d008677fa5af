// The window the controller tests drive: shown, its controller started, its
// watchdog ticked by the test alone, and every box answered. Where a loopback
// link can be had, what it sends can be captured too.
#pragma once

#include "ControllerTestSupport.h"
#if ORVIK_HAVE_LOOPBACK
// What the window sends, captured where a loopback link can be had.
#include "LoopbackCapture.h"
#endif

#include <QtTest>

#include <memory>

namespace testsupport {

class ControllerFixture
{
protected:
    void setUp()
    {
        window = new MainWindow;
        window->show();
        window->initController();
        // The tests tick the watchdog themselves.
        window->WatchdogTimer->stop();
        answerer = new MessageBoxAnswerer;
    }

    void tearDown()
    {
        delete answerer;
        delete window;
#if ORVIK_HAVE_LOOPBACK
        capture.reset();
#endif
    }

    void tick(int ticks)
    {
        for (int i = 0; i < ticks; ++i)
            window->comtimeout();
    }

    int sentMessages() const
    {
        const UpdateSession& s = window->Session;
        const int blocks = static_cast<int>(s.ImageOffset / kBlockSize);
        if (s.SendStep == 7)
            return blocks * 7;
        return blocks * 7 + static_cast<int>(s.SendStep);
    }

    // Restart request, then acknowledgements until `messages` messages of
    // the image have gone out (the restart sends the first).
    void runTo(int messages)
    {
        deliver(*window, replyFrame(0x2E));
        while (sentMessages() < messages)
            acknowledge(*window);
    }

    MainWindow* window = nullptr;
    MessageBoxAnswerer* answerer = nullptr;

#if ORVIK_HAVE_LOOPBACK
    // From here on, what the window sends is captured; sentCommands() takes
    // the command bytes of everything sent since its last call.
    void captureSends()
    {
        capture = std::make_unique<LoopbackCapture>();
        QVERIFY(capture->open(window->Session));
    }

    QList<int> sentCommands()
    {
        QList<int> commands;
        for (const QByteArray& m : capture->takeAll(window->Session))
            commands << (m.size() > 9 ? int(std::uint8_t(m[9])) : -1);
        return commands;
    }

    std::unique_ptr<LoopbackCapture> capture;
#endif
};

} // namespace testsupport
