// Input: the left button turns the cube, the right button moves it along the
// viewing axis, and eight keys step the four thresholds the shaders read. Tab
// switches to the four panes and back; there the slice panes take their own
// clicks, drags and wheel (slice_panes.cpp).
#include "viewer.h"

#include <GL/freeglut.h>

float troskel = 0.1f;
float troskelr = 0.1f;
float troskelg = 0.1f;
float troskelb = 0.1f;

bool left = false;
bool right = false;
int origoX = 0;
int origoY = 0;
float rotateX = 0.0f;
float rotateY = 0.0f;
float rX = 0.0f;
float rY = 0.0f;
float translateZ = 0.0f;
float tZ = 0.0f;

static const double thresholdStep = 0.01;
static const double zoomPerPixel = 0.1;  // scene units per pixel of right drag

// A press starts a drag from its position; a release folds the drag under way
// into the sum of finished drags. The release position itself is not used.
void mouse(int button, int state, int x, int y)
{
    if (panesShown && paneMouse(button, state, x, y))
        return;
    if (button == GLUT_LEFT_BUTTON) {
        if (state == GLUT_DOWN) {
            left = true;
            origoX = x;
            origoY = y;
        } else {
            rX = rX + rotateX;
            rotateX = 0.0f;
            left = false;
            rY = rY + rotateY;
            rotateY = 0.0f;
        }
    } else if (button == GLUT_RIGHT_BUTTON) {
        if (state == GLUT_DOWN) {
            right = true;
            origoX = x;
            origoY = y;
        } else {
            tZ = tZ + translateZ;
            translateZ = 0.0f;
            right = false;
        }
    }
}

// One degree per pixel while the left button is held (it wins over the right);
// 0.1 units per pixel of vertical motion while only the right one is.
void motionFunc(int x, int y)
{
    if (panesShown && paneMotion(x, y))
        return;
    if (left) {
        rotateX = static_cast<float>(x - origoX);
        rotateY = static_cast<float>(y - origoY);
    } else if (right) {
        translateZ = static_cast<float>((origoY - y) * zoomPerPixel);
    }
}

static void stepThreshold(float* threshold, double change)
{
    *threshold = static_cast<float>(static_cast<double>(*threshold) + change);
}

void key(unsigned char character, int, int)
{
    switch (character) {
    case '+': stepThreshold(&troskel, thresholdStep); break;
    case '-': stepThreshold(&troskel, -thresholdStep); break;
    case '7': stepThreshold(&troskelr, thresholdStep); break;
    case '1': stepThreshold(&troskelr, -thresholdStep); break;
    case '8': stepThreshold(&troskelg, thresholdStep); break;
    case '2': stepThreshold(&troskelg, -thresholdStep); break;
    case '9': stepThreshold(&troskelb, thresholdStep); break;
    case '3': stepThreshold(&troskelb, -thresholdStep); break;
    case '\t': toggleLayout(); break;  // the single 3D view or the four panes
    default: break;
    }
    glutPostRedisplay();
}
