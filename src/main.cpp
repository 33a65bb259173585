// Volume viewer: opens a 640x480 window, builds the ray-casting shader program,
// uploads the 256^3 volume as a 3D texture and draws frames until the window closes.
#include "viewer.h"

#include <GL/freeglut.h>
#include <cstdio>

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitWindowSize(640, 480);
    glutInitWindowPosition(10, 10);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("A window with stuff");

    glutReshapeFunc(resize);
    glutDisplayFunc(display);
    glutIdleFunc(idle);
    glutKeyboardFunc(key);
    glutMouseFunc(mouse);
    glutMotionFunc(motionFunc);

    setRenderState();

    fpscalc->updateInterval = 200;

    glewInit();  // its result is not needed: the version check below decides
    if (glewIsSupported("GL_VERSION_2_0"))
        printf("Shaders supported!\n");
    else
        showMessageBox("Error", "No Opengl 2.0 support, shaders can not be used");

    setShaderProgram(&shader_program, vertexName, fragmentName);
    if (shaderEntryPointsLoaded())
        glUseProgram(shader_program);

    loadVolume();

    glutMainLoop();
    return 0;
}
