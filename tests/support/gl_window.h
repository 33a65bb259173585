// The GL tests' window: a real freeglut window with a context from the X server.
#pragma once

#include <string>

extern int displayCalls;  // frames the test window's own display callback has drawn

// Lets freeglut handle what is pending, redraws included.
void pumpEvents();

// Makes a fresh directory with a shaders/ folder and enters it; leave() goes back.
struct ScratchWorkDir {
    std::string path;
    std::string previous;
    ScratchWorkDir();
    ~ScratchWorkDir();
    void addShader(const std::string& testShader, const std::string& as);
};
