// The render styles, as scripts/style writes them, on volumes made here: a
// maximum projection as the brute-force one, an iso-surface where the density
// crosses troskel, and cut planes that take away what the keys ask and put it
// back. The styles that skip blocks are shown a thin sheet they must not miss.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/glx.h>

#include "gl_window.h"
#include "picture.h"
#include "recording_box.h"
#include "scratch_dir.h"
#include "viewer.h"
#include "x_session.h"

#include <cmath>
#include <filesystem>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const int side = 256;

// A volume whose byte at each voxel is VALUE(x, y, z), clamped to 0..255.
std::vector<unsigned char> volumeOf(const std::function<double(double, double, double)>& value)
{
    std::vector<unsigned char> bytes(volumeBytes);
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                bytes[x + side * (y + side * static_cast<size_t>(z))] =
                    static_cast<unsigned char>(std::lround(std::clamp(value(x, y, z), 0.0, 255.0)));
    return bytes;
}

// Dim matter (a ball of 60) in front of a thin bright sheet (240 in its
// middle plane, falling off as a Gaussian of 1.5 voxels, as a scanner's
// resolution blurs it), tilted against every axis, behind the middle of the volume.
std::vector<unsigned char> sheetBehindDimMatter()
{
    const double n[3] = {0.31, 0.52, 0.80}, length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    return volumeOf([&](double x, double y, double z) {
        double sheet = ((x - 127.5) * n[0] + (y - 127.5) * n[1] + (z - 100.5) * n[2]) / length;
        double ball = std::sqrt((x - 128) * (x - 128) + (y - 128) * (y - 128) + (z - 170) * (z - 170));
        return std::max(240.0 * std::exp(-sheet * sheet / (2 * 1.5 * 1.5)), ball < 40 ? 60.0 : 0.0);
    });
}

int lit(const Image& image, int x, int y)
{
    const unsigned char* p = image.at(x, y);
    return p[0] + p[1] + p[2] > 0;
}

class Styles : public ::testing::Test {
protected:
    ScratchWorkDir dir;

    void SetUp() override
    {
        recordedBoxes.clear();
        setRenderState();
        resize(640, 480);
        troskel = troskelr = troskelg = troskelb = 0.1f;
        rX = rY = rotateX = rotateY = tZ = translateZ = 0.0f;
    }
    void TearDown() override
    {
        rX = rY = 0.0f;
        troskel = troskelr = troskelg = troskelb = 0.1f;
        unload();
        shader_program = 0;
        glUseProgram(0);
    }
    static void unload()
    {
        free(t3DLoader->voxels);
        t3DLoader->voxels = nullptr;
        glDeleteTextures(1, &vtexture);
        glDeleteTextures(1, &blockTexture);
        glDeleteTextures(1, &gradientTexture);
        glDeleteTextures(1, &overlayBlockTexture);
        glDeleteTextures(1, &overlayTexture);
        glDeleteTextures(1, &overlayColourTexture);
        overlayBlockTexture = overlayTexture = overlayColourTexture = 0;
    }
    // The program of a style, as scripts/style writes it (drawing the overlay if one lies beside the volume).
    GLuint style(const std::string& name)
    {
        std::string command = std::string(STYLE_SCRIPT) + " " + name + " " + dir.path + "/shaders/" + name;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        GLuint program = 0;
        setShaderProgram(&program, (name + "/minimal.vert").c_str(), (name + "/minimal.frag").c_str());
        EXPECT_TRUE(recordedBoxes.empty()) << name << ": " << recordedBoxes[0].caption << ": " << recordedBoxes[0].text;
        return program;
    }
    // The brute-force maximum projection, with the mip style's colours.
    GLuint bruteForceProjection()
    {
        style("mip");
        std::string mip = readFile(dir.path + "/shaders/mip/minimal.frag");
        writeFile(dir.path + "/shaders/reference.frag",
                  mip.substr(0, mip.find("void main()")) + readFile(TEST_SHADER_DIR "/reference_mip_main.frag"));
        GLuint program = 0;
        setShaderProgram(&program, "mip/minimal.vert", "reference.frag");
        EXPECT_TRUE(recordedBoxes.empty());
        return program;
    }
    // Loads a volume with PROGRAMS[0] current, as start-up does, and points the others at its textures.
    void load(const std::vector<unsigned char>& volume, const std::vector<GLuint>& programs)
    {
        unload();
        writeFile(dir.path + "/data/skull_256x256x256_8.raw", volume);
        shader_program = programs[0];
        glUseProgram(programs[0]);
        loadVolume();
        ASSERT_TRUE(recordedBoxes.empty());
        for (GLuint program : programs) {
            glUseProgram(program);
            glUniform1i(glGetUniformLocation(program, "vtexture"), 0);
            glUniform1i(glGetUniformLocation(program, "blockRange"), 1);
            glUniform1i(glGetUniformLocation(program, "gradientVolume"), 2);
        }
    }
    static Image frame(GLuint program)
    {
        shader_program = program;
        glUseProgram(program);
        display();
        glFinish();
        return capture(glXGetCurrentDisplay(), glXGetCurrentDrawable());
    }
};

