// The volume: reads the raw 256^3 8-bit file in one go and uploads it once as
// the 3D texture that the shaders sample through "vtexture".
#include "viewer.h"

#include <cstdio>
#include <cstdlib>

const char* volumePath = "data/skull_256x256x256_8.raw";
GLuint vtexture = 0;

static const int32_t volumeSide = 256;

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
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_R, GL_CLAMP);
    if (volume->voxels != nullptr && glTexImage3D != nullptr)
        glTexImage3D(GL_TEXTURE_3D, 0, GL_INTENSITY, volume->dimX, volume->dimY, volume->dimZ, 0,
                     GL_LUMINANCE, GL_UNSIGNED_BYTE, volume->voxels);
    printf("Texture loaded!\n");
    fflush(stdout);
}
