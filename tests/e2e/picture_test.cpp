// `scripts/picture` as a user runs it, on a scan made here whose one bright
// ball lies on the patient's right: the still after a quarter turn, a
// turntable GIF and MP4 with their frames, a render style, and bad input.
#include <gtest/gtest.h>

#include "picture.h"
#include "scratch_dir.h"
#include "x_session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const std::string root = PROJECT_ROOT;

class Picture : public ::testing::Test {
protected:
    std::string dir = makeScratchDir();
    std::string scan = dir + "/ball.mhd";
    std::string output;

    void SetUp() override { writeBallScan(scan, 14); }
    void TearDown() override { removeTree(dir); }

    // Runs scripts/picture without a display; its exit status.
    int picture(const std::string& arguments)
    {
        std::string command = "cd " + root + " && env -u DISPLAY scripts/picture " + arguments + " > " + dir +
                              "/out 2>&1";
        int status = std::system(command.c_str());
        output = readFile(dir + "/out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    Image frame(const std::string& file, int k) { return decodePicture(file, k, dir); }
};

TEST_F(Picture, AQuarterTurnBringsThePatientsRightToTheFront)
{
    int count = 0;
    ASSERT_EQ(picture(scan + " " + dir + "/front.png"), 0) << output;
    Image front = frame(dir + "/front.png", 0);
    ASSERT_EQ(front.width, 640);
    ASSERT_EQ(front.height, 480);
    EXPECT_LT(litCentre(front, &count), 320 - 50);  // facing the patient, the right is on the left
    EXPECT_GT(count, 500);

    ASSERT_EQ(picture(scan + " " + dir + "/side.png --turn 90 0"), 0) << output;
    EXPECT_NEAR(litCentre(frame(dir + "/side.png", 0), &count), 320, 15) << output;
    EXPECT_GT(count, 500);
}

TEST_F(Picture, ATurntableMakesOneTurnInTheFramesAsked)
{
    ASSERT_EQ(picture(scan + " " + dir + "/turn.gif --frames 8"), 0) << output;
    EXPECT_NE(output.find("frame 8 of 8"), std::string::npos) << output;
    int count = 0;
    double first = litCentre(frame(dir + "/turn.gif", 0), &count);
    double behind = litCentre(frame(dir + "/turn.gif", 4), &count);
    EXPECT_LT(first, 320 - 50);
    EXPECT_NEAR(behind - 320, 320 - first, 15);  // from behind, the ball is mirrored
    EXPECT_EQ(frame(dir + "/turn.gif", 7).width, 640);
    EXPECT_EQ(frame(dir + "/turn.gif", 8).width, 0);  // there is no ninth

    ASSERT_EQ(picture(scan + " " + dir + "/turn.mp4 --frames 6"), 0) << output;
    std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=codec_name,pix_fmt,nb_read_frames -of csv=p=0 " + dir + "/turn.mp4 > " + dir + "/probe";
    ASSERT_EQ(std::system(probe.c_str()), 0);
    EXPECT_EQ(readFile(dir + "/probe"), "h264,yuv420p,6\n");
}

TEST_F(Picture, AStyleDrawsTheScanItsOwnWayAndAnUnknownOneIsRefused)
{
    // A maximum projection of the ball: grey, where it lies.
    int count = 0;
    ASSERT_EQ(picture(scan + " " + dir + "/mip.png --style mip"), 0) << output;
    Image mip = frame(dir + "/mip.png", 0);
    EXPECT_LT(litCentre(mip, &count), 320 - 50);
    EXPECT_GT(count, 500);
    int coloured = 0;
    for (int y = 0; y < mip.height; ++y)
        for (int x = 0; x < mip.width; ++x)
            coloured += mip.at(x, y)[0] != mip.at(x, y)[1] || mip.at(x, y)[1] != mip.at(x, y)[2];
    EXPECT_EQ(coloured, 0);

    EXPECT_EQ(picture(scan + " " + dir + "/glass.png --style glass"), 1);
    EXPECT_NE(output.find("style: no style glass; the styles are: tissue cut mip surface\n"), std::string::npos)
        << output;
}

TEST_F(Picture, FourPanesPutTheCrosshairOnTheVoxelAsked)
{
    ASSERT_EQ(picture(scan + " " + dir + "/panes.png --panes --at 60 200 90"), 0) << output;
    Image panes = frame(dir + "/panes.png", 0);
    ASSERT_EQ(panes.width, 640);
    auto yellow = [&](int x, int y) {
        const unsigned char* p = panes.at(x, y);
        return p[0] > 200 && p[1] > 150 && p[2] < 120;
    };
    // The first yellow pixel along a row (or a column) of a slice's square, where its lines cross it.
    auto along = [&](int x0, int y0, int dx, int dy) {
        for (int step = 0; step < 240; ++step)
            if (yellow(x0 + step * dx, y0 + step * dy))
                return step;
        return -1;
    };
    auto at = [](int voxel) { return (voxel + 0.5) * 240 / 256; };  // a voxel's centre across a square
    EXPECT_NEAR(along(40, 5, 1, 0), at(60), 1.0);           // coronal: x from the left
    EXPECT_NEAR(along(250, 0, 0, 1), 240 - at(200), 1.0);   // coronal: y from the bottom
    EXPECT_NEAR(along(360, 5, 1, 0), 240 - at(90), 1.0);    // sagittal: z from the right
    EXPECT_NEAR(along(250, 240, 0, 1), 240 - at(90), 1.0);  // axial: z from the bottom
}

TEST_F(Picture, BadInputIsRefusedInOneLineAndLeavesAnExistingPictureAsItWas)
{
    EXPECT_EQ(picture(scan + " " + dir + "/picture.jpg"), 1);
    EXPECT_NE(output.find("must end in .png"), std::string::npos) << output;
    EXPECT_EQ(picture(scan + " " + dir + "/missing/picture.png"), 1);
    EXPECT_NE(output.find("cannot write into"), std::string::npos) << output;

    writeFile(dir + "/kept.png", std::string("an earlier picture"));
    writeFile(dir + "/broken.mhd", std::string("ObjectType = Image\nNDims = 3\n"));
    EXPECT_EQ(picture(dir + "/broken.mhd " + dir + "/kept.png"), 1);
    EXPECT_NE(output.find("could not be imported"), std::string::npos) << output;
    EXPECT_EQ(readFile(dir + "/kept.png"), "an earlier picture");

    // An overlay that is not there is named as typed; one that cannot be read gets the importer's one line.
    EXPECT_EQ(picture(scan + " " + dir + "/kept.png --overlay nowhere/atlas.nii.gz"), 1);
    EXPECT_NE(output.find("\nvolume-viewer-picture: nowhere/atlas.nii.gz: no such file or directory\n"), std::string::npos)
        << output;
    writeFile(dir + "/atlas.nii", std::string("not an atlas\n"));
    EXPECT_EQ(picture(scan + " " + dir + "/kept.png --overlay " + dir + "/atlas.nii --style surface"), 1);
    size_t line = output.find("import_scan: " + dir + "/atlas.nii: ");
    ASSERT_NE(line, std::string::npos) << output;
    EXPECT_EQ(output.find("atlas.nii", output.find('\n', line)), std::string::npos) << "named once: " << output;
    EXPECT_EQ(readFile(dir + "/kept.png"), "an earlier picture");
    int partials = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        partials += entry.path().filename().string().find("partial") != std::string::npos;
    EXPECT_EQ(partials, 0);
}

}  // namespace
