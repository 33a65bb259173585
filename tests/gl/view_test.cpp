// The view: viewport, projection and camera after a resize.
#include <gtest/gtest.h>

#include "gl_window.h"
#include "viewer.h"

#include <cmath>

namespace {

struct Matrices {
    double projection[16];
    double modelview[16];
    GLint viewport[4];
};

Matrices current()
{
    Matrices m;
    glGetDoublev(GL_PROJECTION_MATRIX, m.projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, m.modelview);
    glGetIntegerv(GL_VIEWPORT, m.viewport);
    return m;
}

// The perspective matrix, column-major, as the GL defines it.
void perspective(double fovy, double aspect, double zNear, double zFar, double out[16])
{
    double f = 1.0 / std::tan(fovy * M_PI / 360.0);
    for (int i = 0; i < 16; ++i)
        out[i] = 0.0;
    out[0] = f / aspect;
    out[5] = f;
    out[10] = (zFar + zNear) / (zNear - zFar);
    out[11] = -1.0;
    out[14] = 2.0 * zFar * zNear / (zNear - zFar);
}

// The GL keeps its matrices in single precision, so compare to within a float's rounding.
void expectMatrix(const double* actual, const double* expected)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual[i], expected[i], 2e-7 * (1.0 + std::fabs(expected[i]))) << "element " << i;
}

// Looking from (0, 0, 5) at the origin with +Y up is a move of 5 along -Z.
const double lookFromFive[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -5, 1};
const double nearAsFloat = 0.10000000149011612;

TEST(View, ResizeSetsThePerspectiveAndTheCameraAtZFive)
{
    resize(640, 480);
    Matrices m = current();
    double expected[16];
    perspective(45.0, 640.0 / 480.0, nearAsFloat, 1000.0, expected);
    expectMatrix(m.projection, expected);
    expectMatrix(m.modelview, lookFromFive);
    // The matrix cannot tell 0.1f from 0.1; the argument handed to the projection can.
    EXPECT_EQ(lastPerspective[0], 45.0);
    EXPECT_EQ(lastPerspective[1], 640.0 / 480.0);
    EXPECT_EQ(lastPerspective[2], nearAsFloat);
    EXPECT_EQ(lastPerspective[3], 1000.0);
    EXPECT_EQ(m.viewport[2], 640);
    EXPECT_EQ(m.viewport[3], 480);
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
}

TEST(View, AnotherShapeChangesOnlyViewportAndProjectionAndCallsDoNotAccumulate)
{
    resize(300, 600);
    resize(300, 600);
    Matrices m = current();
    double expected[16];
    perspective(45.0, 0.5, nearAsFloat, 1000.0, expected);
    expectMatrix(m.projection, expected);
    expectMatrix(m.modelview, lookFromFive);
    EXPECT_EQ(m.viewport[0], 0);
    EXPECT_EQ(m.viewport[1], 0);
    EXPECT_EQ(m.viewport[2], 300);
    EXPECT_EQ(m.viewport[3], 600);
    resize(640, 480);
}

TEST(View, HeightZeroGivesAFiniteProjection)
{
    resize(640, 0);
    Matrices m = current();
    for (double v : m.projection)
        EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(lastPerspective[1], 640.0);  // the width over a height of 1
    resize(640, 480);
}

}  // namespace
