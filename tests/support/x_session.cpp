#include "x_session.h"

#include "scratch_dir.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

void sleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

static double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Windows come and go while a test looks at them (a dismissed box is destroyed
// at once), so a request about a window that is gone is not an error here.
static int ignoreVanishedWindows(Display*, XErrorEvent*)
{
    return 0;
}

bool XServer::start(int width, int height)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
               "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        return false;
    display = ":" + number;
    XSetErrorHandler(ignoreVanishedWindows);
    connection = XOpenDisplay(display.c_str());
    return connection != nullptr;
}

void XServer::stop()
{
    if (connection != nullptr)
        XCloseDisplay(connection);
    connection = nullptr;
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

std::string windowTitle(Display* display, Window window)
{
    XTextProperty property;
    std::string title;
    if (XGetWMName(display, window, &property) != 0 && property.value != nullptr) {
        title.assign(reinterpret_cast<char*>(property.value), property.nitems);
        XFree(property.value);
    }
    return title;
}

std::vector<WindowInfo> visibleWindows(Display* display)
{
    std::vector<WindowInfo> windows;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    XSync(display, False);
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0)
        return windows;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable)
            continue;
        WindowInfo info;
        info.id = children[i];
        info.title = windowTitle(display, children[i]);
        info.x = attributes.x;
        info.y = attributes.y;
        info.width = attributes.width;
        info.height = attributes.height;
        windows.push_back(info);
    }
    if (children != nullptr)
        XFree(children);
    return windows;
}

bool waitForWindow(Display* display, const std::function<bool(const WindowInfo&)>& wanted,
                   double seconds, WindowInfo* found)
{
    double end = now() + seconds;
    do {
        for (const WindowInfo& window : visibleWindows(display))
            if (wanted(window)) {
                if (found != nullptr)
                    *found = window;
                return true;
            }
        sleepSeconds(0.02);
    } while (now() < end);
    return false;
}

Image capture(Display* display, Window window)
{
    Image image;
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0)
        return image;
    XImage* x = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (x == nullptr)
        return image;
    image.width = attributes.width;
    image.height = attributes.height;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y)
        for (int xx = 0; xx < image.width; ++xx) {
            unsigned long pixel = XGetPixel(x, xx, y);
            unsigned char* out = &image.rgb[3 * (static_cast<size_t>(y) * image.width + xx)];
            out[0] = static_cast<unsigned char>((pixel & x->red_mask) >> 16);
            out[1] = static_cast<unsigned char>((pixel & x->green_mask) >> 8);
            out[2] = static_cast<unsigned char>(pixel & x->blue_mask);
        }
    XDestroyImage(x);
    return image;
}

void movePointer(Display* display, Window window, int x, int y)
{
    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rootX, &rootY, &child);
    XTestFakeMotionEvent(display, DefaultScreen(display), rootX, rootY, 0);
    XSync(display, False);
}

void pressButton(Display* display, int button, bool down)
{
    XTestFakeButtonEvent(display, static_cast<unsigned int>(button), down ? True : False, 0);
    XSync(display, False);
}

