// The volume: reads the raw 256^3 8-bit file in one go and uploads it once as
// the 3D texture that the shaders sample through "vtexture".
#include "viewer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

const char* volumePath = "data/skull_256x256x256_8.raw";
GLuint vtexture = 0;
GLuint blockTexture = 0;
GLuint gradientTexture = 0;
GLuint overlayBlockTexture = 0;

static const int32_t volumeSide = 256;
static const int blockSide = 4;                            // voxels along each edge of a block
static const int blocksPerSide = volumeSide / blockSide;  // 64
static const GLint blockUnit = 1;                          // the texture unit of the block summary
static const GLint gradientUnit = 2;                       // the texture unit of the gradient volume
static const GLint overlayBlockUnit = 5;                   // the block summary that counts the overlay
static const int gradientSlab = 16;                        // slices of the gradient volume built and
                                                           // uploaded at a time (4 MiB)

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
// With an overlay (OVERLAY not null), a second summary in OVERLAY_SUMMARY
// has every block that holds any of it count as holding everything (lowest
// 0, highest 255), for the looks that must not cross the overlay unseen.
static void buildSummary(const unsigned char* voxels, const unsigned char* overlay, unsigned char* summary,
                         unsigned char* overlaySummary)
{
    const int n = volumeSide, b = blocksPerSide;
    const size_t slice = static_cast<size_t>(n) * n, count = static_cast<size_t>(b) * b * b;
    std::vector<unsigned char> lowZ(slice), highZ(slice);                  // [y][x] of one slab
    std::vector<unsigned char> lowY(b * size_t(n)), highY(lowY.size());  // [by][x]
    std::vector<unsigned char> low(count), high(count), high4(count), high8(count);
    std::vector<unsigned char> overlayLow(overlay != nullptr ? count : 0), overlayHigh(overlayLow.size());
    for (int bz = 0; bz < b; ++bz) {
        foldBlock(voxels, voxels, n, slice, bz, lowZ.data(), highZ.data());
        foldAxis(lowZ.data(), highZ.data(), 1, n, n, lowY.data(), highY.data());
        foldAxis(lowY.data(), highY.data(), b, n, 1, &low[bz * b * b], &high[bz * b * b]);
        if (overlay != nullptr) {
            foldBlock(overlay, overlay, n, slice, bz, lowZ.data(), highZ.data());
            foldAxis(lowZ.data(), highZ.data(), 1, n, n, lowY.data(), highY.data());
            foldAxis(lowY.data(), highY.data(), b, n, 1, &overlayLow[bz * b * b], &overlayHigh[bz * b * b]);
        }
    }
    for (unsigned char* out : {summary, overlaySummary}) {
        if (out == nullptr)
            continue;
        if (out == overlaySummary)
            for (size_t i = 0; i < count; ++i)
                if (overlayHigh[i] > 0)
                    low[i] = 0, high[i] = 255;
        groupHighest(high.data(), 4, high4.data());
        groupHighest(high.data(), 8, high8.data());
        for (size_t i = 0; i < count; ++i) {
            out[4 * i] = low[i];
            out[4 * i + 1] = high[i];
            out[4 * i + 2] = high4[i];
            out[4 * i + 3] = high8[i];
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

// A block summary on UNIT, its texture named into *TEXTURE, and SAMPLER pointed at it.
static void uploadSummary(GLint unit, GLuint* texture, const char* sampler, const unsigned char* summary)
{
    glActiveTexture(GL_TEXTURE0 + unit);
    glGenTextures(1, texture);
    glBindTexture(GL_TEXTURE_3D, *texture);
    setTextureParameters(GL_NEAREST, GL_CLAMP_TO_EDGE);
    glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, blocksPerSide, blocksPerSide, blocksPerSide, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, summary);
    glActiveTexture(GL_TEXTURE0);
    // The program is current since start-up; it keeps the value for the whole run.
    if (shaderEntryPointsLoaded() && shader_program != 0)
        glUniform1i(glGetUniformLocation(shader_program, sampler), unit);
}

// Uploads the block summary on unit 1 (see buildSummary for its channels;
// nearest filtering) and points the program's "blockRange" sampler at it; the
// ray caster skips blocks that hold nothing above its threshold. With an
// overlay, the summary that counts it goes on unit 5 for "overlayBlockRange";
// without one that sampler reads the plain summary. Unit 0 is left active
// with the volume bound, as the rest of start-up expects.
static void loadBlockSummary(const unsigned char* voxels, const unsigned char* overlay)
{
    if (glActiveTexture == nullptr || glTexImage3D == nullptr)
        return;
    const size_t size = static_cast<size_t>(4) * blocksPerSide * blocksPerSide * blocksPerSide;
    std::vector<unsigned char> summary(size, 0), overlaySummary(overlay != nullptr ? size : 0, 255);
    if (voxels != nullptr)
        buildSummary(voxels, overlay, summary.data(), overlay != nullptr ? overlaySummary.data() : nullptr);
    // A continuous map's highest level is sought along each ray by the maximum
    // projection, which crosses blocks by the plain summary: with a map, that
    // summary counts it too.
    uploadSummary(blockUnit, &blockTexture, "blockRange", overlayKind == 2 ? overlaySummary.data() : summary.data());
    if (overlay != nullptr)
        uploadSummary(overlayBlockUnit, &overlayBlockTexture, "overlayBlockRange", overlaySummary.data());
    else if (shaderEntryPointsLoaded() && shader_program != 0)
        glUniform1i(glGetUniformLocation(shader_program, "overlayBlockRange"), blockUnit);
}

// A central difference (-255..255) as a byte: half of it, offset by 128 and
// rounded half to even, so that 128 is no change at all and rounding leans to
// neither side. The shader reads it back as 2 * texel - 256 / 255.
static inline unsigned char encodeDifference(int16_t difference)
{
    int16_t twice = difference + 256;
    int16_t half = (twice + ((twice >> 1) & 1)) >> 1;
    return static_cast<unsigned char>(std::min<int16_t>(half, 255));
}

// Slices [firstZ, lastZ) of the gradient volume, four bytes a voxel as the
// texture takes them (x fastest): the central differences along x, y and z
// (see encodeDifference) in red, green and blue, and the voxel's own density
// in alpha. Beyond the volume's faces a voxel counts as 0, as the volume's
// texture border does. The loops run along rows without a branch, in
// 16-bit lanes, so the compiler takes many voxels at once.
static void buildGradientSlices(const unsigned char* voxels, int firstZ, int lastZ, uint32_t* out)
{
    const int n = volumeSide;
    const size_t slice = static_cast<size_t>(n) * n;
    const std::vector<unsigned char> zeros(n, 0);
    std::vector<unsigned char> padded(n + 2, 0), dx(n), dy(n), dz(n);  // padded: the row between two zeros
    for (int z = firstZ; z < lastZ; ++z)
        for (int y = 0; y < n; ++y) {
            const unsigned char* row = voxels + z * slice + static_cast<size_t>(y) * n;
            const unsigned char* below = y > 0 ? row - n : zeros.data();
            const unsigned char* above = y < n - 1 ? row + n : zeros.data();
            const unsigned char* behind = z > 0 ? row - slice : zeros.data();
            const unsigned char* before = z < n - 1 ? row + slice : zeros.data();
            std::copy(row, row + n, padded.begin() + 1);
            for (int x = 0; x < n; ++x) {
                dx[x] = encodeDifference(int16_t(padded[x + 2] - padded[x]));
                dy[x] = encodeDifference(int16_t(above[x] - below[x]));
                dz[x] = encodeDifference(int16_t(before[x] - behind[x]));
            }
            uint32_t* texel = out + (z - firstZ) * slice + static_cast<size_t>(y) * n;
            for (int x = 0; x < n; ++x)  // bytes r, g, b, a in memory order
                texel[x] = uint32_t(dx[x]) | uint32_t(dy[x]) << 8 | uint32_t(dz[x]) << 16 | uint32_t(row[x]) << 24;
        }
}

// Uploads the gradient volume on unit 2 (see buildGradientSlices for its
// channels; linear filtering, so that a look-up returns the central-difference
// gradient of the filtered volume together with its density) and points the
// program's "gradientVolume" sampler at it. It is built a slab of slices at a
// time, half of each slab on a second thread, and each slab is uploaded as it
// is done, so no more than a slab is ever held. (A builder running ahead of
// the uploads was tried: it was slower, the two threads then compete with the
// driver for memory.) Unit 0 is left active with the volume bound.
static void loadGradientVolume(const unsigned char* voxels)
{
    if (glActiveTexture == nullptr || glTexImage3D == nullptr || glTexSubImage3D == nullptr)
        return;
    const int n = volumeSide;
    glActiveTexture(GL_TEXTURE0 + gradientUnit);
    glGenTextures(1, &gradientTexture);
    glBindTexture(GL_TEXTURE_3D, gradientTexture);
    // Clamped to the edge texels rather than filtered with a border: Mesa's
    // software rasteriser has a faster path for it (a fifth fewer seconds a
    // look-up). Only the outer half voxel differs from the volume's filtering.
    setTextureParameters(GL_LINEAR, GL_CLAMP_TO_EDGE);
    glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, n, n, n, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    const size_t sliceTexels = static_cast<size_t>(n) * n;
    std::vector<uint32_t> slab(sliceTexels * gradientSlab, 0);  // zeros where there is no volume
    for (int z = 0; z < n; z += gradientSlab) {
        if (voxels != nullptr) {
            const int half = z + gradientSlab / 2;
            std::thread other(buildGradientSlices, voxels, half, z + gradientSlab, &slab[sliceTexels * (half - z)]);
            buildGradientSlices(voxels, z, half, slab.data());
            other.join();
        }
        glTexSubImage3D(GL_TEXTURE_3D, 0, 0, 0, z, n, n, gradientSlab, GL_RGBA, GL_UNSIGNED_BYTE, slab.data());
    }
    glActiveTexture(GL_TEXTURE0);
    if (shaderEntryPointsLoaded() && shader_program != 0)
        glUniform1i(glGetUniformLocation(shader_program, "gradientVolume"), gradientUnit);
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
    unsigned char* overlay = loadOverlay();
    loadBlockSummary(volume->voxels, overlay);
    free(overlay);
    loadGradientVolume(volume->voxels);
    printf("Texture loaded!\n");
    fflush(stdout);
}
