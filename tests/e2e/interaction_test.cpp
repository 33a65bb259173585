// Turning, zooming and the threshold keys in the running viewer, driven with
// XTest and seen through its pixels and its title.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

#include <cstdlib>
#include <regex>

namespace {

bool isDrawingViewer(const WindowInfo& w)
{
    return w.width == 640 && w.height == 480 && isFrameTitle(w.title);
}

class Interaction : public ::testing::Test {
protected:
    XServer server;
    ViewerProcess viewer;
    WindowInfo window;
    std::string dir;

    void TearDown() override
    {
        viewer.stop();
        removeTree(dir);
    }
    void startWith(const std::string& vertex, const std::string& fragment)
    {
        ASSERT_TRUE(server.start());
        dir = viewerDirectory(std::vector<unsigned char>(volumeBytes, 0), TEST_SHADER_DIR "/" + vertex,
                              TEST_SHADER_DIR "/" + fragment);
        ASSERT_TRUE(viewer.start(dir, server.display));
        ASSERT_TRUE(viewer.waitForOutput("Texture loaded!\n", 20)) << viewer.standardError();
        ASSERT_TRUE(waitForWindow(server.connection, isDrawingViewer, 10, &window));
    }
    // A frame drawn after everything sent so far has been handled.
    Image settledFrame()
    {
        sleepSeconds(0.3);
        return capture(server.connection, window.id);
    }
    // Width in pixels of the cube along the window's middle row.
    static int cubeWidth(const Image& image)
    {
        int count = 0;
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* p = image.at(x, image.height / 2);
            if (p[0] + p[1] + p[2] > 0)
                ++count;
        }
        return count;
    }
    static void expectPixel(const Image& image, int x, int y, int r, int g, int b)
    {
        ASSERT_EQ(image.width, 640);
        const unsigned char* p = image.at(x, y);
        EXPECT_NEAR(p[0], r, 2);
        EXPECT_NEAR(p[1], g, 2);
        EXPECT_NEAR(p[2], b, 2);
    }
};

TEST_F(Interaction, LeftDragOfNinetyPixelsRightTurnsTheMinusXFaceToTheViewer)
{
    startWith("texcoord.vert", "texcoord.frag");
    expectPixel(settledFrame(), 320, 240, 128, 128, 255);  // +Z face: (0.5, 0.5, 1)
    drag(server.connection, window.id, 1, 200, 200, 290, 200, 9);
    expectPixel(settledFrame(), 320, 240, 0, 128, 128);  // -X face: (0, 0.5, 0.5)
    EXPECT_TRUE(viewer.running());
}

TEST_F(Interaction, RightDragUpwardBringsTheCubeNearer)
{
    startWith("texcoord.vert", "texcoord.frag");
    int before = cubeWidth(settledFrame());
    drag(server.connection, window.id, 3, 320, 300, 320, 280);  // 20 pixels up: 2 units nearer
    int after = cubeWidth(settledFrame());
    EXPECT_GT(before, 100);
    EXPECT_GT(after, before * 3 / 2);
    drag(server.connection, window.id, 3, 100, 100, 400, 100);  // sideways: no zoom
    EXPECT_EQ(cubeWidth(settledFrame()), after);
}

TEST_F(Interaction, PlusKeysChangeWhatTheShaderSees)
{
    startWith("good.vert", "thresholds.frag");
    expectPixel(settledFrame(), 320, 240, 26, 26, 26);  // every threshold 0.1
    movePointer(server.connection, window.id, 320, 240);  // keys go to the window under the pointer
    for (int i = 0; i < 10; ++i)
        typeCharacter(server.connection, '+');
    typeCharacter(server.connection, '1');
    typeCharacter(server.connection, '5');  // not bound
    expectPixel(settledFrame(), 320, 240, 51, 23, 26);  // troskel 0.2, troskelr 0.09
}

TEST_F(Interaction, TitleMatchesTheFormatAndItsTimeAdvances)
{
    startWith("texcoord.vert", "texcoord.frag");
    std::regex format("D\xFC" "vozod [ -][0-9]+\\.[0-9] FPS  [ -][0-9]+\\.[0-9] MAX [ -][0-9]+\\.[0-9] MIN  "
                      "RUNTIME: [0-9]+\\.0");
    std::string first = windowTitle(server.connection, window.id);
    sleepSeconds(0.5);
    std::string second = windowTitle(server.connection, window.id);
    EXPECT_TRUE(std::regex_match(first, format)) << first;
    EXPECT_TRUE(std::regex_match(second, format)) << second;
    EXPECT_GT(titleRuntime(second), titleRuntime(first));
    EXPECT_EQ(static_cast<unsigned char>(second[1]), 0xFC);
}

}  // namespace
