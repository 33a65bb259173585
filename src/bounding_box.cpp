// The proxy cube: an axis-aligned cube centred at the origin whose 3D texture
// coordinates run from 0 to 1 on each axis, so the volume exactly fills it.
#include "viewer.h"

// Faces in drawing order +Z, +X, -Z, -X, +Y, -Y, each with its outward normal.
static const float faceNormal[6][3] = {
    {0, 0, 1}, {1, 0, 0}, {0, 0, -1}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0},
};

// Texture coordinate of each vertex, four per face, clockwise seen from outside.
// A coordinate of 1 puts the vertex at +h on that axis, 0 at -h.
static const float vertexTexCoord[24][3] = {
    {0, 1, 1}, {1, 1, 1}, {1, 0, 1}, {0, 0, 1},  // +Z
    {1, 1, 1}, {1, 1, 0}, {1, 0, 0}, {1, 0, 1},  // +X
    {1, 1, 0}, {0, 1, 0}, {0, 0, 0}, {1, 0, 0},  // -Z
    {0, 1, 0}, {0, 1, 1}, {0, 0, 1}, {0, 0, 0},  // -X
    {0, 1, 1}, {0, 1, 0}, {1, 1, 0}, {1, 1, 1},  // +Y
    {0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0},  // -Y
};

void drawBoundingBox(float size)
{
    float h = size * 0.5f;
    float negH = size * -0.5f;
    // Clockwise quads are front faces; with back faces culled each covered pixel
    // is drawn once, by the face where the line of sight enters the cube.
    glFrontFace(GL_CW);
    glBegin(GL_QUADS);
    for (int v = 0; v < 24; ++v) {
        const float* tc = vertexTexCoord[v];
        float position[3] = {tc[0] > 0 ? h : negH, tc[1] > 0 ? h : negH, tc[2] > 0 ? h : negH};
        glNormal3f(faceNormal[v / 4][0], faceNormal[v / 4][1], faceNormal[v / 4][2]);
        glTexCoord3fv(tc);
        glVertex3fv(position);
    }
    glEnd();
}
