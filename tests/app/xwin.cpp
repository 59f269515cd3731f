// A small X11 helper for the test that runs the real program:
//   corvanel_xwin wait TITLE SECONDS   until a window of that title is mapped
//   corvanel_xwin shot FILE [R G B]    the whole screen as PNG; with a colour,
//                                      fails unless some pixel has it
//   corvanel_xwin close TITLE          asks the window to close (WM_DELETE_WINDOW),
//                                      as a window manager's close box does

// Qt first: Xlib's macros (Status, None, ...) break its headers.
#include <QImage>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string windowTitle(Display* display, Window window) {
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        title.assign(reinterpret_cast<const char*>(data), count);
        XFree(data);
        return title;
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        title = name;
        XFree(name);
    }
    return title;
}

// The first mapped window with that title, searched depth first; None if none.
Window findWindow(Display* display, Window under, const std::string& title) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, under, &root, &parent, &children, &count)) return None;
    Window found = None;
    for (unsigned int i = 0; i < count && found == None; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
            windowTitle(display, children[i]) == title)
            found = children[i];
        else
            found = findWindow(display, children[i], title);
    }
    if (children) XFree(children);
    return found;
}

int wait(Display* display, const std::string& title, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (findWindow(display, DefaultRootWindow(display), title) != None) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "xwin: no window \"%s\" after %g s\n", title.c_str(), seconds);
    return 1;
}

int shot(Display* display, const char* file, int argc, char** argv) {
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* grabbed = XGetImage(display, root, 0, 0, static_cast<unsigned>(attributes.width),
                                static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!grabbed) return 1;
    const auto channel = [](unsigned long pixel, unsigned long mask) {
        return static_cast<int>((pixel & mask) >> std::countr_zero(mask));
    };
    QImage image(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(grabbed, x, y);
            image.setPixel(x, y, qRgb(channel(pixel, grabbed->red_mask), channel(pixel, grabbed->green_mask),
                                      channel(pixel, grabbed->blue_mask)));
        }
    XDestroyImage(grabbed);
    if (!image.save(QString::fromLocal8Bit(file), "PNG")) return 1;
    if (argc < 3) return 0;
    const QRgb wanted = qRgb(std::atoi(argv[0]), std::atoi(argv[1]), std::atoi(argv[2]));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == wanted) return 0;
    std::fprintf(stderr, "xwin: colour %s,%s,%s not on the screen\n", argv[0], argv[1], argv[2]);
    return 2;
}

int close(Display* display, const std::string& title) {
    const Window window = findWindow(display, DefaultRootWindow(display), title);
    if (window == None) {
        std::fprintf(stderr, "xwin: no window \"%s\"\n", title.c_str());
        return 1;
    }
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s wait TITLE SECONDS | shot FILE [R G B] | close TITLE\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xwin: cannot open the display\n");
        return 1;
    }
    const std::string command = argv[1];
    int result = 2;
    if (command == "wait" && argc == 4)
        result = wait(display, argv[2], std::atof(argv[3]));
    else if (command == "shot")
        result = shot(display, argv[2], argc - 3, argv + 3);
    else if (command == "close")
        result = close(display, argv[2]);
    XCloseDisplay(display);
    return result;
}
