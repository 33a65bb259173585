// Frame-rate benchmark: runs the real viewer on a private virtual screen and
// reports the rate that it shows in its title, on each benchmark volume (the
// head phantom, the phantom with a faint uniform brain, the real MRI head) in
// each view (default, turned 45/45, peeled with troskel at 0.45). In the same
// run, taking turns with it, it measures the ray caster before the gradient
// volume (the tests' baseline) and the peer, VTK's fixed-point CPU ray caster,
// on the same volume, window and view (bench/peer.py). Then it compares the
// pictures with the brute-force reference: mean and 99th-percentile error per
// channel, for the viewer's ray caster and for the one before.
//
//   frame_rate [seconds per view] [shader directory] [scan...]
//   frame_rate --styles [seconds per view] [scan...]
//   frame_rate --overlay [seconds per view]
//   frame_rate --panes [seconds per view]
//
// The defaults are 6 seconds and the viewer's own shaders/; another directory
// holding minimal.vert and minimal.frag measures a variant of the ray caster.
// Each scan given (anything import_scan reads) is measured as well. With
// --styles it measures the render styles instead, taking turns in each view:
// the tissue style, mip beside VTK's ray caster in its maximum-intensity blend
// mode, surface, and cut with the front half of the volume cut away; then mip's
// picture against a brute-force maximum projection. With --overlay it
// measures each style on the MRI head with the aal atlas over it beside the
// same style without it, taking turns, in the default and turned views; with
// --panes, each style on the MRI head in the four-pane layout (Tab) beside
// the single 3D view.
#include "picture.h"
#include "scratch_dir.h"
#include "x_session.h"

#include <GL/glew.h>
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const double warmUpSeconds = 2.0;
const double sampleEvery = 0.25;  // the title changes its rate at most every 200 ms
const int peelPresses = 35;       // "+" from 0.1 to 0.45
const int turns = 3;              // each view's seconds are split into turns of viewer, before and peer

struct Volume {
    std::string name, path;
    std::string overlay = "", colours = "";  // an overlay and its colour table beside the volume, if any
};

struct View {
    std::string name;
    bool turned;
    std::string keys;  // typed once the view is turned
};

const View views[] = {{"default", false, ""}, {"turned", true, ""}, {"peeled", false, std::string(peelPresses, '+')}};
const std::string frontHalfCut(50, '9');  // in the cut style, troskelb from 0.1 to 0.6: z above 0.5 cut away

// Rates in frames per second: their median and their spread.
struct Rates {
    std::vector<double> values;
    double median() const
    {
        if (values.empty())
            return 0.0;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : 0.5 * (sorted[middle - 1] + sorted[middle]);
    }
    void add(const Rates& more) { values.insert(values.end(), more.values.begin(), more.values.end()); }
    double lowest() const { return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end()); }
    double highest() const { return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()); }
};

double titleRate(const std::string& title)
{
    return title.size() > 8 ? std::atof(title.c_str() + 8) : 0.0;
}

// The viewer on a volume with a fragment shader, its window turned and peeled as the view says.
struct RunningViewer {
    ViewerProcess process;
    WindowInfo window;
    std::string dir;
    ~RunningViewer()
    {
        process.stop();
        if (!dir.empty())
            removeTree(dir);
    }
};

void startViewer(XServer& server, RunningViewer& viewer, const Volume& volume, const std::string& vertex,
                 const std::string& fragment, const View& view, const std::string& moreKeys = "")
{
    viewer.dir = viewerDirectory({}, vertex, fragment);
    std::filesystem::create_symlink(volume.path, viewer.dir + "/data/skull_256x256x256_8.raw");
    if (!volume.overlay.empty()) {
        std::filesystem::create_symlink(volume.overlay, viewer.dir + "/data/overlay_256x256x256_8.raw");
        std::filesystem::create_symlink(volume.colours, viewer.dir + "/data/overlay_256x256x256_8.labels.lut");
    }
    if (!viewer.process.start(viewer.dir, server.display) || !viewer.process.waitForOutput("Texture loaded!\n", 30) ||
        !waitForWindow(server.connection, [](const WindowInfo& w) { return isFrameTitle(w.title); }, 30,
                       &viewer.window)) {
        fprintf(stderr, "frame_rate: the viewer did not start: %s\n", viewer.process.standardError().c_str());
        exit(1);
    }
    if (view.turned)
        drag(server.connection, viewer.window.id, 1, 200, 200, 245, 245, 15);  // 45 degrees about both axes
    movePointer(server.connection, viewer.window.id, 320, 240);  // the keys go where the pointer is
    for (char key : view.keys + moreKeys)
        typeCharacter(server.connection, key);
}

