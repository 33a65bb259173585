// The volume file and its 3D texture, read back from the GL.
#include <gtest/gtest.h>

#include "gl_window.h"
#include "recording_box.h"
#include "scratch_dir.h"
#include "viewer.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace {

class Volume : public ::testing::Test {
protected:
    ScratchWorkDir dir;
    std::string file = dir.path + "/data/skull_256x256x256_8.raw";
    void SetUp() override { recordedBoxes.clear(); }
    void TearDown() override
    {
        free(t3DLoader->voxels);  // the viewer keeps it for good; the tests load many
        t3DLoader->voxels = nullptr;
    }

    static std::vector<unsigned char> texture()
    {
        std::vector<unsigned char> texels(volumeBytes);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_3D, 0, GL_RED, GL_UNSIGNED_BYTE, texels.data());
        return texels;
    }
    // Index of the first texel that differs, or -1.
    static long firstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
    {
        for (size_t k = 0; k < a.size(); ++k)
            if (a[k] != b[k])
                return static_cast<long>(k);
        return -1;
    }
};

TEST_F(Volume, TexelXYZIsTheFileByteAtXPlus256YPlus65536Z)
{
    std::vector<unsigned char> bytes = patternVolume(volumeBytes);
    writeFile(file, bytes);
    loadVolume();
    EXPECT_TRUE(recordedBoxes.empty());
    EXPECT_EQ(t3DLoader->dimX, 256);
    EXPECT_EQ(t3DLoader->dimY, 256);
    EXPECT_EQ(t3DLoader->dimZ, 256);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_3D, &bound);
    EXPECT_EQ(bound, static_cast<GLint>(vtexture));
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_3D));
    EXPECT_EQ(firstDifference(texture(), bytes), -1);
}

TEST_F(Volume, TextureParametersReadBackAsSet)
{
    writeFile(file, std::vector<unsigned char>(volumeBytes, 7));
    loadVolume();
    GLint value = 0;
    glGetTexParameteriv(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, &value);
    EXPECT_EQ(value, GL_LINEAR);
    glGetTexParameteriv(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, &value);
    EXPECT_EQ(value, GL_LINEAR);
    for (GLenum wrap : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R}) {
        glGetTexParameteriv(GL_TEXTURE_3D, wrap, &value);
        EXPECT_EQ(value, GL_CLAMP);
    }
    glGetTexLevelParameteriv(GL_TEXTURE_3D, 0, GL_TEXTURE_INTERNAL_FORMAT, &value);
    EXPECT_EQ(value, GL_INTENSITY);
    glGetTexLevelParameteriv(GL_TEXTURE_3D, 0, GL_TEXTURE_DEPTH, &value);
    EXPECT_EQ(value, 256);
    glGetTexLevelParameteriv(GL_TEXTURE_3D, 1, GL_TEXTURE_WIDTH, &value);
    EXPECT_EQ(value, 0);  // level 0 only
}

TEST_F(Volume, MissingFileIsReportedAndGivesAnEmptyVolume)
{
    loadVolume();
    ASSERT_EQ(recordedBoxes.size(), 1u);
    EXPECT_EQ(recordedBoxes[0].caption, "Error");
    EXPECT_EQ(recordedBoxes[0].text, "Failed to load data");
    EXPECT_TRUE(glIsTexture(vtexture));
    EXPECT_EQ(firstDifference(texture(), std::vector<unsigned char>(volumeBytes, 0)), -1);
}

TEST_F(Volume, ShortFileLeavesTheTailZeroAndALongOneIsCutSilently)
{
    std::vector<unsigned char> bytes = patternVolume(volumeBytes);
    std::vector<unsigned char> shortFile(bytes.begin(), bytes.end() - 1000);
    writeFile(file, shortFile);
    loadVolume();
    std::vector<unsigned char> expected = shortFile;
    expected.resize(volumeBytes, 0);
    EXPECT_EQ(firstDifference(texture(), expected), -1);
    free(t3DLoader->voxels);

    std::vector<unsigned char> longFile = bytes;
    longFile.resize(volumeBytes + 4096, 255);
    writeFile(file, longFile);
    loadVolume();
    EXPECT_EQ(firstDifference(texture(), bytes), -1);
    EXPECT_TRUE(recordedBoxes.empty());
}

TEST_F(Volume, ADirectoryInPlaceOfTheFileIsReportedAndGivesAnEmptyVolume)
{
    makeDir(file);
    loadVolume();
    ASSERT_EQ(recordedBoxes.size(), 1u);
    EXPECT_EQ(recordedBoxes[0].text, "Failed to load data");
    EXPECT_EQ(firstDifference(texture(), std::vector<unsigned char>(volumeBytes, 0)), -1);
}

// An overlay beside the volume is uploaded whole with its colours (labels
// unfiltered); a damaged one is named in a box and left out, the volume loaded as ever.
TEST_F(Volume, AnOverlayIsUploadedWithItsColoursAndADamagedOneIsNamedAndLeftOut)
{
    writeFile(file, std::vector<unsigned char>(volumeBytes, 7));
    std::vector<unsigned char> labels = patternVolume(volumeBytes), table(768, 9);
    writeFile(dir.path + "/" + overlayPath, labels);
    writeFile(dir.path + "/" + labelColoursPath, table);
    loadVolume();
    EXPECT_TRUE(recordedBoxes.empty());
    glActiveTexture(GL_TEXTURE3);
    EXPECT_EQ(firstDifference(texture(), labels), -1);
    GLint filter = 0;
    glGetTexParameteriv(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, &filter);
    EXPECT_EQ(filter, GL_NEAREST);
    glActiveTexture(GL_TEXTURE0);

    const std::string damages[] = {"short", "table", "pipe"};
    for (const std::string& damage : damages) {
        SCOPED_TRACE(damage);
        recordedBoxes.clear();
        free(t3DLoader->voxels);
        std::filesystem::remove(dir.path + "/" + overlayPath);
        writeFile(dir.path + "/" + labelColoursPath, std::vector<unsigned char>(damage == "table" ? 700 : 768, 9));
        if (damage == "pipe")
            ASSERT_EQ(mkfifo((dir.path + "/" + overlayPath).c_str(), 0600), 0);
        else
            writeFile(dir.path + "/" + overlayPath, damage == "short" ? std::vector<unsigned char>(1000, 1) : labels);
        overlayTexture = 0;
        loadVolume();
        ASSERT_EQ(recordedBoxes.size(), 1u);
        const char* named = damage == "table" ? labelColoursPath : overlayPath;
        EXPECT_NE(recordedBoxes[0].text.find(named), std::string::npos) << recordedBoxes[0].text;
        EXPECT_EQ(overlayTexture, 0u);
        EXPECT_TRUE(glIsTexture(vtexture));
    }
}

}  // namespace
