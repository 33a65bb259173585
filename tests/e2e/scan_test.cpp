// A real scan in front of the viewer: the packaged MRI head imported with
// import_scan and shown by the built viewer, and `scripts/run SCAN` on a
// machine without a display.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

const std::string head = "/usr/share/mricron/templates/ch2.nii.gz";

// The bounding box of the pixels that are not background.
struct Extent {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1, count = 0;
};

Extent litPixels(const Image& image)
{
    Extent extent;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* p = image.at(x, y);
            if (p[0] + p[1] + p[2] > 60) {
                extent.left = std::min(extent.left, x), extent.right = std::max(extent.right, x);
                extent.top = std::min(extent.top, y), extent.bottom = std::max(extent.bottom, y);
                ++extent.count;
            }
        }
    return extent;
}

TEST(RealScan, TheImportedHeadFillsTheMiddleOfTheDefaultView)
{
    if (!std::filesystem::exists(head))
        GTEST_SKIP() << head << " is not installed";
    std::string dir = viewerDirectory({});
    std::string command = std::string(IMPORT_SCAN_PATH) + " " + head + " " + dir +
                          "/data/skull_256x256x256_8.raw > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    XServer server;
    ViewerProcess viewer;
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(viewer.start(dir, server.display));
    ASSERT_TRUE(startUpDismissingBoxes(server, viewer, 30, nullptr));
    WindowInfo window;
    ASSERT_TRUE(waitForWindow(server.connection, isViewerWindow, 10, &window));
    sleepSeconds(2);
    Extent head = litPixels(capture(server.connection, window.id));
    viewer.stop();
    removeTree(dir);

    // Seen from the front, the head is centred across and is a large, solid shape.
    ASSERT_GT(head.count, 20000) << "too little of the head is drawn";
    EXPECT_NEAR((head.left + head.right) / 2.0, 320, 12);
    EXPECT_GT(head.right - head.left, 150);
    EXPECT_GT(head.bottom - head.top, 150);
    EXPECT_GT(head.count, 0.6 * (head.right - head.left) * (head.bottom - head.top));
}

std::string listing(const std::string& dir)
{
    std::ostringstream out;
    if (std::filesystem::exists(dir))
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
            out << entry.path() << " " << (entry.is_regular_file() ? entry.file_size() : 0) << " "
                << entry.last_write_time().time_since_epoch().count() << "\n";
    return out.str();
}

TEST(RealScan, RunScriptWithAScanAndNoDisplaySavesAScreenshotAndLeavesDataAlone)
{
    if (!std::filesystem::exists(head))
        GTEST_SKIP() << head << " is not installed";
    const std::string root = PROJECT_ROOT;
    const std::string screenshot = root + "/build/screenshot.png";
    std::filesystem::remove(screenshot);
    std::string dataBefore = listing(root + "/data");

    std::string log = makeScratchDir();
    std::string command = "cd " + root + " && env -u DISPLAY scripts/run " + head + " > " + log + "/out 2>&1";
    int status = std::system(command.c_str());
    std::string output = readFile(log + "/out");
    removeTree(log);

    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Window title: D"), std::string::npos) << output;
    EXPECT_NE(output.find("FPS"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::exists(screenshot)) << output;
    EXPECT_GT(std::filesystem::file_size(screenshot), 5000u);
    EXPECT_EQ(listing(root + "/data"), dataBefore);
}

}  // namespace
