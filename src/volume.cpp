// The volume: reads the raw 256^3 8-bit file in one go and uploads it once as
// the 3D texture that the shaders sample through "vtexture".
#include "viewer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

const char* volumePath = "data/skull_256x256x256_8.raw";
GLuint vtexture = 0;
GLuint blockTexture = 0;

static const int32_t volumeSide = 256;
static const int blockSide = 4;                            // voxels along each edge of a block
static const int blocksPerSide = volumeSide / blockSide;  // 64
static const GLint blockUnit = 1;                          // the texture unit of the block summary

// One block of one pass of the block summary: data laid out as [axis][inner]
// becomes, for each inner index, the lowest of `lows` and the highest of
// `highs` over the block's entries along the axis, widened by one on each side.
// Beyond the volume's faces the texture's border (GL_CLAMP filters with it)
// counts as 0. The inner index is innermost, so the work runs along
// contiguous memory.
static void foldBlock(const unsigned char* lows, const unsigned char* highs, int axis, size_t inner, int block,
                      unsigned char* low, unsigned char* high)
{
    int first = block * blockSide - 1, last = block * blockSide + blockSide;
    std::fill(low, low + inner, first < 0 || last >= axis ? 0 : 255);
    std::fill(high, high + inner, 0);
    for (int i = std::max(first, 0); i <= std::min(last, axis - 1); ++i) {
        const unsigned char* lowLine = lows + i * inner;
        const unsigned char* highLine = highs + i * inner;
        for (size_t k = 0; k < inner; ++k) {
            low[k] = std::min(low[k], lowLine[k]);
            high[k] = std::max(high[k], highLine[k]);
        }
    }
}

// One pass of the block summary: [outer][axis][inner] becomes
// [outer][block][inner], each block folded as foldBlock does.
static void foldAxis(const unsigned char* lows, const unsigned char* highs, size_t outer, int axis, size_t inner,
                     unsigned char* blockLows, unsigned char* blockHighs)
{
    const int blocks = axis / blockSide;
    for (size_t o = 0; o < outer; ++o)
        for (int block = 0; block < blocks; ++block)
            foldBlock(lows + o * axis * inner, highs + o * axis * inner, axis, inner, block,
                      blockLows + (o * blocks + block) * inner, blockHighs + (o * blocks + block) * inner);
}

// The highest of `highs` ([z][y][x], `blocksPerSide` along each axis) over
// the group of size^3 blocks that holds each block.
static void groupHighest(const unsigned char* highs, int size, unsigned char* groupHighs)
{
    const int b = blocksPerSide;
    for (int gz = 0; gz < b; gz += size)
        for (int gy = 0; gy < b; gy += size)
            for (int gx = 0; gx < b; gx += size) {
                unsigned char high = 0;
                for (int z = gz; z < gz + size; ++z)
                    for (int y = gy; y < gy + size; ++y)
                        for (int x = gx; x < gx + size; ++x)
                            high = std::max(high, highs[(static_cast<size_t>(z) * b + y) * b + x]);
                for (int z = gz; z < gz + size; ++z)
                    for (int y = gy; y < gy + size; ++y)
                        std::fill_n(&groupHighs[(static_cast<size_t>(z) * b + y) * b + gx], size, high);
            }
}

