// One frame: uniforms for the shader program, frame-rate statistics and title,
// the light, the mouse-driven placement of the cube, the cube, the swap.
#include "viewer.h"

#include <GL/freeglut.h>
#include <cstdio>

float TIME = 0.0f;
char titlestring[400];
float lightPos[4] = {0.0f, 0.0f, 2.0f, 0.0f};

// The second byte is 0xFC on purpose: the title is handed to the window as bytes.
static const char titleFormat[] = "D\xFC" "vozod % .1f FPS  % .1f MAX % .1f MIN  RUNTIME: %.1f";

// Each location is looked up right before its value is set, so a program
// without that uniform simply ignores it.
static void setUniforms()
{
    glUniform1f(glGetUniformLocation(shader_program, "time"), TIME);
    glUniform1f(glGetUniformLocation(shader_program, "troskel"), troskel);
    glUniform1f(glGetUniformLocation(shader_program, "troskelr"), troskelr);
    glUniform1f(glGetUniformLocation(shader_program, "troskelg"), troskelg);
    glUniform1f(glGetUniformLocation(shader_program, "troskelb"), troskelb);
    glUniform1i(glGetUniformLocation(shader_program, "vtexture"), 0);
}

void updateFrameStatistics(FpsCalc* stats, float now)
{
    if (now - stats->lastUpdateTime > static_cast<float>(stats->updateInterval)) {
        float frameTime = now - stats->previousFrameTime;
        // A frame within the same millisecond has no finite rate; the next frame updates instead.
        if (frameTime > 0.0f) {
            float rate = 1000.0f / frameTime;
            stats->fps = rate;
            if (rate < stats->minFps)
                stats->minFps = rate;
            else if (rate > stats->maxFps)
                stats->maxFps = rate;
            stats->lastUpdateTime = now;
        }
    }
    stats->previousFrameTime = now;
}

void formatTitle(char* out, size_t size, const FpsCalc* stats, float now)
{
    snprintf(out, size, titleFormat, static_cast<double>(stats->fps),
             static_cast<double>(stats->maxFps), static_cast<double>(stats->minFps),
             static_cast<double>(now));
}

void display()
{
    TIME = static_cast<float>(glutGet(GLUT_ELAPSED_TIME));
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_TEXTURE_3D);
    if (glActiveTexture != nullptr)
        glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_3D, vtexture);
    if (shaderEntryPointsLoaded())
        setUniforms();

    updateFrameStatistics(fpscalc, TIME);
    formatTitle(titlestring, sizeof titlestring, fpscalc, TIME);
    glutSetWindowTitle(titlestring);

    glColor3d(1.0, 0.0, 0.0);
    // The light is placed in view coordinates, so it stays with the viewer.
    glPushMatrix();
    glLightfv(GL_LIGHT0, GL_POSITION, lightPos);
    glPopMatrix();

    if (panesShown) {
        drawPanes();
        glutSwapBuffers();
        return;
    }
    glPushMatrix();
    glTranslated(0.0, 0.0, tZ + translateZ);
    glRotatef(rX + rotateX, 0.0f, 1.0f, 0.0f);
    glRotatef(rY + rotateY, 1.0f, 0.0f, 0.0f);
    drawBoundingBox(2.0f);
    glPopMatrix();

    glutSwapBuffers();
}
