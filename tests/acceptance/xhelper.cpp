// What xdotool cannot do on a bare X server without a window manager:
//   orvik-xhelper shot FILE.png   saves a picture of the whole screen
//   orvik-xhelper close WINDOW    asks a window to close, as a window
//                                 manager's close button would
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int closeWindow(unsigned long window)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "orvik-xhelper: cannot open display\n");
        return 1;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}

int screenshot(int argc, char** argv, const char* file)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    return shot.save(QString::fromLocal8Bit(file)) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "close") == 0)
        return closeWindow(std::strtoul(argv[2], nullptr, 0));
    if (argc == 3 && std::strcmp(argv[1], "shot") == 0)
        return screenshot(argc, argv, argv[2]);
    std::fprintf(stderr, "usage: orvik-xhelper shot FILE | close WINDOW\n");
    return 2;
}
