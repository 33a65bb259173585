// The block summary, the gradient volume and the quality of the ray caster's
// picture: no ray steps over thin matter, and the picture is closer to the
// brute-force reference than the ray caster before the gradient volume was.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/glx.h>

#include "gl_window.h"
#include "picture.h"
#include "recording_box.h"
#include "scratch_dir.h"
#include "viewer.h"
#include "x_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

const int side = 256, blockSide = 4, blocks = side / blockSide;

class Pictures : public ::testing::Test {
protected:
    ScratchWorkDir dir;
    GLuint real = 0, baseline = 0, reference = 0;

    void SetUp() override
    {
        copyFile(VIEWER_SHADER_DIR "/minimal.vert", dir.path + "/shaders/minimal.vert");
        copyFile(VIEWER_SHADER_DIR "/minimal.frag", dir.path + "/shaders/minimal.frag");
        copyFile(TEST_SHADER_DIR "/baseline.frag", dir.path + "/shaders/baseline.frag");
        writeFile(dir.path + "/shaders/reference.frag", referenceFragmentShader(VIEWER_SHADER_DIR "/minimal.frag"));
        recordedBoxes.clear();
        setShaderProgram(&baseline, "minimal.vert", "baseline.frag");
        setShaderProgram(&reference, "minimal.vert", "reference.frag");
        setShaderProgram(&real, "minimal.vert", "minimal.frag");  // current while the volume loads
        shader_program = real;
        ASSERT_TRUE(recordedBoxes.empty()) << recordedBoxes[0].caption << ": " << recordedBoxes[0].text;
        setRenderState();
        resize(640, 480);
        troskel = troskelr = troskelg = troskelb = 0.1f;
        rX = rY = rotateX = rotateY = tZ = translateZ = 0.0f;
    }
    void TearDown() override
    {
        rX = rY = 0.0f;
        troskel = 0.1f;
        free(t3DLoader->voxels);
        t3DLoader->voxels = nullptr;
        deleteTextures();
        shader_program = 0;
        glUseProgram(0);
    }
    // Loads a volume with the viewer's own program current, as start-up does,
    // then points the other programs' samplers at the same units.
    void load(const std::string& volumeFile)
    {
        std::filesystem::rename(volumeFile, dir.path + "/data/skull_256x256x256_8.raw");
        shader_program = real;
        glUseProgram(real);
        loadVolume();
        ASSERT_TRUE(recordedBoxes.empty());
        for (GLuint program : {baseline, reference}) {
            glUseProgram(program);
            glUniform1i(glGetUniformLocation(program, "blockRange"), 1);
            glUniform1i(glGetUniformLocation(program, "gradientVolume"), 2);
        }
        glUseProgram(real);
    }
    static void deleteTextures()
    {
        glDeleteTextures(1, &vtexture);
        glDeleteTextures(1, &blockTexture);
        glDeleteTextures(1, &gradientTexture);
    }
    Image frame(GLuint program)
    {
        shader_program = program;
        glUseProgram(program);
        display();
        glFinish();
        return capture(glXGetCurrentDisplay(), glXGetCurrentDrawable());
    }
    std::string scratchFile(const std::string& name) { return dir.path + "/" + name; }
    // After loading: unit 0 active with the volume bound, as start-up left it,
    // and the viewer's program pointing the sampler at its unit.
    void expectVolumeActiveAndSampler(const char* sampler, GLint expectedUnit)
    {
        GLint active = 0, boundOnZero = 0, unit = -1;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        glGetIntegerv(GL_TEXTURE_BINDING_3D, &boundOnZero);
        glGetUniformiv(real, glGetUniformLocation(real, sampler), &unit);
        EXPECT_EQ(active, GL_TEXTURE0);
        EXPECT_EQ(static_cast<GLuint>(boundOnZero), vtexture);
        EXPECT_EQ(unit, expectedUnit) << sampler;
    }
};

