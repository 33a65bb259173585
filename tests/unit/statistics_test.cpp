// Frame-rate statistics and the window title, without GL.
#include <gtest/gtest.h>

#include "viewer.h"

#include <cmath>
#include <string>

namespace {

FpsCalc freshStats()
{
    return FpsCalc{0.0f, 0.0f, 0.0f, 0.0f, 1e10f, 200};
}

std::string title(const FpsCalc& stats, float now)
{
    char buffer[400];
    formatTitle(buffer, sizeof buffer, &stats, now);
    return buffer;
}

TEST(Records, StatisticsStartAtTheirCreationValues)
{
    // main has not run here, so the interval is still the one from creation.
    EXPECT_EQ(fpscalc->previousFrameTime, 0.0f);
    EXPECT_EQ(fpscalc->lastUpdateTime, 0.0f);
    EXPECT_EQ(fpscalc->fps, 0.0f);
    EXPECT_EQ(fpscalc->maxFps, 0.0f);
    EXPECT_EQ(fpscalc->minFps, 10000000000.0f);
    EXPECT_EQ(fpscalc->updateInterval, 1000u);
    ASSERT_NE(t3DLoader, nullptr);
}

TEST(Title, AtCreationShowsZeroRatesAndTheHugeMinimumByteForByte)
{
    std::string expected = "D\xFCvozod  0.0 FPS   0.0 MAX  10000000000.0 MIN  RUNTIME: 1234.0";
    EXPECT_EQ(title(freshStats(), 1234.0f), expected);
    EXPECT_EQ(static_cast<unsigned char>(expected[1]), 0xFC);
}

TEST(Title, RatesTakeTheirBlankAndTheTimeNone)
{
    FpsCalc stats = freshStats();
    stats.fps = 31.25f;
    stats.maxFps = 250.0f;
    stats.minFps = 7.0f;
    EXPECT_EQ(title(stats, 500.0f).substr(2),
              "vozod  31.2 FPS   250.0 MAX  7.0 MIN  RUNTIME: 500.0");
}

TEST(Statistics, UpdateNeedsStrictlyMoreThanTheInterval)
{
    FpsCalc stats = freshStats();
    updateFrameStatistics(&stats, 150.0f);
    updateFrameStatistics(&stats, 200.0f);  // exactly the interval: no update
    EXPECT_EQ(stats.fps, 0.0f);
    EXPECT_EQ(stats.previousFrameTime, 200.0f);
    updateFrameStatistics(&stats, 201.0f);  // one millisecond more
    EXPECT_EQ(stats.fps, 1000.0f);
    EXPECT_EQ(stats.lastUpdateTime, 201.0f);
}

TEST(Statistics, RateComesFromTheLastFrameAloneAndTheFirstIsOnlyAMinimum)
{
    FpsCalc stats = freshStats();
    updateFrameStatistics(&stats, 100.0f);
    updateFrameStatistics(&stats, 250.0f);  // last frame lasted 150 ms
    EXPECT_FLOAT_EQ(stats.fps, 1000.0f / 150.0f);
    EXPECT_FLOAT_EQ(stats.minFps, 1000.0f / 150.0f);
    EXPECT_EQ(stats.maxFps, 0.0f);

    updateFrameStatistics(&stats, 400.0f);
    updateFrameStatistics(&stats, 460.0f);  // faster frame: 60 ms, more than 200 ms after 250
    EXPECT_FLOAT_EQ(stats.fps, 1000.0f / 60.0f);
    EXPECT_FLOAT_EQ(stats.maxFps, 1000.0f / 60.0f);
    EXPECT_FLOAT_EQ(stats.minFps, 1000.0f / 150.0f);

    updateFrameStatistics(&stats, 900.0f);  // slower than any before: a new minimum only
    EXPECT_FLOAT_EQ(stats.minFps, 1000.0f / 440.0f);
    EXPECT_FLOAT_EQ(stats.maxFps, 1000.0f / 60.0f);
}

TEST(Statistics, AFrameOfZeroMillisecondsAtAnUpdateIsSkippedAndTheNextUpdates)
{
    FpsCalc stats = freshStats();
    stats.previousFrameTime = 500.0f;  // the previous frame began in this same millisecond
    updateFrameStatistics(&stats, 500.0f);
    EXPECT_EQ(stats.fps, 0.0f);
    EXPECT_EQ(stats.maxFps, 0.0f);
    EXPECT_EQ(stats.lastUpdateTime, 0.0f);
    updateFrameStatistics(&stats, 504.0f);
    EXPECT_EQ(stats.fps, 250.0f);
    EXPECT_EQ(stats.minFps, 250.0f);
    EXPECT_EQ(stats.lastUpdateTime, 504.0f);
    EXPECT_EQ(title(stats, 504.0f).find("inf"), std::string::npos);
}

}  // namespace
