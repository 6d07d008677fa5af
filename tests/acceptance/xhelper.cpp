// What xdotool cannot do on a bare X server without a window manager:
//   orvik-xhelper shot FILE.png [WINDOW]  saves a picture of the whole
//                                      screen, or of what shows of one window
//   orvik-xhelper close WINDOW         asks a window to close, as a window
//                                      manager's close button would
//   orvik-xhelper ping WINDOW SECONDS  asks the window's program whether it
//                                      still handles events, as a window
//                                      manager does before offering to kill
//                                      it; exits 0 when it answers in time
//   orvik-xhelper scale IN.png N OUT.png  enlarges a picture N times, for OCR
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace {

// A WM_PROTOCOLS message, as a window manager sends it.
Status sendProtocol(Display* display, unsigned long window, const char* protocol, long token)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, protocol, False));
    event.xclient.data.l[1] = token;
    event.xclient.data.l[2] = static_cast<long>(window);
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    return sent;
}

Display* openDisplay()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        std::fprintf(stderr, "orvik-xhelper: cannot open display\n");
    return display;
}

int closeWindow(unsigned long window)
{
    Display* display = openDisplay();
    if (!display)
        return 1;
    const Status sent = sendProtocol(display, window, "WM_DELETE_WINDOW", CurrentTime);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}

// The program sends the ping back to the root window from its event loop, so
// an answer means that loop runs; the server alone (which keeps a frozen
// program's window and picture) cannot answer for it.
int ping(unsigned long window, double seconds)
{
    Display* display = openDisplay();
    if (!display)
        return 1;
    const Window root = DefaultRootWindow(display);
    // Toolkits send the answer with one of these masks (and the redirect
    // mask, which only a window manager may select).
    XSelectInput(display, root, StructureNotifyMask | SubstructureNotifyMask);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom pingAtom = XInternAtom(display, "_NET_WM_PING", False);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // Ours among other answers: a value no earlier run of this helper used.
    const long token = static_cast<long>(start.time_since_epoch().count() & 0x7FFFFFFF);
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    int result = 1;
    if (sendProtocol(display, window, "_NET_WM_PING", token)) {
        while (result != 0) {
            while (result != 0 && XPending(display) > 0) {
                XEvent event{};
                XNextEvent(display, &event);
                if (event.type == ClientMessage && event.xclient.message_type == protocols &&
                    static_cast<Atom>(event.xclient.data.l[0]) == pingAtom &&
                    event.xclient.data.l[1] == token)
                    result = 0;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (result == 0 || left.count() <= 0)
                break;
            pollfd connection{ConnectionNumber(display), POLLIN, 0};
            ::poll(&connection, 1, static_cast<int>(left.count()));
        }
    }
    XCloseDisplay(display);
    if (result != 0)
        std::fprintf(stderr, "orvik-xhelper: window 0x%lx did not answer within %g s\n", window,
                     seconds);
    return result;
}

int screenshot(int argc, char** argv, const char* file, WId window)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    if (shot.isNull())
        return 1;
    return shot.save(QString::fromLocal8Bit(file)) ? 0 : 1;
}

// Screen text is a few pixels high; OCR reads it far better enlarged.
int scale(const char* in, int factor, const char* out)
{
    const QImage image(QString::fromLocal8Bit(in));
    if (image.isNull() || factor < 1)
        return 1;
    return image.scaled(image.size() * factor, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                   .save(QString::fromLocal8Bit(out))
               ? 0
               : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "close") == 0)
        return closeWindow(std::strtoul(argv[2], nullptr, 0));
    if (argc == 4 && std::strcmp(argv[1], "ping") == 0)
        return ping(std::strtoul(argv[2], nullptr, 0), std::strtod(argv[3], nullptr));
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "shot") == 0)
        return screenshot(argc, argv, argv[2], argc == 4 ? std::strtoul(argv[3], nullptr, 0) : 0);
    if (argc == 5 && std::strcmp(argv[1], "scale") == 0)
        return scale(argv[2], std::atoi(argv[3]), argv[4]);
    std::fprintf(stderr,
                 "usage: orvik-xhelper shot FILE [WINDOW] | close WINDOW | ping WINDOW SECONDS | "
                 "scale IN N OUT\n");
    return 2;
}
