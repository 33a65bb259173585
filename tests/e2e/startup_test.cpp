// The built viewer, started as a user would: its output lines, its window, its
// title and its error boxes, on a private X server.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

namespace {

const char* normalOutput = "Shaders supported!\n3D texture file read\nTexture loaded!\n";

bool isViewerSizedWindow(const WindowInfo& w)
{
    return w.width == 640 && w.height == 480 && isViewerWindow(w);
}

class Startup : public ::testing::Test {
protected:
    XServer server;
    ViewerProcess viewer;
    std::string dir;
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void TearDown() override
    {
        viewer.stop();
        if (!dir.empty())
            removeTree(dir);
    }
    void startIn(const std::string& directory)
    {
        dir = directory;
        ASSERT_TRUE(viewer.start(dir, server.display));
    }
    void expectStillDrawing()
    {
        WindowInfo window;
        ASSERT_TRUE(waitForWindow(server.connection, isViewerSizedWindow, 10, &window));
        EXPECT_TRUE(stillDrawing(server, viewer)) << viewer.standardError();
    }
};

TEST_F(Startup, PrintsItsThreeLinesOpensTheWindowAndShowsNoBox)
{
    startIn(viewerDirectory(patternVolume(volumeBytes)));
    ASSERT_TRUE(viewer.waitForOutput("Texture loaded!\n", 20)) << viewer.standardError();
    EXPECT_EQ(viewer.output(), normalOutput);
    WindowInfo window;
    ASSERT_TRUE(waitForWindow(server.connection, isViewerSizedWindow, 10, &window));
    EXPECT_EQ(window.x, 10);
    EXPECT_EQ(window.y, 10);
    sleepSeconds(3);
    EXPECT_EQ(visibleWindows(server.connection).size(), 1u);
    expectStillDrawing();
    EXPECT_EQ(viewer.output(), normalOutput);
}

TEST_F(Startup, MissingVolumeShowsAnErrorBoxAndCarriesOnOnceItIsDismissed)
{
    startIn(viewerDirectory({}));
    WindowInfo box;
    ASSERT_TRUE(waitForWindow(server.connection, [](const WindowInfo& w) { return w.title == "Error"; }, 20,
                              &box))
        << viewer.standardError();
    EXPECT_EQ(viewer.output(), "");  // blocked in the box: nothing flushed yet
    dismissWithKeyboard(server.connection, box.id);
    ASSERT_TRUE(viewer.waitForOutput("Texture loaded!\n", 10));
    EXPECT_EQ(viewer.output(), normalOutput);
    EXPECT_FALSE(waitForWindow(server.connection, [](const WindowInfo& w) { return w.title == "Error"; }, 0.5,
                               nullptr));
    sleepSeconds(3);
    expectStillDrawing();
}

}  // namespace
