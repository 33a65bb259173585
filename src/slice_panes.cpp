// The four-pane layout: the coronal slice at the top left, the sagittal at
// the top right, the axial at the bottom left and the 3D view at the bottom
// right, as radiologists read a scan beside its rendering. The slices run
// through the crosshair point and are drawn from the volume texture itself,
// grey through a window, with the overlay in its colours where one is loaded.
// In the slice panes a left click or drag moves the crosshair, the wheel steps
// a pane's plane one voxel a notch, and a right drag sets the window (sideways
// its width, up and down its centre). The 3D pane is turned and zoomed by the
// same drags as the single view; the frame, mouse and key callbacks hand over
// to this file only while the four panes are shown.
#include "viewer.h"

#include <GL/freeglut.h>
#include <algorithm>
#include <cmath>

bool panesShown = false;
int crosshair[3] = {128, 128, 128};
float sliceWindow[2] = {256.0f / 255.0f, 128.0f / 255.0f};

static const int side = 256;

// A slice pane: the cube axis that runs to the screen's right (backwards if
// `reversed`), the one that runs up, the plane's normal, and the letters at
// the middle of its left, right, top and bottom edges. The cube's +x is the
// patient's left, +y the top, +z the front.
struct SlicePane {
    int right, up, normal;
    bool reversed;
    const char* letters[4];
};
static const SlicePane slicePanes[3] = {
    {0, 1, 2, false, {"R", "L", "S", "I"}},  // coronal, seen from the front
    {2, 1, 0, true, {"A", "P", "S", "I"}},   // sagittal, seen from the patient's left
    {0, 2, 1, false, {"R", "L", "A", "P"}},  // axial, seen from below
};
enum { coronal, sagittal, axial, volumePane, noPane = -1 };

// A pane's place in the window, in pixels from the top left, and the square
// of its slice within it (as large as the pane allows, centred).
struct PaneRect {
    int x, y, width, height;
    int squareX, squareY, squareSide;
};

static PaneRect paneRect(int pane)
{
    const int width = glutGet(GLUT_WINDOW_WIDTH), height = glutGet(GLUT_WINDOW_HEIGHT);
    const int halfWidth = width / 2, halfHeight = height / 2;
    const int column = pane == sagittal || pane == volumePane, row = pane == axial || pane == volumePane;
    PaneRect r;
    r.x = column ? halfWidth : 0;
    r.y = row ? halfHeight : 0;
    r.width = column ? width - halfWidth : halfWidth;
    r.height = row ? height - halfHeight : halfHeight;
    r.squareSide = std::max(1, std::min(r.width, r.height));
    r.squareX = r.x + (r.width - r.squareSide) / 2;
    r.squareY = r.y + (r.height - r.squareSide) / 2;
    return r;
}

static int paneAt(int x, int y)
{
    for (int pane = coronal; pane <= volumePane; ++pane) {
        PaneRect r = paneRect(pane);
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height)
            return pane;
    }
    return noPane;
}

// The GL viewport of a pane (its origin at the window's bottom left).
static void setViewport(const PaneRect& r)
{
    glViewport(r.x, glutGet(GLUT_WINDOW_HEIGHT) - r.y - r.height, r.width, r.height);
}

// ---- The slices' program, built the first time the panes are drawn ----

static GLuint sliceProgram = 0;

static const char* sliceVertex =
    "#version 110\n"
    "void main() { gl_TexCoord[0] = gl_MultiTexCoord0; gl_Position = ftransform(); }\n";

// The density through the window as grey, and the overlay's colour over it.
static const char* sliceFragment =
    "#version 110\n"
    "uniform sampler3D vtexture;\n"
    "uniform sampler3D overlayVolume;\n"
    "uniform sampler1D overlayColours;\n"
    "uniform float overlayKind;\n"
    "uniform float windowLow;\n"
    "uniform float windowWidth;\n"
    "void main()\n"
    "{\n"
    "    vec3 p = gl_TexCoord[0].xyz;\n"
    "    vec3 colour = vec3(clamp((texture3D(vtexture, p).r - windowLow) / windowWidth, 0.0, 1.0));\n"
    "    if (overlayKind > 0.0) {\n"
    "        float level = texture3D(overlayVolume, p).r;\n"
    "        vec3 mark = texture1D(overlayColours, level * (255.0 / 256.0) + 0.5 / 256.0).rgb;\n"
    "        colour = level > 0.5 / 255.0 ? mix(colour, mark, 0.6) : colour;\n"
    "    }\n"
    "    gl_FragColor = vec4(colour, 1.0);\n"
    "}\n";

