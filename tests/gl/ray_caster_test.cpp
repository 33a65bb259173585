// The viewer's own ray-casting shaders on small test volumes: orientation,
// empty and full volumes, and what the thresholds do to the picture.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/glx.h>

#include "gl_window.h"
#include "recording_box.h"
#include "scratch_dir.h"
#include "viewer.h"
#include "x_session.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// The phantom's tissue values.
const unsigned char brainValue = 100;
const unsigned char denseValue = 190;
const unsigned char boneValue = 240;

struct Ball {
    int x, y, z, radius;
    unsigned char value;
};

std::vector<unsigned char> ballVolume(const std::vector<Ball>& balls)
{
    std::vector<unsigned char> bytes(volumeBytes, 0);
    for (const Ball& b : balls)
        for (int z = b.z - b.radius; z <= b.z + b.radius; ++z)
            for (int y = b.y - b.radius; y <= b.y + b.radius; ++y)
                for (int x = b.x - b.radius; x <= b.x + b.radius; ++x) {
                    int dx = x - b.x, dy = y - b.y, dz = z - b.z;
                    if (dx * dx + dy * dy + dz * dz <= b.radius * b.radius)
                        bytes[x + 256 * y + 65536 * static_cast<size_t>(z)] = b.value;
                }
    return bytes;
}

class RayCaster : public ::testing::Test {
protected:
    ScratchWorkDir dir;
    void SetUp() override
    {
        copyFile(VIEWER_SHADER_DIR "/minimal.vert", dir.path + "/shaders/minimal.vert");
        copyFile(VIEWER_SHADER_DIR "/minimal.frag", dir.path + "/shaders/minimal.frag");
        recordedBoxes.clear();
        setShaderProgram(&shader_program, vertexName, fragmentName);
        ASSERT_TRUE(recordedBoxes.empty()) << recordedBoxes[0].text;
        setRenderState();
        resize(640, 480);
        troskel = troskelr = troskelg = troskelb = 0.1f;
        rX = rY = rotateX = rotateY = tZ = translateZ = 0.0f;
    }
    void TearDown() override
    {
        rX = 0.0f;
        troskel = troskelr = troskelg = troskelb = 0.1f;
        free(t3DLoader->voxels);
        t3DLoader->voxels = nullptr;
        glUseProgram(0);
    }
    void load(const std::vector<unsigned char>& volume)
    {
        writeFile(dir.path + "/data/skull_256x256x256_8.raw", volume);
        loadVolume();
        ASSERT_TRUE(recordedBoxes.empty());
    }
    static Image frame()
    {
        display();
        glFinish();
        return capture(glXGetCurrentDisplay(), glXGetCurrentDrawable());
    }
    static bool lit(const Image& image, int x, int y)
    {
        const unsigned char* p = image.at(x, y);
        return p[0] + p[1] + p[2] > 0;
    }
    // Centre of the lit pixels, in window pixels from the top-left corner.
    static void litCentre(const Image& image, double* x, double* y, int* count)
    {
        double sx = 0, sy = 0;
        *count = 0;
        for (int j = 0; j < image.height; ++j)
            for (int i = 0; i < image.width; ++i)
                if (lit(image, i, j)) {
                    sx += i;
                    sy += j;
                    ++*count;
                }
        *x = *count ? sx / *count : -1;
        *y = *count ? sy / *count : -1;
    }
};

TEST_F(RayCaster, PlusXIsRightPlusYIsUpAndAHalfTurnSwapsSides)
{
    double x, y;
    int count;
    load(ballVolume({{220, 128, 128, 20, boneValue}}));
    Image plusX = frame();
    litCentre(plusX, &x, &y, &count);
    EXPECT_GT(count, 200);
    EXPECT_GT(x, 320 + 60);
    EXPECT_NEAR(y, 240, 5);

    rX = 180.0f;
    litCentre(frame(), &x, &y, &count);
    EXPECT_GT(count, 200);
    EXPECT_LT(x, 320 - 60);
    rX = 0.0f;

    free(t3DLoader->voxels);
    load(ballVolume({{128, 220, 128, 20, boneValue}}));
    litCentre(frame(), &x, &y, &count);
    EXPECT_GT(count, 200);
    EXPECT_LT(y, 240 - 60);
    EXPECT_NEAR(x, 320, 5);
}