const float turns[][2] = {{0, 0}, {30, 20}, {75, -40}, {-60, 10}, {140, 65}};

TEST_F(Styles, AMaximumProjectionIsTheBruteForceOneAndShowsAThinSheetBehindDimMatter)
{
    GLuint mip = style("mip"), reference = bruteForceProjection();
    load(sheetBehindDimMatter(), {mip, reference});
    for (const auto& turn : turns) {
        rX = turn[0];
        rY = turn[1];
        Image expected = frame(reference), shown = frame(mip);
        PictureError error = pictureError(shown, expected);
        int sheet = 0, missed = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (expected.at(x, y)[0] > 100) {  // the sheet, brighter than the dim matter ever is
                    ++sheet;
                    missed += shown.at(x, y)[0] < expected.at(x, y)[0] - 10;
                }
        SCOPED_TRACE("turn " + std::to_string(turn[0]) + "/" + std::to_string(turn[1]));
        EXPECT_GT(sheet, 10000);
        EXPECT_EQ(missed, 0);
        for (int c = 0; c < 3; ++c)
            EXPECT_LE(error.mean[c], 1.0) << "channel " << c;
    }
    // Grey at the start thresholds; a channel's threshold above the sheet takes its colour away.
    rX = rY = 0;
    Image grey = frame(mip);
    troskelg = 0.95f;
    Image noGreen = frame(mip);
    int coloured = 0, green = 0;
    for (int y = 0; y < grey.height; ++y)
        for (int x = 0; x < grey.width; ++x) {
            const unsigned char *p = grey.at(x, y), *q = noGreen.at(x, y);
            coloured += p[0] != p[1] || p[1] != p[2];
            green += q[1] > 0;
        }
    EXPECT_EQ(coloured, 0);
    EXPECT_EQ(green, 0);
}

TEST_F(Styles, AnIsoSurfaceLiesWhereTheDensityCrossesTroskelAndHidesWhatIsBehind)
{
    // A ball whose density falls linearly from 255 at its centre to 0 at 100 voxels.
    GLuint surface = style("surface");
    load(volumeOf([](double x, double y, double z) {
             return 255.0 * (1.0 - std::sqrt((x - 127.5) * (x - 127.5) + (y - 127.5) * (y - 127.5) +
                                             (z - 127.5) * (z - 127.5)) / 100.0);
         }),
         {surface});
    for (float level : {0.2f, 0.6f}) {
        troskel = level;
        Image shown = frame(surface);
        int count = 0, dim = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (lit(shown, x, y)) {
                    ++count;
                    dim += shown.at(x, y)[0] + shown.at(x, y)[1] + shown.at(x, y)[2] < 30;
                }
        // The silhouette of a ball of radius r, its centre 5 units from the eye, in a 45-degree view of 480 pixels.
        double r = (1.0 - level) * 100.0 / 128.0;
        double expected = 240.0 * std::tan(std::asin(r / 5.0)) / std::tan(22.5 * M_PI / 180.0);
        EXPECT_NEAR(std::sqrt(count / M_PI), expected, 1.5) << "troskel " << level;
        EXPECT_LT(dim, count / 20) << "troskel " << level << ": an opaque, lit surface";
    }

    // The sheet behind dim matter: where the dim matter is below troskel, the sheet is the surface.
    GLuint reference = bruteForceProjection();
    load(sheetBehindDimMatter(), {surface, reference});
    troskel = 0.5f;
    for (const auto& turn : turns) {
        rX = turn[0];
        rY = turn[1];
        Image expected = frame(reference), shown = frame(surface);
        int sheet = 0, missed = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (expected.at(x, y)[0] > 100) {
                    ++sheet;
                    missed += !lit(shown, x, y);
                }
        EXPECT_GT(sheet, 10000) << turn[0] << "/" << turn[1];
        EXPECT_EQ(missed, 0) << turn[0] << "/" << turn[1];
    }
}