TEST_F(Pictures, TheBlockSummaryHoldsWhatFilteringCanReturnInEachBlockAndLeavesUnitZeroAsItWas)
{
    // One bright voxel: linear filtering reaches it from one voxel around, so
    // every block within one voxel of it must show it, and no other block.
    const int vx = 17, vy = 8, vz = 100;
    std::vector<unsigned char> volume(volumeBytes, 0);
    volume[vx + side * vy + side * side * static_cast<size_t>(vz)] = 200;
    writeFile(scratchFile("one.raw"), volume);
    load(scratchFile("one.raw"));

    expectVolumeActiveAndSampler("blockRange", 1);

    std::vector<unsigned char> summary(4u * blocks * blocks * blocks, 99);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_3D, blockTexture);
    glGetTexImage(GL_TEXTURE_3D, 0, GL_RGBA, GL_UNSIGNED_BYTE, summary.data());
    glActiveTexture(GL_TEXTURE0);
    auto reaches = [](int voxel, int block) {
        return voxel >= block * blockSide - 1 && voxel <= block * blockSide + blockSide;
    };
    auto shows = [&](int bx, int by, int bz) { return reaches(vx, bx) && reaches(vy, by) && reaches(vz, bz); };
    // Whether the group of size^3 blocks that holds a block holds one that shows the voxel.
    auto groupShows = [&](int bx, int by, int bz, int size) {
        bool any = false;
        for (int z = bz / size * size; z < bz / size * size + size; ++z)
            for (int y = by / size * size; y < by / size * size + size; ++y)
                for (int x = bx / size * size; x < bx / size * size + size; ++x)
                    any = any || shows(x, y, z);
        return any;
    };
    int wrong = 0, showing = 0, groupsOf4 = 0, groupsOf8 = 0;
    for (int bz = 0; bz < blocks; ++bz)
        for (int by = 0; by < blocks; ++by)
            for (int bx = 0; bx < blocks; ++bx) {
                const unsigned char* cell = &summary[4 * (bx + blocks * (by + static_cast<size_t>(blocks) * bz))];
                bool near = shows(bx, by, bz), near4 = groupShows(bx, by, bz, 4), near8 = groupShows(bx, by, bz, 8);
                wrong += cell[0] != 0 || cell[1] != (near ? 200 : 0) || cell[2] != (near4 ? 200 : 0) ||
                         cell[3] != (near8 ? 200 : 0);
                showing += near;
                groupsOf4 += near4;
                groupsOf8 += near8;
            }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(showing, 4);  // y = 8 and z = 100 lie on the edges of two blocks each
    EXPECT_EQ(groupsOf4, 64);
    EXPECT_EQ(groupsOf8, 512);

    // A missing volume gives a summary of zeros.
    free(t3DLoader->voxels);
    std::filesystem::remove(dir.path + "/data/skull_256x256x256_8.raw");
    loadVolume();
    ASSERT_EQ(recordedBoxes.size(), 1u);
    recordedBoxes.clear();
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_3D, blockTexture);
    glGetTexImage(GL_TEXTURE_3D, 0, GL_RGBA, GL_UNSIGNED_BYTE, summary.data());
    glActiveTexture(GL_TEXTURE0);
    EXPECT_EQ(std::count(summary.begin(), summary.end(), 0), static_cast<long>(summary.size()));
}

TEST_F(Pictures, TheGradientVolumeHoldsEachVoxelsCentralDifferencesAndDensity)
{
    // Random voxels, so that every difference from -255 to 255 occurs.
    std::vector<unsigned char> volume(volumeBytes);
    uint32_t state = 12345;
    for (unsigned char& voxel : volume) {
        state = state * 1664525u + 1013904223u;
        voxel = static_cast<unsigned char>(state >> 24);
    }
    writeFile(scratchFile("random.raw"), volume);
    load(scratchFile("random.raw"));

    expectVolumeActiveAndSampler("gradientVolume", 2);

    std::vector<unsigned char> texels(4 * volumeBytes);
    auto readBack = [&] {
        glActiveTexture(GL_TEXTURE2);
        glBindTexture(GL_TEXTURE_3D, gradientTexture);
        glGetTexImage(GL_TEXTURE_3D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
        glActiveTexture(GL_TEXTURE0);
    };
    readBack();
    // A voxel beyond the faces counts as 0; a difference is stored halved,
    // rounded to even, around 128.
    auto at = [&](int x, int y, int z) {
        bool inside = x >= 0 && y >= 0 && z >= 0 && x < side && y < side && z < side;
        return inside ? volume[x + side * y + side * side * static_cast<size_t>(z)] : 0;
    };
    auto stored = [](int difference) { return std::min(255, 128 + static_cast<int>(std::nearbyint(difference / 2.0))); };
    long wrong = 0;
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const unsigned char* texel = &texels[4 * (x + side * y + side * side * static_cast<size_t>(z))];
                wrong += texel[0] != stored(at(x + 1, y, z) - at(x - 1, y, z)) ||
                         texel[1] != stored(at(x, y + 1, z) - at(x, y - 1, z)) ||
                         texel[2] != stored(at(x, y, z + 1) - at(x, y, z - 1)) || texel[3] != at(x, y, z);
            }
    EXPECT_EQ(wrong, 0);

    // A missing volume: no change and no density anywhere.
    free(t3DLoader->voxels);
    deleteTextures();
    std::filesystem::remove(dir.path + "/data/skull_256x256x256_8.raw");
    loadVolume();
    recordedBoxes.clear();
    readBack();
    long other = 0;
    for (size_t k = 0; k < texels.size(); k += 4)
        other += texels[k] != 128 || texels[k + 1] != 128 || texels[k + 2] != 128 || texels[k + 3] != 0;
    EXPECT_EQ(other, 0);
}

