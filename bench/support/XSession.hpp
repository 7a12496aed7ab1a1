#pragma once

#include "bench/support/Screenshot.hpp"

#include <chrono>
#include <string>

struct _XDisplay;

// An X window id; 0 means none. (Xlib's own headers stay out of test code: their macros clash.)
using XWindow = unsigned long;

// Position relative to the root window, and size, of a window.
struct WindowGeometry {
    bool valid = false;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A connection to an X display for looking at and driving the client's windows from a test:
// finding windows by title, reading their geometry, injecting pointer and key input through XTest,
// sending close requests and reading pixels back. X errors are recorded, never fatal.
class XSession {
public:
    explicit XSession(const std::string& displayName);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool ok() const { return display_ != nullptr; }
    int screenWidth() const;
    int screenHeight() const;

    // The top-level window whose WM_NAME is exactly title, once it is mapped; 0 on time-out.
    XWindow findWindow(const std::string& title, std::chrono::milliseconds timeout);
    // The mapped top-level window titled exactly title right now, or 0.
    XWindow windowByTitle(const std::string& title);
    WindowGeometry geometry(XWindow window);

    // Moves the pointer to (x, y) on the root window.
    void movePointer(int x, int y);
    // Button 1 left, 2 middle, 3 right.
    void pressButton(unsigned int button);
    void releaseButton(unsigned int button);
    // Gives window the keyboard focus and presses or releases the key named as in XStringToKeysym
    // ("Escape", "a"); false when the name or the window is unknown.
    bool pressKey(XWindow window, const std::string& keyName);
    bool releaseKey(XWindow window, const std::string& keyName);

    // Sends the window the WM_DELETE_WINDOW request a window manager would send on a close click.
    bool requestClose(XWindow window);

    // The window's current contents; empty when it cannot be read.
    Screenshot capture(XWindow window);
    // The whole screen as shown.
    Screenshot captureRoot();

private:
    bool sendKey(XWindow window, const std::string& keyName, bool press);
    Screenshot captureDrawable(XWindow drawable, int width, int height);

    _XDisplay* display_ = nullptr;
};
