// Mouse drags: the two layers of each value and the shared press position.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/freeglut.h>

#include "viewer.h"

namespace {

class Mouse : public ::testing::Test {
protected:
    void SetUp() override
    {
        left = right = false;
        origoX = origoY = 0;
        rotateX = rotateY = rX = rY = translateZ = tZ = 0.0f;
    }
    void drag(int button, int x0, int y0, int x1, int y1)
    {
        mouse(button, GLUT_DOWN, x0, y0);
        motionFunc(x1, y1);
        mouse(button, GLUT_UP, x1, y1);
    }
};

TEST_F(Mouse, LeftDragTurnsWhileHeldAndKeepsTheTurnAfterRelease)
{
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 200);
    motionFunc(130, 190);
    EXPECT_TRUE(left);
    EXPECT_EQ(rotateX, 30.0f);
    EXPECT_EQ(rotateY, -10.0f);
    EXPECT_EQ(rX, 0.0f);
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 500, 500);  // release position is not used
    EXPECT_FALSE(left);
    EXPECT_EQ(rX, 30.0f);
    EXPECT_EQ(rY, -10.0f);
    EXPECT_EQ(rotateX, 0.0f);
    EXPECT_EQ(rotateY, 0.0f);
    drag(GLUT_LEFT_BUTTON, 0, 0, 330, 0);  // drags add up past a full turn
    EXPECT_EQ(rX, 360.0f);
}

TEST_F(Mouse, RightDragZoomsByATenthPerPixelUpwardOnly)
{
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 50, 300);
    motionFunc(400, 260);  // 40 pixels up, x ignored
    EXPECT_EQ(translateZ, static_cast<float>(40 * 0.1));
    EXPECT_EQ(rotateX, 0.0f);
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 0, 0);
    EXPECT_FALSE(right);
    EXPECT_FLOAT_EQ(tZ, 4.0f);
    EXPECT_EQ(translateZ, 0.0f);
    drag(GLUT_RIGHT_BUTTON, 0, 0, 0, 100);  // downward moves away
    EXPECT_FLOAT_EQ(tZ, -6.0f);
}

TEST_F(Mouse, PressAndReleaseWithoutMoveOnlySetThePressPosition)
{
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 7, 9);
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 70, 90);
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 3, 3);  // release of a button not held
    EXPECT_EQ(origoX, 7);
    EXPECT_EQ(origoY, 9);
    EXPECT_EQ(rX, 0.0f);
    EXPECT_EQ(rY, 0.0f);
    EXPECT_EQ(tZ, 0.0f);
    motionFunc(300, 300);  // no button held: nothing
    EXPECT_EQ(rotateX, 0.0f);
    EXPECT_EQ(translateZ, 0.0f);
}

TEST_F(Mouse, MiddleButtonChangesNothingNotEvenThePressPosition)
{
    mouse(GLUT_MIDDLE_BUTTON, GLUT_DOWN, 40, 40);
    motionFunc(90, 90);
    mouse(GLUT_MIDDLE_BUTTON, GLUT_UP, 90, 90);
    EXPECT_EQ(origoX, 0);
    EXPECT_EQ(origoY, 0);
    EXPECT_EQ(rotateX, 0.0f);
    EXPECT_EQ(translateZ, 0.0f);
}

TEST_F(Mouse, WithBothButtonsHeldTheLeftTurnsAndTheRightPressMovesTheOrigin)
{
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 100);
    motionFunc(150, 100);
    EXPECT_EQ(rotateX, 50.0f);
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 200, 100);  // the turn so far is dropped
    motionFunc(210, 80);
    EXPECT_EQ(rotateX, 10.0f);
    EXPECT_EQ(rotateY, -20.0f);
    EXPECT_EQ(translateZ, 0.0f);
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 210, 80);
    EXPECT_EQ(tZ, 0.0f);
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 210, 80);
    EXPECT_EQ(rX, 10.0f);
}

TEST_F(Mouse, LeftPressDuringARightDragKeepsTheZoomUntilTheRightRelease)
{
    mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 0, 100);
    motionFunc(0, 90);  // zoom 1.0
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 0, 50);
    motionFunc(20, 50);
    EXPECT_FLOAT_EQ(translateZ, 1.0f);
    mouse(GLUT_RIGHT_BUTTON, GLUT_UP, 0, 0);
    EXPECT_FLOAT_EQ(tZ, 1.0f);
    mouse(GLUT_LEFT_BUTTON, GLUT_UP, 0, 0);
    EXPECT_EQ(rX, 20.0f);
}

TEST_F(Mouse, PositionsOutsideTheWindowAreUsedAsDelivered)
{
    mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, -50, -20);
    motionFunc(-5000, 3000);
    EXPECT_EQ(rotateX, -4950.0f);
    EXPECT_EQ(rotateY, 3020.0f);
}

}  // namespace
