// The volume: reads the raw 256^3 8-bit file in one go and uploads it once as
// the 3D texture that the shaders sample through "vtexture".
#include "viewer.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

const char* volumePath = "data/skull_256x256x256_8.raw";
GLuint vtexture = 0;
GLuint blockTexture = 0;

static const int32_t volumeSide = 256;
static const int blockSide = 8;                            // voxels along each edge of a block
static const int blocksPerSide = volumeSide / blockSide;  // 32
static const GLint blockUnit = 1;                          // the texture unit of the block summary

// The lowest of `lows` and the highest of `highs` at indices [first, last] of
// lines of `count` entries, `stride` apart. Beyond the lines' ends the
// texture's border (GL_CLAMP filters with it) counts as 0.
static void lineRange(const unsigned char* lows, const unsigned char* highs, int stride, int count, int first,
                      int last, unsigned char* lowest, unsigned char* highest)
{
    unsigned char low = first < 0 || last > count - 1 ? 0 : 255, high = 0;
    if (first < 0)
        first = 0;
    if (last > count - 1)
        last = count - 1;
    for (int i = first; i <= last; ++i) {
        size_t at = static_cast<size_t>(i) * stride;
        low = lows[at] < low ? lows[at] : low;
        high = highs[at] > high ? highs[at] : high;
    }
    *lowest = low;
    *highest = high;
}

// The block summary: for each block of 8^3 voxels, the lowest and highest
// value that linear filtering can return anywhere inside it, so the block is
// widened by one voxel on each side. Computed one axis at a time (x, then y,
// then z), so each voxel is read about once; each pass keeps (lowest, highest)
// pairs, x fastest, as the texture takes them.
static void buildBlockRanges(const unsigned char* voxels, unsigned char* ranges)
{
    const int n = volumeSide, b = blocksPerSide;
    std::vector<unsigned char> alongX(static_cast<size_t>(2) * b * n * n);  // [z][y][bx]
    std::vector<unsigned char> alongY(static_cast<size_t>(2) * b * b * n);  // [z][by][bx]
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int bx = 0; bx < b; ++bx) {
                const unsigned char* row = voxels + (static_cast<size_t>(z) * n + y) * n;
                unsigned char* range = &alongX[2 * ((static_cast<size_t>(z) * n + y) * b + bx)];
                lineRange(row, row, 1, n, bx * blockSide - 1, bx * blockSide + blockSide, &range[0], &range[1]);
            }
    for (int z = 0; z < n; ++z)
        for (int by = 0; by < b; ++by)
            for (int bx = 0; bx < b; ++bx) {
                const unsigned char* column = &alongX[2 * (static_cast<size_t>(z) * n * b + bx)];
                unsigned char* range = &alongY[2 * ((static_cast<size_t>(z) * b + by) * b + bx)];
                lineRange(column, column + 1, 2 * b, n, by * blockSide - 1, by * blockSide + blockSide, &range[0],
                          &range[1]);
            }
    for (int bz = 0; bz < b; ++bz)
        for (int by = 0; by < b; ++by)
            for (int bx = 0; bx < b; ++bx) {
                const unsigned char* column = &alongY[2 * (static_cast<size_t>(by) * b + bx)];
                unsigned char* range = &ranges[2 * ((static_cast<size_t>(bz) * b + by) * b + bx)];
                lineRange(column, column + 1, 2 * b * b, n, bz * blockSide - 1, bz * blockSide + blockSide,
                          &range[0], &range[1]);
            }
}

// The summary as uploaded: for each block its lowest and highest value (red,
// green), and the highest value in the group of 2^3 blocks (blue) and of 4^3
// blocks (alpha) that holds it, so that the ray caster can cross a run of
// empty blocks in one step.
static void buildSummary(const unsigned char* ranges, unsigned char* summary)
{
    const int b = blocksPerSide;
    for (int bz = 0; bz < b; ++bz)
        for (int by = 0; by < b; ++by)
            for (int bx = 0; bx < b; ++bx) {
                unsigned char* out = &summary[4 * ((static_cast<size_t>(bz) * b + by) * b + bx)];
                const unsigned char* own = &ranges[2 * ((static_cast<size_t>(bz) * b + by) * b + bx)];
                out[0] = own[0];
                out[1] = own[1];
                for (int level = 0; level < 2; ++level) {
                    int group = 2 << level;
                    unsigned char high = 0;
                    for (int z = bz / group * group; z < bz / group * group + group; ++z)
                        for (int y = by / group * group; y < by / group * group + group; ++y)
                            for (int x = bx / group * group; x < bx / group * group + group; ++x) {
                                unsigned char h = ranges[2 * ((static_cast<size_t>(z) * b + y) * b + x) + 1];
                                high = h > high ? h : high;
                            }
                    out[2 + level] = high;
                }
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
    const size_t count = static_cast<size_t>(blocksPerSide) * blocksPerSide * blocksPerSide;
    std::vector<unsigned char> ranges(2 * count, 0);
    if (voxels != nullptr)
        buildBlockRanges(voxels, ranges.data());
    std::vector<unsigned char> summary(4 * count, 0);
    buildSummary(ranges.data(), summary.data());
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