void drag(Display* display, Window window, int button, int x0, int y0, int x1, int y1, int steps)
{
    movePointer(display, window, x0, y0);
    sleepSeconds(0.05);
    pressButton(display, button, true);
    sleepSeconds(0.05);
    for (int i = 1; i <= steps; ++i) {
        movePointer(display, window, x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
        sleepSeconds(0.02);
    }
    sleepSeconds(0.05);
    pressButton(display, button, false);
    sleepSeconds(0.05);
}

static void tapKeycode(Display* display, KeyCode code, bool shifted)
{
    KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (shifted)
        XTestFakeKeyEvent(display, shift, True, 0);
    XTestFakeKeyEvent(display, code, True, 0);
    XTestFakeKeyEvent(display, code, False, 0);
    if (shifted)
        XTestFakeKeyEvent(display, shift, False, 0);
    XSync(display, False);
}

void typeCharacter(Display* display, char character)
{
    // Printable Latin-1 characters are their own keysyms; Tab has its own.
    KeySym symbol = character == '\t' ? XK_Tab : static_cast<unsigned char>(character);
    KeyCode code = XKeysymToKeycode(display, symbol);
    if (code == 0)
        return;
    bool shifted = XkbKeycodeToKeysym(display, code, 0, 0) != symbol;
    tapKeycode(display, code, shifted);
}

void dismissWithKeyboard(Display* display, Window box)
{
    XSetInputFocus(display, box, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
    sleepSeconds(0.05);
    tapKeycode(display, XKeysymToKeycode(display, XK_Return), false);
    XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

bool ViewerProcess::start(const std::string& dir, const std::string& display,
                          const std::vector<std::string>& environment, const std::vector<std::string>& command)
{
    directory = dir;
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        int err = open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        setenv("DISPLAY", display.c_str(), 1);
        for (const std::string& pair : environment)
            putenv(strdup(pair.c_str()));
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        if (command.empty())
            execl(VIEWER_PATH, VIEWER_PATH, static_cast<char*>(nullptr));
        else
            execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    stdoutFd = fds[0];
    fcntl(stdoutFd, F_SETFL, O_NONBLOCK);
    return pid > 0;
}

const std::string& ViewerProcess::output()
{
    char buffer[4096];
    ssize_t count;
    while (stdoutFd >= 0 && (count = read(stdoutFd, buffer, sizeof buffer)) > 0)
        stdoutText.append(buffer, static_cast<size_t>(count));
    return stdoutText;
}

bool ViewerProcess::waitForOutput(const std::string& text, double seconds)
{
    double end = now() + seconds;
    while (output().find(text) == std::string::npos) {
        if (now() > end || !running())
            return output().find(text) != std::string::npos;
        sleepSeconds(0.02);
    }
    return true;
}

bool ViewerProcess::running()
{
    if (pid <= 0)
        return false;
    int result = waitpid(pid, &status, WNOHANG);
    if (result == pid) {
        pid = -1;
        return false;
    }
    return result == 0;
}

bool ViewerProcess::diedOfSignal(int* signal)
{
    running();
    if (pid > 0 || !WIFSIGNALED(status))
        return false;
    if (signal != nullptr)
        *signal = WTERMSIG(status);
    return true;
}

std::string ViewerProcess::standardError() const
{
    std::ifstream in(directory + "/stderr.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void ViewerProcess::stop()
{
    if (running()) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
        pid = -1;
    }
    if (stdoutFd >= 0) {
        output();
        close(stdoutFd);
        stdoutFd = -1;
    }
}

std::string viewerDirectory(const std::vector<unsigned char>& volume, const std::string& vertexShader,
                            const std::string& fragmentShader)
{
    std::string dir = makeScratchDir();
    makeDir(dir + "/shaders");
    makeDir(dir + "/data");
    if (!vertexShader.empty())
        copyFile(vertexShader, dir + "/shaders/minimal.vert");
    if (!fragmentShader.empty())
        copyFile(fragmentShader, dir + "/shaders/minimal.frag");
    if (!volume.empty())
        writeFile(dir + "/data/skull_256x256x256_8.raw", volume);
    return dir;
}

bool isFrameTitle(const std::string& title)
{
    return title.size() > 7 && title.compare(0, 2, "D\xFC") == 0 && title.compare(2, 6, "vozod ") == 0;
}

double titleRuntime(const std::string& title)
{
    size_t at = title.rfind("RUNTIME: ");
    return at == std::string::npos ? -1.0 : std::atof(title.c_str() + at + 9);
}

bool isViewerWindow(const WindowInfo& window)
{
    return isFrameTitle(window.title) || window.title == "A window with stuff";
}

bool startUpDismissingBoxes(XServer& server, ViewerProcess& viewer, double seconds,
                            std::vector<std::string>* boxTitles)
{
    double end = now() + seconds;
    while (now() < end) {
        if (viewer.output().find("Texture loaded!\n") != std::string::npos)
            return true;
        if (!viewer.running())
            return false;
        for (const WindowInfo& window : visibleWindows(server.connection)) {
            // A box is any other window with a title; give it a moment to draw itself.
            if (isViewerWindow(window) || window.title.empty())
                continue;
            sleepSeconds(0.1);
            boxTitles->push_back(window.title);
            dismissWithKeyboard(server.connection, window.id);
            auto sameWindow = [&](const WindowInfo& w) { return w.id == window.id; };
            for (int i = 0; i < 100 && waitForWindow(server.connection, sameWindow, 0.0, nullptr); ++i)
                sleepSeconds(0.02);
            break;
        }
        sleepSeconds(0.02);
    }
    return false;
}

bool stillDrawing(XServer& server, ViewerProcess& viewer)
{
    WindowInfo window;
    if (!waitForWindow(server.connection, [](const WindowInfo& w) { return isFrameTitle(w.title); }, 10,
                       &window))
        return false;
    double first = titleRuntime(windowTitle(server.connection, window.id));
    sleepSeconds(0.5);
    return titleRuntime(windowTitle(server.connection, window.id)) > first && viewer.running();
}
