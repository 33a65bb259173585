// The threshold keys: steps of 0.01 in double precision, stored as floats, and
// one redraw request for every character.
#include <gtest/gtest.h>

#include "gl_window.h"
#include "viewer.h"

#include <string>

namespace {

class Keys : public ::testing::Test {
protected:
    void SetUp() override
    {
        troskel = troskelr = troskelg = troskelb = 0.1f;
        pumpEvents();
        displayCalls = 0;
    }
    static void press(char character, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            key(static_cast<unsigned char>(character), 0, 0);
    }
};

TEST_F(Keys, PlusStepsUpInDoubleAndStoresAFloat)
{
    press('+');
    EXPECT_EQ(troskel, 0.11f);
    press('+', 9);
    EXPECT_EQ(troskel, 0.2000000328f);
    EXPECT_NE(troskel, 0.2f);
    press('-', 10);
    EXPECT_EQ(troskel, 0.1f);
}

TEST_F(Keys, MinusGoesBelowZeroWithoutLimit)
{
    press('-', 10);
    EXPECT_FLOAT_EQ(troskel, 3.5017729e-9f);
    press('-');
    EXPECT_EQ(troskel, -0.0099999961f);
}

TEST_F(Keys, EachPairTouchesOnlyItsOwnThreshold)
{
    const struct { char up, down; float* value; } pairs[] = {
        {'+', '-', &troskel}, {'7', '1', &troskelr}, {'8', '2', &troskelg}, {'9', '3', &troskelb}};
    for (const auto& pair : pairs) {
        troskel = troskelr = troskelg = troskelb = 0.1f;
        press(pair.up, 10);
        EXPECT_EQ(*pair.value, 0.2000000328f) << pair.up;
        float sum = troskel + troskelr + troskelg + troskelb;
        EXPECT_FLOAT_EQ(sum - *pair.value, 0.3f) << pair.up;
        press(pair.down, 10);
        EXPECT_EQ(*pair.value, 0.1f) << pair.down;
    }
}

TEST_F(Keys, EveryCharacterRequestsExactlyOneRedrawAndUnboundOnesChangeNothing)
{
    std::string every = "0456,./aZ\x1b\x7f\xff+-71829 3";
    for (char c : every) {
        troskel = troskelr = troskelg = troskelb = 0.1f;
        redisplayRequests = 0;
        press(c);
        EXPECT_EQ(redisplayRequests, 1) << static_cast<int>(static_cast<unsigned char>(c));
    }
    troskel = troskelr = troskelg = troskelb = 0.1f;
    for (char c : std::string("0456,./aZ\x1b\x7f\xff "))
        press(c);
    EXPECT_EQ(troskel, 0.1f);
    EXPECT_EQ(troskelr, 0.1f);
    EXPECT_EQ(troskelg, 0.1f);
    EXPECT_EQ(troskelb, 0.1f);

    // The request reaches the toolkit: one frame follows, and nothing more without another.
    pumpEvents();
    displayCalls = 0;
    press('+');
    pumpEvents();
    EXPECT_EQ(displayCalls, 1);
    pumpEvents();
    EXPECT_EQ(displayCalls, 1);
}

}  // namespace
