// Reading shader sources into NUL-terminated buffers.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "viewer.h"

#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

class TextFile : public ::testing::Test {
protected:
    std::string dir = makeScratchDir();
    void TearDown() override { removeTree(dir); }
};

int openDescriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

TEST_F(TextFile, ReturnsTheWholeTextFollowedByANul)
{
    std::string text = "void main()\n{\n}\n";
    writeFile(dir + "/a.vert", text);
    char* read = textFileRead((dir + "/a.vert").c_str());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::string(read), text);
    EXPECT_EQ(read[text.size()], '\0');
    free(read);
}

TEST_F(TextFile, StopsAtAnEmbeddedNulLikeTheGlWould)
{
    writeFile(dir + "/b", std::string("ab\0cd", 5));
    char* read = textFileRead((dir + "/b").c_str());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::string(read, 5), std::string("ab\0cd", 5));
    EXPECT_EQ(read[5], '\0');
    free(read);
}

TEST_F(TextFile, NullNameMissingEmptyAndDirectoryGiveNullAndCloseTheFile)
{
    writeFile(dir + "/empty", "");
    makeDir(dir + "/folder");
    int before = openDescriptors();
    EXPECT_EQ(textFileRead(nullptr), nullptr);
    EXPECT_EQ(textFileRead((dir + "/missing").c_str()), nullptr);
    EXPECT_EQ(textFileRead((dir + "/empty").c_str()), nullptr);
    EXPECT_EQ(textFileRead((dir + "/folder").c_str()), nullptr);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(TextFile, ClosesTheFileAfterAGoodRead)
{
    writeFile(dir + "/c", "x");
    int before = openDescriptors();
    for (int i = 0; i < 50; ++i)
        free(textFileRead((dir + "/c").c_str()));
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