// The block summary, four bytes a block as the texture takes them (x
// fastest): the lowest (red) and highest (green) value that linear filtering
// can return anywhere inside the block of 4^3 voxels, so the block is widened
// by one voxel on each side; and the highest in the group of 4^3 (blue) and
// of 8^3 blocks (alpha) that holds it, so the ray caster can cross a run of
// empty blocks in one step. Small blocks fit matter closely, so little of what
// is below the threshold must be sampled; the groups keep wide empty space
// cheap to cross. Folded one axis at a time, z first, so each voxel
// is read about once and every pass runs along rows. One slab of blocks
// across z at a time, so the partial folds stay a few hundred kilobytes:
// fresh memory costs more to touch than the folding does.
static void buildSummary(const unsigned char* voxels, unsigned char* summary)
{
    const int n = volumeSide, b = blocksPerSide;
    const size_t slice = static_cast<size_t>(n) * n, count = static_cast<size_t>(b) * b * b;
    std::vector<unsigned char> lowZ(slice), highZ(slice);                  // [y][x] of one slab
    std::vector<unsigned char> lowY(b * size_t(n)), highY(lowY.size());  // [by][x]
    std::vector<unsigned char> low(count), high(count), high4(count), high8(count);
    for (int bz = 0; bz < b; ++bz) {
        foldBlock(voxels, voxels, n, slice, bz, lowZ.data(), highZ.data());
        foldAxis(lowZ.data(), highZ.data(), 1, n, n, lowY.data(), highY.data());
        foldAxis(lowY.data(), highY.data(), b, n, 1, &low[bz * b * b], &high[bz * b * b]);
    }
    groupHighest(high.data(), 4, high4.data());
    groupHighest(high.data(), 8, high8.data());
    for (size_t i = 0; i < count; ++i) {
        summary[4 * i] = low[i];
        summary[4 * i + 1] = high[i];
        summary[4 * i + 2] = high4[i];
        summary[4 * i + 3] = high8[i];
    }
}

// Filtering and wrapping of the 3D texture bound on the active unit, in the order
// the volume texture has them set.
static void setTextureParameters(GLint filter, GLint wrap)
{
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, filter);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_S, wrap);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_T, wrap);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_R, wrap);
}

// Uploads the block summary on unit 1 (see buildSummary for its channels;
// nearest filtering) and points the program's "blockRange" sampler at it; the
// ray caster skips blocks that hold nothing above its threshold. Unit 0 is
// left active with the volume bound, as the rest of start-up expects.
static void loadBlockSummary(const unsigned char* voxels)
{
    if (glActiveTexture == nullptr || glTexImage3D == nullptr)
        return;
    std::vector<unsigned char> summary(static_cast<size_t>(4) * blocksPerSide * blocksPerSide * blocksPerSide, 0);
    if (voxels != nullptr)
        buildSummary(voxels, summary.data());
    glActiveTexture(GL_TEXTURE0 + blockUnit);
    glGenTextures(1, &blockTexture);
    glBindTexture(GL_TEXTURE_3D, blockTexture);
    setTextureParameters(GL_NEAREST, GL_CLAMP_TO_EDGE);
    glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, blocksPerSide, blocksPerSide, blocksPerSide, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, summary.data());
    glActiveTexture(GL_TEXTURE0);
    // The program is current since start-up; it keeps the value for the whole run.
    if (shaderEntryPointsLoaded() && shader_program != 0)
        glUniform1i(glGetUniformLocation(shader_program, "blockRange"), blockUnit);
}

void loadVolume()
{
    Loader3D* volume = t3DLoader;
    volume->dimX = volumeSide;
    volume->dimY = volumeSide;
    volume->dimZ = volumeSide;
    size_t size = static_cast<size_t>(volume->dimX) * volume->dimY * volume->dimZ;

    FILE* file = isRegularFile(volumePath) ? fopen(volumePath, "rb") : nullptr;
    if (file == nullptr)
        showMessageBox("Error", "Failed to load data");
    // Zeroed, so that a missing file or a short one leaves empty space, never undefined bytes.
    volume->voxels = static_cast<unsigned char*>(calloc(size, 1));
    if (volume->voxels == nullptr) {
        showMessageBox("Error", "Failed to load data");
    } else if (file != nullptr) {
        fread(volume->voxels, 1, size, file);
        if (ferror(file))  // opened but not readable: a read error
            showMessageBox("Error", "Failed to load data");
    }
    if (file != nullptr)
        fclose(file);
    printf("3D texture file read\n");

    glEnable(GL_TEXTURE_3D);
    glGenTextures(1, &vtexture);
    glBindTexture(GL_TEXTURE_3D, vtexture);
    setTextureParameters(GL_LINEAR, GL_CLAMP);
    if (volume->voxels != nullptr && glTexImage3D != nullptr)
        glTexImage3D(GL_TEXTURE_3D, 0, GL_INTENSITY, volume->dimX, volume->dimY, volume->dimZ, 0,
                     GL_LUMINANCE, GL_UNSIGNED_BYTE, volume->voxels);
    loadBlockSummary(volume->voxels);
    printf("Texture loaded!\n");
    fflush(stdout);
}
