// The GL tests' window: a real freeglut window with a context from the X server.
#pragma once

#include <string>

extern int displayCalls;  // frames the test window's own display callback has drawn

// Calls the program made to the toolkit and GLU, seen through link-time wrappers
// (-Wl,--wrap) so that a test can count requests and read arguments exactly.
extern int redisplayRequests;       // glutPostRedisplay calls
extern double lastPerspective[4];  // the arguments of the last gluPerspective call

// Lets freeglut handle what is pending, redraws included.
void pumpEvents();

// A fresh directory with shaders/ and data/ folders, entered for the life of the object.
struct ScratchWorkDir {
    std::string path;
    std::string previous;
    ScratchWorkDir();
    ~ScratchWorkDir();
    void addShader(const std::string& testShader, const std::string& as);
};
