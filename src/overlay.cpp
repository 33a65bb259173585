// The overlay: an optional second cube beside the volume (an atlas, a
// segmentation or a statistical map, as import_scan writes it), one byte a
// voxel, 0 where it has nothing, with the colour of each byte in a table
// beside it. The table's name tells the kind: labels are sampled whole
// (nearest filtering), a continuous map's levels are filtered linearly.
// Without the overlay's file the viewer is exactly as it was without this part.
#include "viewer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

const char* overlayPath = "data/overlay_256x256x256_8.raw";
const char* labelColoursPath = "data/overlay_256x256x256_8.labels.lut";
const char* mapColoursPath = "data/overlay_256x256x256_8.map.lut";
GLuint overlayTexture = 0;
GLuint overlayColourTexture = 0;
int overlayKind = 0;

static const size_t overlayBytes = 256u * 256u * 256u;
static const size_t tableBytes = 768;  // 256 reds, then 256 greens, then 256 blues
static const GLint overlayUnit = 3;
static const GLint colourUnit = 4;

static bool exists(const char* path)
{
    struct stat status;
    return lstat(path, &status) == 0 || errno != ENOENT;
}

bool overlayBeside()
{
    return exists(overlayPath);
}

// Exactly SIZE bytes of the regular file PATH into OUT, and nothing more in it.
static bool readExactly(const char* path, unsigned char* out, size_t size)
{
    FILE* file = isRegularFile(path) ? fopen(path, "rb") : nullptr;
    if (file == nullptr)
        return false;
    bool whole = fread(out, 1, size, file) == size && fgetc(file) == EOF && !ferror(file);
    fclose(file);
    return whole;
}

static void refuse(const char* what, const char* path)
{
    std::string text = std::string("Failed to load ") + what + " " + path + "; the volume is shown without it";
    showMessageBox("Error", text.c_str());
}

// The program's overlay samplers point at their own units whether or not an
// overlay is shown: a 1D sampler left on unit 0 beside the volume's 3D one
// would make every draw fail. The program is current since start-up and
// keeps these for the whole run.
static void setSamplers()
{
    if (!shaderEntryPointsLoaded() || shader_program == 0)
        return;
    glUniform1i(glGetUniformLocation(shader_program, "overlayVolume"), overlayUnit);
    glUniform1i(glGetUniformLocation(shader_program, "overlayColours"), colourUnit);
}

unsigned char* loadOverlay()
{
    overlayKind = 0;
    setSamplers();
    if (!overlayBeside())
        return nullptr;
    const bool labels = exists(labelColoursPath);
    const char* tablePath = labels ? labelColoursPath : mapColoursPath;
    unsigned char* levels = static_cast<unsigned char*>(malloc(overlayBytes));
    unsigned char table[tableBytes];
    if (levels == nullptr || !readExactly(overlayPath, levels, overlayBytes)) {
        refuse("the overlay", overlayPath);
        free(levels);
        return nullptr;
    }
    if (!readExactly(tablePath, table, tableBytes)) {
        refuse("the overlay's colours", tablePath);
        free(levels);
        return nullptr;
    }
    if (glActiveTexture == nullptr || glTexImage3D == nullptr)
        return levels;

    glActiveTexture(GL_TEXTURE0 + overlayUnit);
    glGenTextures(1, &overlayTexture);
    glBindTexture(GL_TEXTURE_3D, overlayTexture);
    const GLint filter = labels ? GL_NEAREST : GL_LINEAR;
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, filter);
    for (GLenum wrap : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R})
        glTexParameteri(GL_TEXTURE_3D, wrap, GL_CLAMP_TO_EDGE);
    glTexImage3D(GL_TEXTURE_3D, 0, GL_LUMINANCE8, 256, 256, 256, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, levels);

    // The table as 256 texels of red, green and blue, looked up by the byte.
    unsigned char texels[tableBytes];
    for (int entry = 0; entry < 256; ++entry)
        for (int channel = 0; channel < 3; ++channel)
            texels[3 * entry + channel] = table[256 * channel + entry];
    glActiveTexture(GL_TEXTURE0 + colourUnit);
    glGenTextures(1, &overlayColourTexture);
    glBindTexture(GL_TEXTURE_1D, overlayColourTexture);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage1D(GL_TEXTURE_1D, 0, GL_RGB8, 256, 0, GL_RGB, GL_UNSIGNED_BYTE, texels);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glActiveTexture(GL_TEXTURE0);

    overlayKind = labels ? 1 : 2;
    if (shaderEntryPointsLoaded() && shader_program != 0)
        glUniform1f(glGetUniformLocation(shader_program, "overlayKind"), static_cast<float>(overlayKind));
    return levels;
}
