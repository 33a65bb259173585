// What a user can do to the window itself: resize it, move it, cover it, hide
// it, type and drag without end. The viewer must go on drawing through all of it.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

#include <X11/Xutil.h>

#include <fstream>
#include <string>

namespace {

class WindowAbuse : public ::testing::Test {
protected:
    XServer server;
    ViewerProcess viewer;
    WindowInfo window;
    std::string dir;
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        dir = viewerDirectory(patternVolume(volumeBytes));
        ASSERT_TRUE(viewer.start(dir, server.display));
        std::vector<std::string> boxes;
        ASSERT_TRUE(startUpDismissingBoxes(server, viewer, 30, &boxes));
        ASSERT_TRUE(boxes.empty());
        ASSERT_TRUE(waitForWindow(server.connection, [](const WindowInfo& w) { return isFrameTitle(w.title); },
                                  10, &window));
    }
    void TearDown() override
    {
        int signal = 0;
        EXPECT_FALSE(viewer.diedOfSignal(&signal)) << "signal " << signal;
        viewer.stop();
        removeTree(dir);
    }
    long residentKiB()
    {
        std::ifstream status("/proc/" + std::to_string(viewer.pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }
};

TEST_F(WindowAbuse, ResizedToOnePixelMovedCoveredAndHidden)
{
    Display* x = server.connection;
    XResizeWindow(x, window.id, 1, 1);
    XSync(x, False);
    sleepSeconds(1);
    EXPECT_TRUE(stillDrawing(server, viewer));
    XResizeWindow(x, window.id, 640, 480);
    XMoveWindow(x, window.id, 300, 200);
    XSync(x, False);
    sleepSeconds(1);
    EXPECT_TRUE(stillDrawing(server, viewer));

    // Another window on top of it, then the viewer's window taken off the screen and back.
    Window cover = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 1024, 768, 0, 0, 0);
    XMapRaised(x, cover);
    XSync(x, False);
    sleepSeconds(1);
    EXPECT_TRUE(viewer.running());
    XDestroyWindow(x, cover);
    XUnmapWindow(x, window.id);
    XSync(x, False);
    sleepSeconds(1);
    EXPECT_TRUE(viewer.running());
    XMapWindow(x, window.id);
    XSync(x, False);
    sleepSeconds(1);
    EXPECT_TRUE(stillDrawing(server, viewer));
}

TEST_F(WindowAbuse, ThousandsOfKeysAndLongDragsFarOutside)
{
    Display* x = server.connection;
    movePointer(x, window.id, 320, 240);
    const std::string keys = "+-71829305aZ,./ ";
    for (int i = 0; i < 3000; ++i)
        typeCharacter(x, keys[static_cast<size_t>(i) % keys.size()]);
    EXPECT_TRUE(stillDrawing(server, viewer));

    // The pointer goes to the far corners of the screen, beyond the window on every side.
    for (int button : {1, 3, 1}) {
        movePointer(x, window.id, 320, 240);
        pressButton(x, button, true);
        for (int i = 0; i < 50; ++i) {
            movePointer(x, DefaultRootWindow(x), (i % 2) ? 1023 : 0, (i % 3) ? 767 : 0);
            sleepSeconds(0.01);
        }
        pressButton(x, button, false);
    }
    EXPECT_TRUE(stillDrawing(server, viewer));
}

TEST_F(WindowAbuse, TwoMinutesOfDrawingKeepMemorySteady)
{
    sleepSeconds(10);  // past the first frames, when the driver settles in
    long start = residentKiB();
    sleepSeconds(110);
    long end = residentKiB();
    EXPECT_GT(start, 0);
    EXPECT_LT(end - start, 4 * 1024) << start << " KiB at first, " << end << " KiB two minutes later";
    EXPECT_TRUE(stillDrawing(server, viewer));
}

}  // namespace
