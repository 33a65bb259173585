// One frame with a real GL: the cube's texture coordinates on screen, the
// mouse-driven turn, culling from inside, and the matrix left as it was.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/freeglut.h>

#include <GL/glx.h>

#include "gl_window.h"
#include "recording_box.h"
#include "viewer.h"
#include "x_session.h"

#include <algorithm>

namespace {

class Frame : public ::testing::Test {
protected:
    ScratchWorkDir dir;
    void SetUp() override
    {
        dir.addShader("texcoord.vert", "minimal.vert");
        dir.addShader("texcoord.frag", "minimal.frag");
        recordedBoxes.clear();
        setShaderProgram(&shader_program, vertexName, fragmentName);
        ASSERT_TRUE(recordedBoxes.empty());
        setRenderState();
        resize(640, 480);
        rX = rY = rotateX = rotateY = tZ = translateZ = 0.0f;
    }
    void TearDown() override
    {
        rX = rY = tZ = 0.0f;
        glUseProgram(0);
    }
    // The frame as the window shows it after the swap, read from the X server.
    static Image shownFrame()
    {
        glFinish();
        return capture(glXGetCurrentDisplay(), glXGetCurrentDrawable());
    }
    static void expectColour(const Image& image, int x, int y, float r, float g, float b)
    {
        ASSERT_EQ(image.width, 640);
        const unsigned char* p = image.at(x, y);
        EXPECT_NEAR(p[0], 255 * r, 2.0f);
        EXPECT_NEAR(p[1], 255 * g, 2.0f);
        EXPECT_NEAR(p[2], 255 * b, 2.0f);
    }
};

TEST_F(Frame, DefaultViewShowsThePlusZFaceAtTheCentre)
{
    display();
    expectColour(shownFrame(), 320, 240, 0.5f, 0.5f, 1.0f);
}

TEST_F(Frame, TurningNinetyDegreesAboutYShowsTheMinusXFace)
{
    rX = 60.0f;
    rotateX = 30.0f;  // a finished drag and one under way add up
    display();
    expectColour(shownFrame(), 320, 240, 0.0f, 0.5f, 0.5f);
}

TEST_F(Frame, TurningAboutXBringsTheTopFaceForwardWhenDraggedDown)
{
    rY = 90.0f;  // a downward drag carries the front face down and the top face to the front
    display();
    expectColour(shownFrame(), 320, 240, 0.5f, 1.0f, 0.5f);
}

TEST_F(Frame, WithTheEyeInsideTheCubeNothingIsDrawn)
{
    tZ = 4.5f;  // the cube spans 3.5 to 5.5 along Z, the eye is at 5
    display();
    Image image = shownFrame();
    ASSERT_EQ(image.width, 640);
    int brightest = 0;
    for (unsigned char v : image.rgb)
        brightest = std::max(brightest, static_cast<int>(v));
    EXPECT_EQ(brightest, 0);
    tZ = 0.0f;  // and from outside again it is
    display();
    expectColour(shownFrame(), 320, 240, 0.5f, 0.5f, 1.0f);
}

TEST_F(Frame, ModelViewIsTheSameAfterAFrameAsBefore)
{
    rX = 33.0f;
    rY = -12.0f;
    tZ = -2.0f;
    double before[16], after[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, before);
    for (int i = 0; i < 3; ++i)
        display();
    glGetDoublev(GL_MODELVIEW_MATRIX, after);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(after[i], before[i]);
    GLint depth = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
    EXPECT_EQ(depth, 1);
}

}  // namespace
