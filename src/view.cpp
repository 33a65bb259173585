// The view: viewport, projection and camera on every resize, and the idle
// callback that keeps frames coming without pause.
#include "viewer.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

float cameraPos[3] = {0.0f, 0.0f, 5.0f};

static const double fieldOfView = 45.0;
static const float nearPlane = 0.1f;  // widened to double when used, as the projection expects
static const double farPlane = 1000.0;

// The fixed state of the whole run: black background, back faces culled, depth
// tested, and light 0 on (the shaders may read it).
void setRenderState()
{
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glEnable(GL_LIGHT0);
    glEnable(GL_NORMALIZE);
    glEnable(GL_COLOR_MATERIAL);
    glEnable(GL_LIGHTING);
}

void setPerspective(int width, int height)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    // A minimised window may report height 0; treat it as 1 rather than divide by zero.
    double aspect = static_cast<double>(width) / static_cast<double>(height > 0 ? height : 1);
    gluPerspective(fieldOfView, aspect, nearPlane, farPlane);
    glMatrixMode(GL_MODELVIEW);
}

void resize(int width, int height)
{
    glViewport(0, 0, width, height);
    setPerspective(width, height);
    glLoadIdentity();
    gluLookAt(cameraPos[0], cameraPos[1], cameraPos[2], 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
}

void idle()
{
    glutPostRedisplay();
}