static GLuint compiled(GLenum type, const char* source)
{
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    return shader;
}

static void buildSliceProgram()
{
    if (sliceProgram != 0 || !shaderEntryPointsLoaded())
        return;
    sliceProgram = glCreateProgram();
    glAttachShader(sliceProgram, compiled(GL_VERTEX_SHADER, sliceVertex));
    glAttachShader(sliceProgram, compiled(GL_FRAGMENT_SHADER, sliceFragment));
    glLinkProgram(sliceProgram);
    glUseProgram(sliceProgram);
    glUniform1i(glGetUniformLocation(sliceProgram, "vtexture"), 0);
    glUniform1i(glGetUniformLocation(sliceProgram, "overlayVolume"), 3);
    glUniform1i(glGetUniformLocation(sliceProgram, "overlayColours"), 4);
    glUniform1f(glGetUniformLocation(sliceProgram, "overlayKind"), static_cast<float>(overlayKind));
}

// ---- Drawing ----

// Where voxel VOXEL's centre lies along a slice's axis, from 0 to 1 across its square.
static float across(int voxel, bool reversed)
{
    float t = (voxel + 0.5f) / side;
    return reversed ? 1.0f - t : t;
}

// A letter in the crosshair's colour over a dark shadow, so that it reads over a line or bright tissue.
static void drawLetter(float x, float y, const char* letter)
{
    glColor3f(0.0f, 0.0f, 0.0f);
    glRasterPos2f(x + 1, y + 1);
    glutBitmapCharacter(GLUT_BITMAP_HELVETICA_18, letter[0]);
    glColor3f(1.0f, 0.85f, 0.2f);
    glRasterPos2f(x, y);
    glutBitmapCharacter(GLUT_BITMAP_HELVETICA_18, letter[0]);
}

// One slice pane: the plane through the crosshair, then its lines and letters.
static void drawSlice(int pane)
{
    const SlicePane& s = slicePanes[pane];
    const PaneRect r = paneRect(pane);
    setViewport(r);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(r.x, r.x + r.width, r.y + r.height, r.y, -1.0, 1.0);  // window pixels, y down
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();

    const float x0 = static_cast<float>(r.squareX), y0 = static_cast<float>(r.squareY);
    const float size = static_cast<float>(r.squareSide);
    glUseProgram(sliceProgram);
    glUniform1f(glGetUniformLocation(sliceProgram, "windowLow"), sliceWindow[1] - 0.5f * sliceWindow[0]);
    glUniform1f(glGetUniformLocation(sliceProgram, "windowWidth"), sliceWindow[0]);
    glBegin(GL_QUADS);
    const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};  // (u right, v up) of each corner
    for (const auto& corner : corners) {
        float texture[3];
        texture[s.right] = s.reversed ? 1.0f - corner[0] : corner[0];
        texture[s.up] = corner[1];
        texture[s.normal] = across(crosshair[s.normal], false);
        glTexCoord3fv(texture);
        glVertex2f(x0 + corner[0] * size, y0 + (1.0f - corner[1]) * size);
    }
    glEnd();
    glUseProgram(0);

    // The crosshair's lines and the letters of the patient's sides.
    const float lineX = x0 + across(crosshair[s.right], s.reversed) * size;
    const float lineY = y0 + (1.0f - across(crosshair[s.up], false)) * size;
    glColor3f(1.0f, 0.85f, 0.2f);
    glBegin(GL_LINES);
    glVertex2f(lineX, y0);
    glVertex2f(lineX, y0 + size);
    glVertex2f(x0, lineY);
    glVertex2f(x0 + size, lineY);
    glEnd();
    const float middleX = r.x + 0.5f * r.width - 5, middleY = r.y + 0.5f * r.height + 6;
    drawLetter(x0 + 4, middleY, s.letters[0]);
    drawLetter(x0 + size - 16, middleY, s.letters[1]);
    drawLetter(middleX, y0 + 20, s.letters[2]);
    drawLetter(middleX, y0 + size - 6, s.letters[3]);
    glPopMatrix();
}

