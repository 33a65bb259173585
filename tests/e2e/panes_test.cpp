// The four-pane layout in the running viewer, on a volume made here: a ball
// of soft tissue with a bright marker toward the patient's left, the top and
// the front. Driven with XTest and seen through its pixels.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

#include <cmath>

namespace {

const int side = 256;
const int marker[2] = {196, 219};  // each marker's voxels along its own axis; the other two 120..136

std::vector<unsigned char> markedBall()
{
    std::vector<unsigned char> bytes(volumeBytes, 0);
    auto within = [](int v, int low, int high) { return v >= low && v < high; };
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const int p[3] = {x, y, z};
                bool bright = false;
                for (int axis = 0; axis < 3; ++axis)
                    bright = bright || (within(p[axis], marker[0], marker[1]) && within(p[(axis + 1) % 3], 120, 136) &&
                                        within(p[(axis + 2) % 3], 120, 136));
                const double r2 = (x - 127.5) * (x - 127.5) + (y - 127.5) * (y - 127.5) + (z - 127.5) * (z - 127.5);
                bytes[x + side * (y + static_cast<size_t>(side) * z)] = bright ? 250 : (r2 < 60 * 60 ? 100 : 0);
            }
    return bytes;
}

// The 640x480 window's slice squares: 240 pixels, the coronal at (40, 0), the
// sagittal at (360, 0), the axial at (40, 240). A voxel's centre along a
// square's width (reversed for the sagittal's z) and up its height.
int across(int voxel) { return static_cast<int>((voxel + 0.5) * 240 / side); }
int up(int voxel) { return 239 - across(voxel); }
enum { coronalX = 40, sagittalX = 360, axialY = 240 };

int grey(const Image& image, int x, int y) { return image.at(x, y)[2]; }  // blue: the crosshair's yellow has little
bool yellow(const Image& image, int x, int y)
{
    const unsigned char* p = image.at(x, y);
    return p[0] > 200 && p[1] > 150 && p[2] < 120;
}

// The yellow pixels of a letter's box, cropped to them: a glyph to compare.
std::vector<bool> glyph(const Image& image, int x0, int y0)
{
    int left = 1000, top = 1000, right = -1, bottom = -1;
    for (int y = y0; y < y0 + 26; ++y)
        for (int x = x0; x < x0 + 22; ++x)
            if (yellow(image, x, y))
                left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    std::vector<bool> bits;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            bits.push_back(yellow(image, x, y));
    bits.push_back(right - left > 3);  // empty boxes never match a letter
    return bits;
}