TEST_F(RayCaster, EmptyVolumeShowsOnlyBackgroundAndAFullOneTheWholeCube)
{
    load(std::vector<unsigned char>(volumeBytes, 0));
    double x, y;
    int count;
    litCentre(frame(), &x, &y, &count);
    EXPECT_EQ(count, 0);

    free(t3DLoader->voxels);
    load(std::vector<unsigned char>(volumeBytes, 255));
    Image full = frame();
    // Face-on, the cube's silhouette is its front face: 1 unit at distance 4.
    double half = 240.0 / (4.0 * std::tan(22.5 * M_PI / 180.0));
    int holes = 0, outside = 0;
    for (int j = 0; j < full.height; ++j)
        for (int i = 0; i < full.width; ++i) {
            double dx = std::fabs(i + 0.5 - 320), dy = std::fabs(j + 0.5 - 240);
            if (dx < half - 2 && dy < half - 2 && !lit(full, i, j))
                ++holes;
            if ((dx > half + 2 || dy > half + 2) && lit(full, i, j))
                ++outside;
        }
    EXPECT_EQ(holes, 0);
    EXPECT_EQ(outside, 0);
}

class Thresholds : public RayCaster {
protected:
    // Soft tissue left, a dense structure in the middle, bone right.
    void SetUp() override
    {
        RayCaster::SetUp();
        load(ballVolume({{60, 128, 128, 26, brainValue}, {128, 128, 128, 26, denseValue},
                         {196, 128, 128, 26, boneValue}}));
    }
    static const unsigned char* at(const Image& image, double volumeX)
    {
        // The balls' centres lie on the middle row; x at the ball's front, z = 154 of 256.
        double sceneX = volumeX / 128.0 - 1.0, sceneZ = 154.0 / 128.0 - 1.0;
        double pixel = 320 + sceneX * 240.0 / ((5.0 - sceneZ) * std::tan(22.5 * M_PI / 180.0));
        return image.at(static_cast<int>(pixel), 240);
    }
};

TEST_F(Thresholds, RaisingTroskelAboveSoftTissueLeavesOnlyDenseMatterAndBone)
{
    Image before = frame();
    for (double ball : {60.0, 128.0, 196.0})
        EXPECT_GT(at(before, ball)[0] + at(before, ball)[1] + at(before, ball)[2], 60) << ball;
    troskel = 0.45f;
    Image after = frame();
    EXPECT_EQ(at(after, 60)[0] + at(after, 60)[1] + at(after, 60)[2], 0);
    EXPECT_GT(at(after, 128)[0] + at(after, 128)[1] + at(after, 128)[2], 60);
    EXPECT_GT(at(after, 196)[0] + at(after, 196)[1] + at(after, 196)[2], 60);
}

TEST_F(Thresholds, EachColourThresholdChangesOnlyItsOwnChannel)
{
    Image before = frame();
    float* thresholds[] = {&troskelr, &troskelg, &troskelb};
    for (int channel = 0; channel < 3; ++channel) {
        *thresholds[channel] = 0.8f;  // above soft tissue and dense matter, below bone
        Image after = frame();
        *thresholds[channel] = 0.1f;
        for (double ball : {60.0, 128.0, 196.0}) {
            for (int c = 0; c < 3; ++c) {
                int shown = at(after, ball)[c], was = at(before, ball)[c];
                if (c != channel)
                    EXPECT_NEAR(shown, was, 1) << channel << " " << ball;
                else if (ball < 190)
                    EXPECT_LT(shown, was / 4) << channel << " " << ball;
                else  // bone keeps its channel but for the thin rim where it blends into air
                    EXPECT_GT(shown, was * 3 / 4) << channel;
            }
        }
    }
}

}  // namespace