TEST_F(Styles, EachCutTakesAwayItsHalfShowsAnOpaqueSectionAndComesBack)
{
    // A box of soft tissue across the middle three quarters of each axis.
    GLuint cut = style("cut");
    load(volumeOf([](double x, double y, double z) {
             return x >= 32 && x < 224 && y >= 32 && y < 224 && z >= 32 && z < 224 ? 100.0 : 0.0;
         }),
         {cut});
    Image whole = frame(cut);
    // The lit pixels' bounds: left, right, top, bottom.
    auto bounds = [](const Image& image) {
        std::vector<int> b = {image.width, -1, image.height, -1};
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                if (lit(image, x, y))
                    b = {std::min(b[0], x), std::max(b[1], x), std::min(b[2], y), std::max(b[3], y)};
        return b;
    };
    // Pixels of the box's front face (z = 224 of 256, 4.25 units from the eye) and of the middle (5 units).
    const double frontHalf = 240.0 * 0.75 / (4.25 * std::tan(22.5 * M_PI / 180.0)),
                 middleHalf = 240.0 * 0.75 / (5.0 * std::tan(22.5 * M_PI / 180.0));
    std::vector<int> box = bounds(whole);
    EXPECT_NEAR(box[1] - box[0] + 1, 2 * frontHalf, 2);

    troskelr = 0.6f;  // cuts away x < 0.5: the patient's right, the screen's left
    std::vector<int> right = bounds(frame(cut));
    EXPECT_NEAR(right[0], 320, 1.5);
    EXPECT_EQ(right[1], box[1]);
    troskelr = 0.1f;
    troskelg = 0.6f;  // cuts away y > 0.5: the top
    std::vector<int> lower = bounds(frame(cut));
    EXPECT_NEAR(lower[2], 240, 1.5);
    EXPECT_EQ(lower[3], box[3]);
    troskelg = 0.1f;
    troskelb = 0.6f;  // cuts away z > 0.5: the front half, leaving a section across the middle
    Image section = frame(cut);
    std::vector<int> face = bounds(section);
    EXPECT_NEAR(face[1] - face[0] + 1, 2 * middleHalf, 2);
    EXPECT_NEAR(face[3] - face[2] + 1, 2 * middleHalf, 2);
    // Opaque and flatly lit: one colour across the section.
    const unsigned char* centre = section.at(320, 240);
    int other = 0;
    for (int y = face[2] + 2; y < face[3] - 1; ++y)
        for (int x = face[0] + 2; x < face[1] - 1; ++x)
            for (int c = 0; c < 3; ++c)
                other += std::abs(section.at(x, y)[c] - centre[c]) > 1;
    EXPECT_EQ(other, 0);
    EXPECT_GT(centre[0] + centre[1] + centre[2], 150);

    troskelb = 0.1f;  // the keys pressed back: all of it again
    Image again = frame(cut);
    EXPECT_TRUE(again.rgb == whole.rgb);
}

// A ball of overlay toward the patient's left, the top and the front of a
// ball of soft tissue, straddling its surface: each style shows it in its
// colour where it lies, whatever the thresholds do to the tissue.
TEST_F(Styles, EachStyleDrawsTheOverlayWhereItLies)
{
    const double ox = 168, oy = 168, oz = 188, radius = 20;
    auto tissue = volumeOf([](double x, double y, double z) {
        return (x - 127.5) * (x - 127.5) + (y - 127.5) * (y - 127.5) + (z - 127.5) * (z - 127.5) < 80 * 80 ? 100.0 : 0.0;
    });
    writeFile(dir.path + "/data/overlay_256x256x256_8.raw", volumeOf([&](double x, double y, double z) {
                  return (x - ox) * (x - ox) + (y - oy) * (y - oy) + (z - oz) * (z - oz) < radius * radius ? 200.0 : 0.0;
              }));
    std::vector<unsigned char> green(768, 0);  // every entry but 0 pure green
    std::fill(green.begin() + 257, green.begin() + 512, 255);
    // Where its centre lies on the screen in the default view: the eye 5 units from the cube of side 2.
    const double f = 240.0 / std::tan(22.5 * M_PI / 180.0), depth = 5.0 - (2 * (oz + 0.5) / side - 1);
    const double expectedX = 320 + f * (2 * (ox + 0.5) / side - 1) / depth,
                 expectedY = 240 - f * (2 * (oy + 0.5) / side - 1) / depth;

    struct Case {
        const char* style;
        const char* kind;  // labels, or a continuous map
        float troskel, troskelb;
    };
    const Case cases[] = {{"tissue", "labels", 0.5f, 0.1f},  // the tissue below troskel, gone
                          {"cut", "labels", 0.1f, static_cast<float>(1.1 - oz / side)},  // cut through its centre
                          {"surface", "labels", 0.2f, 0.1f},
                          {"mip", "map", 0.1f, 0.1f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        std::filesystem::remove(dir.path + "/data/overlay_256x256x256_8.labels.lut");
        std::filesystem::remove(dir.path + "/data/overlay_256x256x256_8.map.lut");
        writeFile(dir.path + "/data/overlay_256x256x256_8." + c.kind + ".lut", green);
        GLuint program = style(c.style);
        load(tissue, {program});
        troskel = c.troskel;
        troskelb = c.troskelb;
        Image shown = frame(program);
        double count = 0, sumX = 0, sumY = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x) {
                const unsigned char* p = shown.at(x, y);
                if (p[1] > p[0] + 40 && p[1] > p[2] + 40)
                    count += 1, sumX += x, sumY += y;
            }
        EXPECT_GT(count, 300);
        EXPECT_NEAR(sumX / count, expectedX, 5);
        EXPECT_NEAR(sumY / count, expectedY, 5);
    }
}

}  // namespace
