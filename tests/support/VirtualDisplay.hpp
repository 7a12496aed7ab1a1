#pragma once

#include <string>
#include <sys/types.h>

// A private Xvfb server on a display number it picks itself. Stops the server on destruction.
class VirtualDisplay {
public:
    // Starts Xvfb with one screen of width x height x 24 and waits until it accepts clients.
    // stopWithParent: the server ends with the test process instead of with this object.
    explicit VirtualDisplay(int width = 1920, int height = 1920, bool stopWithParent = false);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool ok() const { return pid_ > 0 && !name_.empty(); }
    // ":N"
    const std::string& name() const { return name_; }

    // Starts one display for the whole test process (if DISPLAY is not set already) and points
    // DISPLAY at it; the server lives until the process ends. Call before anything opens a window
    // or a GL context (a test binary whose static objects hold textures links EarlyDisplay.cpp).
    static void ensureProcessDisplay();

private:
    pid_t pid_ = -1;
    std::string name_;
};
