// Runs the GL tests inside one freeglut window, as the viewer itself would.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <unistd.h>

#include "gl_window.h"
#include "scratch_dir.h"
#include "viewer.h"

int displayCalls = 0;
int redisplayRequests = 0;
double lastPerspective[4] = {0, 0, 0, 0};

// The toolkit merges pending redraw requests, so frames cannot count them; these
// wrappers see every call before passing it on.
extern "C" void __real_glutPostRedisplay();
extern "C" void __wrap_glutPostRedisplay()
{
    ++redisplayRequests;
    __real_glutPostRedisplay();
}

// The GL keeps the projection in single precision; the arguments themselves are exact.
extern "C" void __real_gluPerspective(GLdouble fovy, GLdouble aspect, GLdouble zNear, GLdouble zFar);
extern "C" void __wrap_gluPerspective(GLdouble fovy, GLdouble aspect, GLdouble zNear, GLdouble zFar)
{
    lastPerspective[0] = fovy;
    lastPerspective[1] = aspect;
    lastPerspective[2] = zNear;
    lastPerspective[3] = zFar;
    __real_gluPerspective(fovy, aspect, zNear, zFar);
}

static void countingDisplay()
{
    ++displayCalls;
}

void pumpEvents()
{
    glutMainLoopEvent();
}

ScratchWorkDir::ScratchWorkDir() : path(makeScratchDir()), previous(std::filesystem::current_path())
{
    makeDir(path + "/shaders");
    makeDir(path + "/data");
    std::filesystem::current_path(path);
}

ScratchWorkDir::~ScratchWorkDir()
{
    std::filesystem::current_path(previous);
    removeTree(path);
}

void ScratchWorkDir::addShader(const std::string& testShader, const std::string& as)
{
    copyFile(std::string(TEST_SHADER_DIR) + "/" + testShader, path + "/shaders/" + as);
}

// The GL driver is unloaded at exit, before the leak check runs; its memory then
// shows under an unknown module and no suppression can name it. Pinning every
// loaded driver module keeps its name in the report (see tests/sanitizer/).
static void keepGlDriverLoaded()
{
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (std::strstr(info->dlpi_name, "_dri.so") != nullptr)
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();  // test discovery needs no display


    glutInit(&argc, argv);
    glutInitWindowSize(640, 480);
    glutInitWindowPosition(10, 10);  // wholly on screen, so its pixels can be read back
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("gl tests");
    glutDisplayFunc(countingDisplay);
    glewInit();
    // Wait until the window is on screen and has been drawn once.
    for (int i = 0; i < 200 && displayCalls == 0; ++i) {
        pumpEvents();
        usleep(5000);
    }
    int failed = RUN_ALL_TESTS();
    keepGlDriverLoaded();
    return failed;
}
