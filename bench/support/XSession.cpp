#include "bench/support/XSession.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <thread>

namespace {

// Xlib's default handler exits the process; a window that vanished mid-test must only fail the
// test that looks at it.
int recordError(Display*, XErrorEvent*) {
    return 0;
}

std::string windowName(Display* display, Window window) {
    XTextProperty property{};
    if (XGetWMName(display, window, &property) == 0 || property.value == nullptr)
        return {};
    // Plain ASCII titles read the same in STRING, UTF8_STRING and COMPOUND_TEXT encodings.
    std::string name;
    if (property.format == 8)
        name.assign(reinterpret_cast<const char*>(property.value), property.nitems);
    XFree(property.value);
    return name;
}

// Scales a channel under mask to 0-255.
std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    int shift = 0;
    while (((mask >> shift) & 1UL) == 0)
        ++shift;
    const unsigned long max = mask >> shift;
    const unsigned long value = (pixel & mask) >> shift;
    return static_cast<std::uint8_t>((value * 255UL + max / 2) / max);
}

} // namespace

XSession::XSession(const std::string& displayName) {
    XSetErrorHandler(recordError);
    display_ = XOpenDisplay(displayName.c_str());
}

XSession::~XSession() {
    if (display_ != nullptr)
        XCloseDisplay(display_);
}

int XSession::screenWidth() const {
    return display_ != nullptr ? DisplayWidth(display_, DefaultScreen(display_)) : 0;
}

int XSession::screenHeight() const {
    return display_ != nullptr ? DisplayHeight(display_, DefaultScreen(display_)) : 0;
}

XWindow XSession::windowByTitle(const std::string& title) {
    if (display_ == nullptr)
        return 0;
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display_, DefaultRootWindow(display_), &rootReturn, &parent, &children, &count) == 0)
        return 0;
    XWindow found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable)
            continue;
        if (windowName(display_, children[i]) == title)
            found = children[i];
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

XWindow XSession::findWindow(const std::string& title, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const XWindow window = windowByTitle(title))
            return window;
        if (std::chrono::steady_clock::now() >= deadline)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

WindowGeometry XSession::geometry(XWindow window) {
    WindowGeometry result;
    if (display_ == nullptr || window == 0)
        return result;
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return result;
    Window child = 0;
    if (XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &result.x, &result.y,
                              &child) == 0)
        return result;
    result.width = attributes.width;
    result.height = attributes.height;
    result.valid = true;
    return result;
}

void XSession::movePointer(int x, int y) {
    if (display_ == nullptr)
        return;
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
    XSync(display_, False);
}

void XSession::pressButton(unsigned int button) {
    if (display_ == nullptr)
        return;
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XSync(display_, False);
}

void XSession::releaseButton(unsigned int button) {
    if (display_ == nullptr)
        return;
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    XSync(display_, False);
}

bool XSession::sendKey(XWindow window, const std::string& keyName, bool press) {
    if (display_ == nullptr || window == 0)
        return false;
    const KeySym symbol = XStringToKeysym(keyName.c_str());
    if (symbol == NoSymbol)
        return false;
    const KeyCode code = XKeysymToKeycode(display_, symbol);
    if (code == 0)
        return false;
    // Keys go to the focused window, and with no window manager nobody else moves the focus.
    XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
    XTestFakeKeyEvent(display_, code, press ? True : False, CurrentTime);
    XSync(display_, False);
    return true;
}

bool XSession::pressKey(XWindow window, const std::string& keyName) {
    return sendKey(window, keyName, true);
}

bool XSession::releaseKey(XWindow window, const std::string& keyName) {
    return sendKey(window, keyName, false);
}

bool XSession::requestClose(XWindow window) {
    if (display_ == nullptr || window == 0)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display_, window, False, NoEventMask, &event);
    XSync(display_, False);
    return sent != 0;
}

Screenshot XSession::captureDrawable(XWindow drawable, int width, int height) {
    Screenshot shot;
    if (width <= 0 || height <= 0)
        return shot;
    XImage* image = XGetImage(display_, drawable, 0, 0, static_cast<unsigned int>(width),
                              static_cast<unsigned int>(height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return shot;
    // Masks come from the drawable's visual; a visual-less reply means the server's usual 24-bit layout.
    const bool masked = image->red_mask != 0 && image->green_mask != 0 && image->blue_mask != 0;
    const unsigned long redMask = masked ? image->red_mask : 0xff0000UL;
    const unsigned long greenMask = masked ? image->green_mask : 0x00ff00UL;
    const unsigned long blueMask = masked ? image->blue_mask : 0x0000ffUL;
    shot.width = width;
    shot.height = height;
    shot.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            shot.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)] =
                Rgb{channel(pixel, redMask), channel(pixel, greenMask), channel(pixel, blueMask)};
        }
    }
    XDestroyImage(image);
    return shot;
}

Screenshot XSession::capture(XWindow window) {
    if (display_ == nullptr || window == 0)
        return {};
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return {};
    return captureDrawable(window, attributes.width, attributes.height);
}

Screenshot XSession::captureRoot() {
    if (display_ == nullptr)
        return {};
    return captureDrawable(DefaultRootWindow(display_), screenWidth(), screenHeight());
}
