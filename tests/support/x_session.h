// End-to-end helpers: a private X server, the built viewer running on it in a
// scratch directory, and the means to watch it (windows, title bytes, pixels,
// standard output) and drive it (XTest pointer and keys) as a user would.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct XServer {
    pid_t pid = -1;
    std::string display;  // ":N", chosen by the server itself
    Display* connection = nullptr;

    bool start(int width = 1024, int height = 768);
    void stop();
    ~XServer() { stop(); }
};

struct WindowInfo {
    Window id = 0;
    std::string title;  // the WM_NAME bytes, unchanged
    int x = 0, y = 0, width = 0, height = 0;
};

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // 3 bytes a pixel, rows from the top
    const unsigned char* at(int x, int y) const { return &rgb[3 * (static_cast<size_t>(y) * width + x)]; }
};

// Top-level windows that are on screen, in stacking order (bottom first).
std::vector<WindowInfo> visibleWindows(Display* display);
// Waits until a visible window satisfies the predicate; false after the timeout.
bool waitForWindow(Display* display, const std::function<bool(const WindowInfo&)>& wanted,
                   double seconds, WindowInfo* found);
std::string windowTitle(Display* display, Window window);
Image capture(Display* display, Window window);

// Synthetic input through XTest, in the window's own coordinates.
void movePointer(Display* display, Window window, int x, int y);
void pressButton(Display* display, int button, bool down);
void drag(Display* display, Window window, int button, int x0, int y0, int x1, int y1, int steps = 10);
void typeCharacter(Display* display, char character);
// Gives the box the keyboard focus and presses Return, as a user would.
void dismissWithKeyboard(Display* display, Window box);

struct ViewerProcess {
    pid_t pid = -1;
    int stdoutFd = -1;
    std::string stdoutText;
    std::string directory;
    int status = 0;  // wait status, once it has ended

    // Starts the built viewer in `directory` on `display`; `environment` adds
    // NAME=value pairs; `command`, when given, is run instead (program and arguments).
    bool start(const std::string& directory, const std::string& display,
               const std::vector<std::string>& environment = {}, const std::vector<std::string>& command = {});
    const std::string& output();  // all standard output so far
    bool waitForOutput(const std::string& text, double seconds);
    bool running();
    bool diedOfSignal(int* signal);
    std::string standardError() const;
    void stop();
    ~ViewerProcess() { stop(); }
};

// A scratch directory laid out as the viewer expects: shaders/minimal.vert,
// shaders/minimal.frag (the viewer's own unless given) and, when `volume` is
// not empty, data/skull_256x256x256_8.raw.
std::string viewerDirectory(const std::vector<unsigned char>& volume,
                            const std::string& vertexShader = VIEWER_SHADER_DIR "/minimal.vert",
                            const std::string& fragmentShader = VIEWER_SHADER_DIR "/minimal.frag");

// Title bytes of a running frame: "D", 0xFC, "vozod ..." and the elapsed time at the end.
bool isFrameTitle(const std::string& title);
double titleRuntime(const std::string& title);
void sleepSeconds(double seconds);

// The viewer's own window, by its size and title.
bool isViewerWindow(const WindowInfo& window);

// Waits for the viewer to finish starting up ("Texture loaded!" on its output),
// dismissing every message box on the way with the keyboard. The boxes' window
// titles go to `boxTitles` in the order they appeared. False on a timeout.
bool startUpDismissingBoxes(XServer& server, ViewerProcess& viewer, double seconds,
                            std::vector<std::string>* boxTitles);

// Still alive and drawing: the elapsed time in the title moves on.
bool stillDrawing(XServer& server, ViewerProcess& viewer);