TEST(Panes, TabShowsTheSlicesTheRightWayRoundAndTheMouseMovesWindowsAndStepsThem)
{
    XServer server;
    ASSERT_TRUE(server.start());
    std::string dir = viewerDirectory(markedBall());
    ViewerProcess viewer;
    ASSERT_TRUE(viewer.start(dir, server.display));
    ASSERT_TRUE(viewer.waitForOutput("Texture loaded!\n", 20)) << viewer.standardError();
    WindowInfo window;
    ASSERT_TRUE(waitForWindow(server.connection, [](const WindowInfo& w) { return isFrameTitle(w.title); }, 10, &window));
    // A frame drawn after everything sent so far: two new frames, as the title's runtime tells.
    auto settled = [&] {
        sleepSeconds(0.2);
        double last = titleRuntime(windowTitle(server.connection, window.id));
        for (int frames = 0, tries = 0; frames < 2 && tries < 400; ++tries) {
            sleepSeconds(0.05);
            double now = titleRuntime(windowTitle(server.connection, window.id));
            frames += now != last;
            last = now;
        }
        return capture(server.connection, window.id);
    };
    movePointer(server.connection, window.id, 320, 240);
    Image single = settled();
    typeCharacter(server.connection, '\t');
    Image panes = settled();

    // Each marker on its side: the left one right of centre in the coronal and
    // axial slices, the top one up, the front one left in the sagittal and up
    // in the axial. (Voxel 132 is within every marker and off the crosshair's lines.)
    const int at = across((marker[0] + marker[1]) / 2), opposite = across(side - 1 - (marker[0] + marker[1]) / 2);
    const int mid = across(132), row = up(132);
    struct Spot { int x, y; bool bright; };
    const Spot spots[] = {{coronalX + at, row, true}, {coronalX + opposite, row, false},
                          {coronalX + mid, 239 - at, true}, {coronalX + mid, 239 - opposite, false},
                          {sagittalX + 239 - at, row, true}, {sagittalX + 239 - opposite, row, false},
                          {sagittalX + 239 - mid, 239 - at, true}, {coronalX + at, axialY + row, true},
                          {coronalX + mid, axialY + 239 - at, true}, {coronalX + mid, axialY + 239 - opposite, false}};
    for (const Spot& spot : spots)
        EXPECT_EQ(grey(panes, spot.x, spot.y) > 200, spot.bright) << spot.x << "," << spot.y;

    // A click in the axial slice on the left marker: the sagittal slice moves
    // onto it and shows it at its centre, the coronal's line follows.
    EXPECT_LT(grey(panes, sagittalX + 239 - mid, row), 150);
    drag(server.connection, window.id, 1, coronalX + at, axialY + row, coronalX + at, axialY + row, 1);
    Image clicked = settled();
    EXPECT_GT(grey(clicked, sagittalX + 239 - across(126), row), 200);  // beside the new line at z 132
    EXPECT_TRUE(yellow(clicked, coronalX + at, 5));

    // Sixteen notches of the wheel over the sagittal slice move its plane 16 voxels toward the right.
    movePointer(server.connection, window.id, 480, 60);
    for (int notch = 0; notch < 16; ++notch) {
        pressButton(server.connection, 5, true);
        pressButton(server.connection, 5, false);
    }
    Image stepped = settled();
    int line = -1;
    for (int x = coronalX; x < coronalX + 240; ++x)
        line = yellow(stepped, x, 5) && line < 0 ? x : line;
    EXPECT_NEAR(line, coronalX + at - 15, 1);

    // A right drag 40 pixels up in a slice raises the window's centre by 40 levels: the ball darkens by as much.
    const int ballX = coronalX + across(100), ballY = up(100);
    int before = grey(stepped, ballX, ballY);
    drag(server.connection, window.id, 3, 160, 120, 160, 80, 8);
    EXPECT_NEAR(before - grey(settled(), ballX, ballY), 40, 3);

    // The letters: R and L, S and I, A and P at the middle of each slice's
    // edges, alike where they mean alike; the crosshair's lines moved clear of them.
    for (int click : {axialY + up(196), up(60)})
        drag(server.connection, window.id, 1, coronalX + across(60), click, coronalX + across(60), click, 1);
    Image letters = settled();
    auto box = [&](int x, int y) { return glyph(letters, x, y); };
    const std::vector<bool> coronalLeft = box(40, 102), coronalRight = box(260, 102), coronalTop = box(150, 0),
                            sagittalLeft = box(360, 102), sagittalTop = box(470, 0), axialLeft = box(40, 342),
                            axialRight = box(260, 342), axialTop = box(150, 240);
    EXPECT_EQ(coronalLeft, axialLeft);     // R
    EXPECT_EQ(coronalRight, axialRight);   // L
    EXPECT_NE(coronalLeft, coronalRight);
    EXPECT_EQ(coronalTop, sagittalTop);    // S
    EXPECT_EQ(sagittalLeft, axialTop);     // A
    EXPECT_NE(sagittalLeft, coronalTop);

    // Tab again: the single view as it was.
    movePointer(server.connection, window.id, 320, 240);
    typeCharacter(server.connection, '\t');
    EXPECT_TRUE(settled().rgb == single.rgb);
    viewer.stop();
    removeTree(dir);
}

}  // namespace
