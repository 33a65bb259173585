// Building the shader program from shaders/<name> with a real GL.
#include <gtest/gtest.h>

#include "gl_window.h"
#include "recording_box.h"
#include "scratch_dir.h"
#include "viewer.h"

#include <string>
#include <vector>

namespace {

class ShaderProgram : public ::testing::Test {
protected:
    ScratchWorkDir dir;
    GLuint program = 0;
    void SetUp() override { recordedBoxes.clear(); }
    void TearDown() override
    {
        onRecordedBox = nullptr;
        glUseProgram(0);
    }

    GLint programValue(GLenum name)
    {
        GLint value = -1;
        glGetProgramiv(program, name, &value);
        return value;
    }
    GLint currentProgram()
    {
        GLint current = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &current);
        return current;
    }
};

TEST_F(ShaderProgram, TwoGoodSourcesGiveALinkedCurrentProgramAndNoBox)
{
    dir.addShader("good.vert", "a.vert");
    dir.addShader("good.frag", "a.frag");
    setShaderProgram(&program, "a.vert", "a.frag");
    ASSERT_TRUE(glIsProgram(program));
    EXPECT_EQ(programValue(GL_LINK_STATUS), GL_TRUE);
    EXPECT_EQ(programValue(GL_ATTACHED_SHADERS), 2);
    EXPECT_EQ(currentProgram(), static_cast<GLint>(program));
    EXPECT_TRUE(recordedBoxes.empty());
}

TEST_F(ShaderProgram, VertexSyntaxErrorGivesOneBoxWithTheLogAndTheFragmentIsStillBuilt)
{
    dir.addShader("syntax_error.vert", "a.vert");
    dir.addShader("good.frag", "a.frag");
    setShaderProgram(&program, "a.vert", "a.frag");
    ASSERT_EQ(recordedBoxes.size(), 1u);
    EXPECT_EQ(recordedBoxes[0].caption, "Vertex shader error");
    EXPECT_NE(recordedBoxes[0].text.find("error"), std::string::npos) << recordedBoxes[0].text;
    EXPECT_EQ(programValue(GL_ATTACHED_SHADERS), 2);  // the failed one stays attached
    EXPECT_EQ(programValue(GL_LINK_STATUS), GL_FALSE);
}

TEST_F(ShaderProgram, BothFailingGiveTwoBoxesVertexFirst)
{
    dir.addShader("syntax_error.vert", "a.vert");
    dir.addShader("syntax_error.frag", "a.frag");
    setShaderProgram(&program, "a.vert", "a.frag");
    ASSERT_EQ(recordedBoxes.size(), 2u);
    EXPECT_EQ(recordedBoxes[0].caption, "Vertex shader error");
    EXPECT_EQ(recordedBoxes[1].caption, "Fragment shader error");
}

TEST_F(ShaderProgram, HandleIsStoredBeforeAnySourceIsRead)
{
    // The missing vertex source is the first thing reported; the caller's
    // variable must already hold the program when that box is shown.
    shader_program = 0;
    std::vector<GLuint> handleAtBox;
    onRecordedBox = [&](const RecordedBox&) { handleAtBox.push_back(shader_program); };
    setShaderProgram(&shader_program, "missing.vert", "missing.frag");
    ASSERT_EQ(handleAtBox.size(), 2u);
    EXPECT_NE(handleAtBox[0], 0u);
    EXPECT_TRUE(glIsProgram(handleAtBox[0]));
    EXPECT_EQ(handleAtBox[0], shader_program);
}

TEST_F(ShaderProgram, UnreadableSourcesAreReportedByNameAndTheOtherShaderStillWorks)
{
    dir.addShader("good.vert", "a.vert");
    writeFile(dir.path + "/shaders/empty.frag", "");
    setShaderProgram(&program, "a.vert", "empty.frag");
    ASSERT_EQ(recordedBoxes.size(), 1u);
    EXPECT_EQ(recordedBoxes[0].caption, "Fragment shader error");
    EXPECT_NE(recordedBoxes[0].text.find("shaders/empty.frag"), std::string::npos);
    EXPECT_EQ(programValue(GL_LINK_STATUS), GL_TRUE);  // the vertex shader alone links
    EXPECT_EQ(currentProgram(), static_cast<GLint>(program));

    recordedBoxes.clear();
    std::string longName(200, 'x');  // longer than any path the builder holds
    setShaderProgram(&program, longName.c_str(), nullptr);
    ASSERT_EQ(recordedBoxes.size(), 2u);
    EXPECT_EQ(recordedBoxes[0].caption, "Vertex shader error");
    EXPECT_NE(recordedBoxes[0].text.find(longName), std::string::npos);
    EXPECT_EQ(recordedBoxes[1].caption, "Fragment shader error");
}

TEST_F(ShaderProgram, ALinkFailureIsShownWithTheProgramLog)
{
    dir.addShader("link_mismatch.vert", "a.vert");
    dir.addShader("link_mismatch.frag", "a.frag");
    setShaderProgram(&program, "a.vert", "a.frag");
    ASSERT_EQ(recordedBoxes.size(), 1u);
    EXPECT_EQ(recordedBoxes[0].caption, "Shader link error");
    EXPECT_FALSE(recordedBoxes[0].text.empty());
    EXPECT_EQ(programValue(GL_LINK_STATUS), GL_FALSE);
}

}  // namespace