Rates measureViewer(XServer& server, const Volume& volume, const std::string& vertex, const std::string& fragment,
                    const View& view, double seconds, const std::string& moreKeys = "")
{
    RunningViewer viewer;
    startViewer(server, viewer, volume, vertex, fragment, view, moreKeys);
    sleepSeconds(warmUpSeconds);
    Rates rates;
    std::string last;
    for (double waited = 0.0; waited < seconds; waited += sampleEvery) {
        sleepSeconds(sampleEvery);
        std::string title = windowTitle(server.connection, viewer.window.id);
        if (title != last && isFrameTitle(title))
            rates.values.push_back(titleRate(title));
        last = title;
    }
    return rates;
}

// The peer's rates; BLEND is "composite" (the tissue look) or "mip".
Rates measurePeer(XServer& server, const Volume& volume, const View& view, double seconds,
                  const std::string& blend = "composite")
{
    std::string command = "DISPLAY=" + server.display + " " PEER_PATH " " + volume.path + " " + view.name + " " +
                          std::to_string(seconds) + " " + blend + " 2>/dev/null";
    Rates rates;
    FILE* peer = popen(command.c_str(), "r");
    double rate;
    while (peer != nullptr && fscanf(peer, "%lf", &rate) == 1)
        rates.values.push_back(rate);
    if (peer != nullptr)
        pclose(peer);
    static bool told = false;
    if (rates.values.empty() && !told) {  // its column would read 0 with no word why
        fprintf(stderr, "frame_rate: the peer drew no frame; it needs Debian's python3-vtk9\n");
        told = true;
    }
    return rates;
}

