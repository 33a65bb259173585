// The viewer as installed: `cmake --install` into a prefix of the test's own,
// moved elsewhere as a whole, its commands called from another directory on
// scans named by relative paths, as a user would; and the Debian package.
#include <gtest/gtest.h>

#include "picture.h"
#include "scratch_dir.h"
#include "x_session.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Runs a shell command; its exit status, and both its output streams in `output`.
int run(const std::string& command, std::string* output)
{
    std::string file = std::filesystem::temp_directory_path().string() + "/install-test-output-" +
                       std::to_string(getpid());
    int status = std::system(("(" + command + ") > " + file + " 2>&1").c_str());
    *output = readFile(file);
    std::filesystem::remove(file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The names in a directory, sorted, one per line; empty if there is none.
std::string names(const std::string& dir)
{
    std::vector<std::string> found;
    if (std::filesystem::exists(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    std::string text;
    for (const std::string& name : found)
        text += name + "\n";
    return text;
}

class Installed : public ::testing::Test {
protected:
    std::string dir = makeScratchDir();
    std::string prefix = dir + "/moved";  // where the installed tree ends up
    std::string here = dir + "/here";     // where the user stands
    std::string cache = dir + "/cache";
    std::string output;

    // Installs, then moves the tree: the commands must find their parts from
    // where they lie, and no script may name the checkout, the build or the
    // prefix it was installed to.
    void SetUp() override
    {
        makeDir(dir + "/scans");
        makeDir(here);
        writeBallScan(dir + "/scans/right.mhd", 14);
        writeBallScan(dir + "/scans/left.mhd", 50);
        std::string staged = dir + "/staged";
        ASSERT_EQ(run("cmake --install " BUILD_DIR " --prefix " + staged + " --strip", &output), 0) << output;
        std::filesystem::rename(staged, prefix);
        EXPECT_NE(run("grep -rlI -e " PROJECT_ROOT " -e " BUILD_DIR " -e " + staged + " " + prefix, &output), 0)
            << output;
    }
    void TearDown() override { removeTree(dir); }

    // An installed command run from `here` without a display, with the cache in the scratch directory.
    int command(const std::string& arguments, const std::string& cacheHome = "")
    {
        return run("cd " + here + " && env -u DISPLAY XDG_CACHE_HOME=" + (cacheHome.empty() ? cache : cacheHome) +
                       " " + prefix + "/bin/" + arguments,
                   &output);
    }
};

TEST_F(Installed, APictureOfAScanNamedFromAnotherDirectoryWritesOnlyThePicture)
{
    ASSERT_EQ(command("volume-viewer-picture ../scans/right.mhd right.png"), 0) << output;
    int count = 0;
    Image picture = decodePicture(here + "/right.png", 0, dir);
    ASSERT_EQ(picture.width, 640);
    EXPECT_LT(litCentre(picture, &count), 320 - 50);  // facing the patient, the right is on the left
    EXPECT_GT(count, 500);
    EXPECT_EQ(names(here), "right.png\n");
    EXPECT_EQ(names(dir + "/scans"), "left.mhd\nleft.raw\nright.mhd\nright.raw\n");
    EXPECT_EQ(names(cache + "/volume-viewer"), "");  // the working directory went with the run

    // Bad input, each in one line: the scan named as typed, the picture's
    // directory, a cache that cannot be written.
    EXPECT_EQ(command("volume-viewer ../scans/none.nii"), 1);
    EXPECT_EQ(output, "volume-viewer: ../scans/none.nii: no such file or directory\n");
    EXPECT_EQ(command("volume-viewer-picture ../scans/right.mhd nowhere/right.png"), 1);
    EXPECT_EQ(output, "volume-viewer-picture: nowhere/right.png: cannot write into the directory nowhere\n");
    std::string underAFile = dir + "/scans/right.raw";
    EXPECT_EQ(command("volume-viewer ../scans/right.mhd", underAFile), 1);
    EXPECT_EQ(output, "volume-viewer: cannot write the cache directory " + underAFile + "/volume-viewer\n");
    EXPECT_EQ(names(here), "right.png\n");
}

// Two viewers started at once on two scans, from another directory, each in
// its own window showing its own scan; stopping them leaves nothing behind.
TEST_F(Installed, TwoViewersOnTwoScansShowEachItsOwn)
{
    XServer server;
    ASSERT_TRUE(server.start());
    std::vector<std::string> environment = {"XDG_CACHE_HOME=" + cache};
    ViewerProcess right, left;
    ASSERT_TRUE(right.start(here, server.display, environment, {prefix + "/bin/volume-viewer", "../scans/right.mhd"}));
    ASSERT_TRUE(left.start(here, server.display, environment, {prefix + "/bin/volume-viewer", "../scans/left.mhd"}));

    std::vector<WindowInfo> windows;
    for (int tries = 0; tries < 600 && windows.size() < 2; ++tries) {
        sleepSeconds(0.1);
        windows.clear();
        for (const WindowInfo& window : visibleWindows(server.connection))
            if (isViewerWindow(window))
                windows.push_back(window);
    }
    ASSERT_EQ(windows.size(), 2u) << right.standardError() << left.standardError();

    // The windows lie on top of each other: each is raised in turn and taken.
    std::vector<double> centres;
    for (const WindowInfo& window : windows) {
        XRaiseWindow(server.connection, window.id);
        XSync(server.connection, False);
        sleepSeconds(2);
        int count = 0;
        centres.push_back(litCentre(capture(server.connection, window.id), &count));
        EXPECT_GT(count, 500);
    }
    std::sort(centres.begin(), centres.end());
    EXPECT_LT(centres[0], 320 - 50);  // one shows the ball on the patient's right,
    EXPECT_GT(centres[1], 320 + 50);  // the other the ball on the left

    right.stop();
    left.stop();
    EXPECT_EQ(names(cache + "/volume-viewer"), "");
    EXPECT_EQ(names(dir + "/scans"), "left.mhd\nleft.raw\nright.mhd\nright.raw\n");
    bool gone = false;
    for (int tries = 0; tries < 50 && !gone; ++tries) {
        sleepSeconds(0.1);
        std::vector<WindowInfo> shown = visibleWindows(server.connection);
        gone = std::none_of(shown.begin(), shown.end(), isViewerWindow);
    }
    EXPECT_TRUE(gone) << "a viewer outlived its command";
}

// The Debian package: its dependencies found from the programs, and the
// commands the picture needs; the installed tree in it.
TEST(Package, TheDebianPackageNamesWhatTheProgramsNeed)
{
    std::string dir = makeScratchDir(), output;
    ASSERT_EQ(run("cpack --config " BUILD_DIR "/CPackConfig.cmake -G DEB -B " + dir, &output), 0) << output;
    std::string deb = dir + "/volume-viewer_1.0.0_amd64.deb";
    ASSERT_EQ(run("dpkg-deb -f " + deb + " Depends", &output), 0) << output;
    for (const char* package : {"libglut3", "libglew", "libglu1", "libsdl2", "libinsighttoolkit5", "libgdcm", "xvfb",
                                "xdotool", "imagemagick", "ffmpeg"})
        EXPECT_NE(output.find(package), std::string::npos) << package << " is missing from: " << output;
    ASSERT_EQ(run("dpkg-deb -c " + deb, &output), 0) << output;
    for (const char* file : {"./usr/bin/volume-viewer\n", "./usr/bin/volume-viewer-picture\n",
                             "./usr/libexec/volume-viewer/viewer\n", "./usr/libexec/volume-viewer/import_scan\n",
                             "./usr/share/volume-viewer/shaders/minimal.frag\n",
                             "./usr/share/volume-viewer/shaders/styles/mip.glsl\n"})
        EXPECT_NE(output.find(file), std::string::npos) << file << " is missing from: " << output;
    removeTree(dir);
}

}  // namespace