// The three planes of the crosshair outlined on the volume's box (the cube spans -1..1).
static void outlinePlanes()
{
    glColor3f(1.0f, 0.85f, 0.2f);
    for (int axis = 0; axis < 3; ++axis) {
        const float at = 2.0f * (crosshair[axis] + 0.5f) / side - 1.0f;
        const float square[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        glBegin(GL_LINE_LOOP);
        for (const auto& corner : square) {
            float point[3];
            point[axis] = at;
            point[(axis + 1) % 3] = corner[0];
            point[(axis + 2) % 3] = corner[1];
            glVertex3fv(point);
        }
        glEnd();
    }
}

void drawPanes()
{
    buildSliceProgram();
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glMatrixMode(GL_MODELVIEW);

    // The 3D pane: the style as in the single view, in a projection of the pane's shape.
    const PaneRect volume = paneRect(volumePane);
    setViewport(volume);
    setPerspective(volume.width, volume.height);
    glPushMatrix();
    glTranslated(0.0, 0.0, tZ + translateZ);
    glRotatef(rX + rotateX, 0.0f, 1.0f, 0.0f);
    glRotatef(rY + rotateY, 1.0f, 0.0f, 0.0f);
    drawBoundingBox(2.0f);
    glUseProgram(0);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_3D);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    outlinePlanes();
    glPopMatrix();

    if (sliceProgram != 0)
        for (int pane = coronal; pane <= axial; ++pane)
            drawSlice(pane);

    // Back to the state the single view and the next frame expect.
    glEnable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_3D);
    glEnable(GL_LIGHTING);
    if (shaderEntryPointsLoaded())
        glUseProgram(shader_program);
    glViewport(0, 0, glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT));
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}

void toggleLayout()
{
    panesShown = !panesShown;
}

// ---- The mouse in the slice panes ----

static int dragPane = noPane;  // the slice pane a drag began in
static int dragButton = -1;
static int dragFrom[2];
static float windowAtPress[2];

// The crosshair moved to the voxel under (x, y) in a slice pane; the pane's own plane stays.
static void moveCrosshair(int pane, int x, int y)
{
    const SlicePane& s = slicePanes[pane];
    const PaneRect r = paneRect(pane);
    const float u = (x - r.squareX + 0.5f) / r.squareSide, v = 1.0f - (y - r.squareY + 0.5f) / r.squareSide;
    auto voxel = [](float t) { return std::clamp(static_cast<int>(std::floor(t * side)), 0, side - 1); };
    crosshair[s.right] = voxel(s.reversed ? 1.0f - u : u);
    crosshair[s.up] = voxel(v);
}

bool paneMouse(int button, int state, int x, int y)
{
    if (state == GLUT_UP) {
        const bool ours = dragPane != noPane && button == dragButton;
        if (ours)
            dragPane = noPane, dragButton = -1;
        return ours;
    }
    const int pane = paneAt(x, y);
    if (pane == noPane || pane == volumePane)
        return false;
    if (button == 3 || button == 4) {  // the wheel: one voxel a notch, up toward +x, +y or +z
        int& plane = crosshair[slicePanes[pane].normal];
        plane = std::clamp(plane + (button == 3 ? 1 : -1), 0, side - 1);
        return true;
    }
    if (button != GLUT_LEFT_BUTTON && button != GLUT_RIGHT_BUTTON)
        return true;
    dragPane = pane;
    dragButton = button;
    dragFrom[0] = x, dragFrom[1] = y;
    windowAtPress[0] = sliceWindow[0], windowAtPress[1] = sliceWindow[1];
    if (button == GLUT_LEFT_BUTTON)
        moveCrosshair(pane, x, y);
    return true;
}

bool paneMotion(int x, int y)
{
    if (dragPane == noPane)
        return false;
    if (dragButton == GLUT_LEFT_BUTTON) {
        moveCrosshair(dragPane, x, y);
    } else {  // a level a pixel: sideways the width, up the centre
        sliceWindow[0] = std::max(1.0f / 255.0f, windowAtPress[0] + (x - dragFrom[0]) / 255.0f);
        sliceWindow[1] = windowAtPress[1] + (dragFrom[1] - y) / 255.0f;
    }
    return true;
}