// The picture a fragment shader draws in the view, once a few frames have been drawn in it.
Image picture(XServer& server, const Volume& volume, const std::string& fragment, const View& view)
{
    RunningViewer viewer;
    startViewer(server, viewer, volume, VIEWER_SHADER_DIR "/minimal.vert", fragment, view);
    double started = titleRuntime(windowTitle(server.connection, viewer.window.id));
    for (int frames = 0; frames < 3;) {  // the title changes with every frame drawn after the view was set
        sleepSeconds(0.1);
        double now = titleRuntime(windowTitle(server.connection, viewer.window.id));
        if (now != started) {
            started = now;
            ++frames;
        }
    }
    return capture(server.connection, viewer.window.id);
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

// The processor's name, as the kernel reports it: rates differ between
// machines far more than between runs, with the ray caster's memory traffic.
std::string processorName()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

std::vector<Volume> makeVolumes(const std::string& dir, const std::vector<std::string>& scans)
{
    std::vector<Volume> volumes = {{"phantom", dir + "/phantom.raw"}, {"faint phantom", dir + "/faint.raw"}};
    bool made = system((PHANTOM_PATH " " + volumes[0].path + " > /dev/null").c_str()) == 0 &&
                system((PHANTOM_PATH " --faint " + volumes[1].path + " > /dev/null").c_str()) == 0;
    const std::string head = "/usr/share/mricron/templates/ch2.nii.gz";
    if (std::filesystem::exists(head)) {
        volumes.push_back({"MRI head", dir + "/head.raw"});
        made = made && system((IMPORT_SCAN_PATH " " + head + " " + volumes[2].path + " > /dev/null").c_str()) == 0;
    } else {
        printf("%s is not installed: the MRI head is left out\n", head.c_str());
    }
    for (const std::string& scan : scans) {
        volumes.push_back({std::filesystem::path(scan).filename().string(),
                           dir + "/scan" + std::to_string(volumes.size()) + ".raw"});
        made = made && system((IMPORT_SCAN_PATH " " + scan + " " + volumes.back().path + " > /dev/null").c_str()) == 0;
    }
    if (!made) {
        fprintf(stderr, "frame_rate: cannot make the benchmark volumes\n");
        exit(1);
    }
    return volumes;
}

// The shader files of a render style, written by scripts/style into DIR/NAME.
std::string styleShaders(const std::string& dir, const std::string& name)
{
    std::string shaders = dir + "/styles/" + name;
    if (system((STYLE_SCRIPT " " + name + " " + shaders).c_str()) != 0) {
        fprintf(stderr, "frame_rate: cannot write the %s style\n", name.c_str());
        exit(1);
    }
    return shaders;
}

// How many times as fast as `b` `a` is, by their medians; 0 where b drew nothing.
double ratio(const Rates& a, const Rates& b)
{
    return b.median() > 0 ? a.median() / b.median() : 0.0;
}

void printRates(const Rates& rates)
{
    printf(" %.1f (%.1f-%.1f) |", rates.median(), rates.lowest(), rates.highest());
}

// The render styles in every view, taking turns, and mip's picture against the brute force.
void measureStyles(XServer& server, const std::vector<Volume>& volumes, const std::string& dir, double seconds)
{
    const std::string tissue = styleShaders(dir, "tissue"), mip = styleShaders(dir, "mip"),
                      surface = styleShaders(dir, "surface"), cut = styleShaders(dir, "cut");
    printf("| volume | view | tissue fps | mip fps | VTK MIP fps | mip / VTK MIP | surface fps | surface / tissue | "
           "cut fps, front half cut | cut / tissue |\n|---|---|---|---|---|---|---|---|---|---|\n");
    fflush(stdout);
    for (const Volume& volume : volumes)
        for (const View& view : views) {
            Rates rates[5];  // tissue, mip, VTK MIP, surface, cut
            for (int turn = 0; turn < turns; ++turn) {
                double share = seconds / turns;
                rates[0].add(measureViewer(server, volume, tissue + "/minimal.vert", tissue + "/minimal.frag", view, share));
                rates[1].add(measureViewer(server, volume, mip + "/minimal.vert", mip + "/minimal.frag", view, share));
                rates[2].add(measurePeer(server, volume, view, share, "mip"));
                rates[3].add(measureViewer(server, volume, surface + "/minimal.vert", surface + "/minimal.frag", view,
                                           share));
                rates[4].add(measureViewer(server, volume, cut + "/minimal.vert", cut + "/minimal.frag", view, share,
                                           frontHalfCut));
            }
            printf("| %s | %s |", volume.name.c_str(), view.name.c_str());
            printRates(rates[0]);
            printRates(rates[1]);
            printRates(rates[2]);
            printf(" %.2f |", ratio(rates[1], rates[2]));
            printRates(rates[3]);
            printf(" %.2f |", ratio(rates[3], rates[0]));
            printRates(rates[4]);
            printf(" %.2f |\n", ratio(rates[4], rates[0]));
            fflush(stdout);
        }

    std::string mipSource = readFile(mip + "/minimal.frag"), reference = dir + "/reference_mip.frag";
    writeFile(reference, mipSource.substr(0, mipSource.find("void main()")) +
                             readFile(TEST_SHADER_DIR "/reference_mip_main.frag"));
    printf("\nmip against the brute-force maximum projection (quarter-voxel steps, no skipping), per channel "
           "(r g b) in 0..255, over the lit pixels\n\n| volume | view | mean error | 99th percentile |\n|---|---|---|---|\n");
    for (const Volume& volume : volumes)
        for (const View& view : views) {
            PictureError error = pictureError(picture(server, volume, mip + "/minimal.frag", view),
                                              picture(server, volume, reference, view));
            printf("| %s | %s | %.2f %.2f %.2f | %.0f %.0f %.0f |\n", volume.name.c_str(), view.name.c_str(),
                   error.mean[0], error.mean[1], error.mean[2], error.p99[0], error.p99[1], error.p99[2]);
            fflush(stdout);
        }
}

// One side of a comparison: the volume (with its overlay, if any) and keys
// typed after the view's own.
struct Side {
    Volume volume;
    std::string keys;
};

// Each style in the default and turned views, the two sides taking turns: a
// table row each, the second side's rate against the first's.
void compareInEveryStyle(XServer& server, const std::string& dir, double seconds, const Side (&sides)[2],
                         const char* header)
{
    printf("%s\n|---|---|---|---|---|\n", header);
    for (const char* name : {"tissue", "mip", "surface", "cut"}) {
        const std::string shaders = styleShaders(dir, name);
        const std::string keys = std::string(name) == "cut" ? frontHalfCut : "";
        for (const View& view : {views[0], views[1]}) {
            Rates rates[2];
            for (int turn = 0; turn < turns; ++turn)
                for (int side = 0; side < 2; ++side)
                    rates[side].add(measureViewer(server, sides[side].volume, shaders + "/minimal.vert",
                                                  shaders + "/minimal.frag", view, seconds / turns,
                                                  keys + sides[side].keys));
            printf("| %s | %s |", name, view.name.c_str());
            printRates(rates[0]);
            printRates(rates[1]);
            printf(" %.2f |\n", ratio(rates[1], rates[0]));
            fflush(stdout);
        }
    }
}

// Each style on the MRI head with the aal atlas over it and without.
void measureOverlay(XServer& server, const std::string& dir, double seconds)
{
    const std::string templates = "/usr/share/mricron/templates/";
    Volume plain{"MRI head", dir + "/overlay-head.raw"};
    Volume overlaid{"MRI head with aal", plain.path, dir + "/aal.raw", dir + "/aal.labels.lut"};
    if (system((IMPORT_SCAN_PATH " " + templates + "ch2.nii.gz " + plain.path + " --overlay " + templates +
                "aal.nii.gz " + overlaid.overlay + " > /dev/null").c_str()) != 0) {
        fprintf(stderr, "frame_rate: cannot import the MRI head with the aal atlas (mricron-data)\n");
        exit(1);
    }
    compareInEveryStyle(server, dir, seconds, {{plain, ""}, {overlaid, ""}},
                        "| style | view | without fps | with aal fps | with / without |");
}

// Each style on the MRI head in the single view and in the four panes (Tab).
void measurePanes(XServer& server, const std::vector<Volume>& volumes, const std::string& dir, double seconds)
{
    compareInEveryStyle(server, dir, seconds, {{volumes.back(), ""}, {volumes.back(), "\t"}},
                        "| style | view | single view fps | four panes fps | panes / single |");
}

}  // namespace

