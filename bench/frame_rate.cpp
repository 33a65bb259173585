// Frame-rate benchmark: runs the real viewer on a private virtual screen with
// the sample volume and reports the rate that the viewer itself shows in its
// title, as the median over several seconds after a warm-up. The pass-through
// shaders (entry coordinate as colour) give the floor: what the window and the
// cube alone cost.
//
//   frame_rate [seconds per view] [shader directory]
//
// The defaults are 6 seconds and the viewer's own shaders/; another directory
// holding minimal.vert and minimal.frag measures a variant of the ray caster.
#include "scratch_dir.h"
#include "x_session.h"

#include <GL/glew.h>
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const double warmUpSeconds = 2.0;
const double sampleEvery = 0.25;  // the title changes its rate at most every 200 ms

double titleRate(const std::string& title)
{
    return title.size() > 8 ? std::atof(title.c_str() + 8) : 0.0;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

struct Figures {
    double defaultView = 0.0;
    double turnedView = 0.0;
};

double measure(XServer& server, Window window, double seconds)
{
    sleepSeconds(warmUpSeconds);
    std::vector<double> rates;
    std::string last;
    for (double waited = 0.0; waited < seconds; waited += sampleEvery) {
        sleepSeconds(sampleEvery);
        std::string title = windowTitle(server.connection, window);
        if (title != last && isFrameTitle(title))
            rates.push_back(titleRate(title));
        last = title;
    }
    return median(rates);
}

Figures run(XServer& server, const std::string& volume, const std::string& vertex,
            const std::string& fragment, double seconds)
{
    Figures figures;
    std::string dir = viewerDirectory({}, vertex, fragment);
    copyFile(volume, dir + "/data/skull_256x256x256_8.raw");
    ViewerProcess viewer;
    WindowInfo window;
    if (!viewer.start(dir, server.display) || !viewer.waitForOutput("Texture loaded!\n", 30) ||
        !waitForWindow(server.connection, [](const WindowInfo& w) { return isFrameTitle(w.title); }, 10,
                       &window)) {
        fprintf(stderr, "frame_rate: the viewer did not start: %s\n", viewer.standardError().c_str());
        exit(1);
    }
    figures.defaultView = measure(server, window.id, seconds);
    drag(server.connection, window.id, 1, 200, 200, 245, 245, 15);  // 45 degrees about both axes
    figures.turnedView = measure(server, window.id, seconds);
    viewer.stop();
    removeTree(dir);
    return figures;
}

std::string rendererOn(const std::string& display)
{
    setenv("DISPLAY", display.c_str(), 1);
    int argc = 1;
    char name[] = "frame_rate";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitWindowSize(16, 16);
    glutCreateWindow("renderer");
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    std::string text = renderer ? renderer : "unknown";
    glutDestroyWindow(glutGetWindow());
    glutExit();  // let go of the server before it stops
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
    std::string shaders = argc > 2 ? argv[2] : VIEWER_SHADER_DIR;
    XServer server;
    if (!server.start()) {
        fprintf(stderr, "frame_rate: cannot start Xvfb\n");
        return 1;
    }
    std::string volume = makeScratchDir() + "/phantom.raw";
    if (system((std::string(PHANTOM_PATH) + " " + volume + " > /dev/null").c_str()) != 0)
        return 1;

    printf("machine: %u cores, renderer: %s\n", std::thread::hardware_concurrency(),
           rendererOn(server.display).c_str());
    printf("measuring %.0f s per view after %.0f s of warm-up\n", seconds, warmUpSeconds);
    fflush(stdout);
    Figures floor = run(server, volume, TEST_SHADER_DIR "/texcoord.vert", TEST_SHADER_DIR "/texcoord.frag",
                        seconds);
    Figures rayCast = run(server, volume, shaders + "/minimal.vert", shaders + "/minimal.frag", seconds);
    removeTree(volume.substr(0, volume.rfind('/')));

    printf("%-30s %10s %10s\n", "view", "fps", "of floor");
    printf("%-30s %10.1f %10s\n", "pass-through, default", floor.defaultView, "1.00");
    printf("%-30s %10.1f %10s\n", "pass-through, turned 45/45", floor.turnedView, "1.00");
    printf("%-30s %10.1f %10.2f\n", "ray caster, default", rayCast.defaultView,
           rayCast.defaultView / floor.defaultView);
    printf("%-30s %10.1f %10.2f\n", "ray caster, turned 45/45", rayCast.turnedView,
           rayCast.turnedView / floor.turnedView);
    return 0;
}