int brightness(const Image& image, int x, int y)
{
    const unsigned char* p = image.at(x, y);
    return p[0] + p[1] + p[2];
}

TEST_F(Pictures, NoRayStepsOverASheetTwoVoxelsThickAtAnySlantOrTurn)
{
    // A flat sheet of bone across the whole volume, tilted against every axis.
    const double n[3] = {0.31, 0.52, 0.80}, length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    std::vector<unsigned char> volume(volumeBytes, 0);
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                double distance = ((x - 127.5) * n[0] + (y - 127.5) * n[1] + (z - 127.5) * n[2]) / length;
                if (std::fabs(distance) < 1.0)
                    volume[x + side * y + side * side * static_cast<size_t>(z)] = 240;
            }
    writeFile(scratchFile("sheet.raw"), volume);
    load(scratchFile("sheet.raw"));

    const float turns[][2] = {{0, 0}, {30, 20}, {75, -40}, {-60, 10}, {140, 65}};
    for (const auto& turn : turns) {
        rX = turn[0];
        rY = turn[1];
        Image expected = frame(reference), shown = frame(real);
        int crossing = 0, missed = 0;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (brightness(expected, x, y) > 60) {
                    ++crossing;
                    // Sampled once a voxel, a ray may meet only the sheet's filtered edge
                    // and show it faintly; a ray that steps over it shows nothing.
                    missed += brightness(shown, x, y) < brightness(expected, x, y) / 10;
                }
        EXPECT_GT(crossing, 10000) << "turn " << turn[0] << "/" << turn[1];
        EXPECT_EQ(missed, 0) << "turn " << turn[0] << "/" << turn[1] << ": dark pixels where the sheet crosses";
    }
}

// The benchmark's volumes and views, and two views from other sides with other
// thresholds (where an error that turns with the view shows): the picture of
// each is compared with the reference, for the viewer's ray caster and for the
// one before the gradient volume.
TEST_F(Pictures, EveryVolumeAndViewIsCloserToTheReferenceThanBeforeAndWithinTwoLevels)
{
    struct Volume {
        std::string name, command;
    };
    std::vector<Volume> volumes = {{"phantom", PHANTOM_PATH " "}, {"faint phantom", PHANTOM_PATH " --faint "}};
    const char* head = "/usr/share/mricron/templates/ch2.nii.gz";
    if (std::filesystem::exists(head))
        volumes.push_back({"MRI head", std::string(IMPORT_SCAN_PATH) + " " + head + " "});
    struct View {
        const char* name;
        float turnX, turnY, troskel;
    };
    const View views[] = {{"default", 0, 0, 0.1f}, {"turned", 45, 45, 0.1f}, {"peeled", 0, 0, 0.45f},
                          {"behind", 140, 65, 0.1f}, {"askew", -60, 10, 0.3f}};

    printf("%-14s %-8s %-9s %20s %20s\n", "volume", "view", "shader", "mean error r g b", "99th percentile");
    for (const Volume& volume : volumes) {
        std::string file = scratchFile("volume.raw");
        ASSERT_EQ(std::system((volume.command + file + " > /dev/null").c_str()), 0) << volume.command;
        free(t3DLoader->voxels);
        deleteTextures();
        load(file);
        for (const View& view : views) {
            rX = view.turnX;
            rY = view.turnY;
            troskel = view.troskel;
            Image expected = frame(reference);
            PictureError now = pictureError(frame(real), expected);
            PictureError before = pictureError(frame(baseline), expected);
            for (auto [name, error] : {std::pair{"now", now}, std::pair{"before", before}})
                printf("%-14s %-8s %-9s %6.2f %6.2f %6.2f %6.0f %6.0f %6.0f\n", volume.name.c_str(), view.name, name,
                       error.mean[0], error.mean[1], error.mean[2], error.p99[0], error.p99[1], error.p99[2]);
            for (int c = 0; c < 3; ++c) {
                EXPECT_LT(now.mean[c], before.mean[c]) << volume.name << ", " << view.name << ", channel " << c;
                EXPECT_LE(now.mean[c], 2.0) << volume.name << ", " << view.name << ", channel " << c;
                EXPECT_LE(now.p99[c], before.p99[c] + 1) << volume.name << ", " << view.name << ", channel " << c;
            }
        }
    }
}

}  // namespace