int main(int argc, char** argv)
{
    const bool styles = argc > 1 && std::string(argv[1]) == "--styles";
    const bool overlay = argc > 1 && std::string(argv[1]) == "--overlay";
    const bool panes = argc > 1 && std::string(argv[1]) == "--panes";
    if (styles || overlay || panes) {  // the same arguments after it, but for the shader directory
        --argc;
        ++argv;
    }
    double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
    std::string shaders = argc > 2 && !styles ? argv[2] : VIEWER_SHADER_DIR;
    XServer server;
    if (!server.start()) {
        fprintf(stderr, "frame_rate: cannot start Xvfb\n");
        return 1;
    }
    std::string dir = makeScratchDir();
    if (overlay) {
        printf("machine: %u cores (%s), renderer: %s\n", std::thread::hardware_concurrency(),
               processorName().c_str(), rendererOn(server.display).c_str());
        printf("frame rates: median (lowest-highest) over %.0f s per view, in %d turns after %.0f s of warm-up "
               "each, 640x480; cut with the front half cut away\n\n", seconds, turns, warmUpSeconds);
        measureOverlay(server, dir, seconds);
        removeTree(dir);
        return 0;
    }
    const int firstScan = styles ? 2 : 3;
    std::vector<Volume> volumes = makeVolumes(dir, std::vector<std::string>(argv + std::min(argc, firstScan), argv + argc));
    printf("machine: %u cores (%s), renderer: %s\n", std::thread::hardware_concurrency(),
           processorName().c_str(), rendererOn(server.display).c_str());
    printf("frame rates: median (lowest-highest) over %.0f s per view, in %d turns after %.0f s of warm-up each, "
           "640x480\n\n",
           seconds, turns, warmUpSeconds);
    if (panes) {
        measurePanes(server, volumes, dir, seconds);
        removeTree(dir);
        return 0;
    }
    if (styles) {
        measureStyles(server, volumes, dir, seconds);
        removeTree(dir);
        return 0;
    }
    printf("| volume | view | viewer fps | before fps | VTK fps | viewer / VTK | viewer / before |\n"
           "|---|---|---|---|---|---|---|\n");
    fflush(stdout);
    for (const Volume& volume : volumes)
        for (const View& view : views) {
            // In turns, so that the machine's drift falls on all three alike.
            Rates ours, before, peer;
            for (int turn = 0; turn < turns; ++turn) {
                ours.add(measureViewer(server, volume, shaders + "/minimal.vert", shaders + "/minimal.frag", view,
                                       seconds / turns));
                before.add(measureViewer(server, volume, VIEWER_SHADER_DIR "/minimal.vert",
                                         TEST_SHADER_DIR "/baseline.frag", view, seconds / turns));
                peer.add(measurePeer(server, volume, view, seconds / turns));
            }
            printf("| %s | %s | %.1f (%.1f-%.1f) | %.1f (%.1f-%.1f) | %.1f (%.1f-%.1f) | %.2f | %.2f |\n",
                   volume.name.c_str(), view.name.c_str(), ours.median(), ours.lowest(), ours.highest(),
                   before.median(), before.lowest(), before.highest(), peer.median(), peer.lowest(), peer.highest(),
                   ratio(ours, peer), ratio(ours, before));
            fflush(stdout);
        }

    std::string reference = dir + "/reference.frag";
    writeFile(reference, referenceFragmentShader(shaders + "/minimal.frag"));
    printf("\nerror against the brute-force reference, per channel (r g b) in 0..255, over the lit pixels\n\n");
    printf("| volume | view | shader | mean error | 99th percentile |\n|---|---|---|---|---|\n");
    for (const Volume& volume : volumes)
        for (const View& view : views) {
            Image expected = picture(server, volume, reference, view);
            const std::pair<const char*, std::string> shown[] = {{"now", shaders + "/minimal.frag"},
                                                                 {"before", TEST_SHADER_DIR "/baseline.frag"}};
            for (const auto& [name, fragment] : shown) {
                PictureError error = pictureError(picture(server, volume, fragment, view), expected);
                printf("| %s | %s | %s | %.2f %.2f %.2f | %.0f %.0f %.0f |\n", volume.name.c_str(), view.name.c_str(),
                       name, error.mean[0], error.mean[1], error.mean[2], error.p99[0], error.p99[1], error.p99[2]);
                fflush(stdout);
            }
        }
    removeTree(dir);
    return 0;
}
