// Bad files and a driver without OpenGL 2.0: for each case the built viewer is
// started in a scratch directory, every box is dismissed with the keyboard, and
// the boxes, the output lines and the survival of the program are checked.
#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "x_session.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace {

const std::string shadersLine = "Shaders supported!\n";
const std::string volumeLines = "3D texture file read\nTexture loaded!\n";
const std::string normalOutput = shadersLine + volumeLines;

struct ExpectedBox {
    std::string caption;
    std::string textHas;  // a part of the text that must be there
};

struct FaultCase {
    std::string name;
    std::function<void(const std::string& dir)> spoil;  // makes the scratch directory bad
    std::vector<ExpectedBox> boxes;
    std::string output = normalOutput;
    std::vector<std::string> environment = {};
};

const std::string vertexPath = "/shaders/minimal.vert";
const std::string fragmentPath = "/shaders/minimal.frag";
const std::string volumePath = "/data/skull_256x256x256_8.raw";

std::function<void(const std::string&)> replace(const std::string& file, const std::string& bytes)
{
    return [=](const std::string& dir) { writeFile(dir + file, bytes); };
}

std::function<void(const std::string&)> remove(const std::string& file)
{
    return [=](const std::string& dir) { removeTree(dir + file); };
}

std::function<void(const std::string&)> directoryInstead(const std::string& file)
{
    return [=](const std::string& dir) {
        removeTree(dir + file);
        makeDir(dir + file);
    };
}

// A named pipe with no writer: opening it for reading would wait for ever.
std::function<void(const std::string&)> pipesInstead(std::vector<std::string> files)
{
    return [=](const std::string& dir) {
        for (const std::string& file : files) {
            removeTree(dir + file);
            ASSERT_EQ(mkfifo((dir + file).c_str(), 0600), 0) << file;
        }
    };
}

std::function<void(const std::string&)> volumeOf(size_t size)
{
    return [=](const std::string& dir) { writeFile(dir + volumePath, patternVolume(size)); };
}

std::string garbage()
{
    std::string bytes;
    unsigned int state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>(i == 0 ? 'G' : (state >> 16) & 0xFF);
    }
    return bytes;
}

// The viewer's own shader with ten mebibytes of comments after its version
// line: it compiles and links only if all of it was read.
std::string tenMebibyteShader(std::string shader)
{
    std::string padding;
    const std::string line = "// padding padding padding padding padding padding padding padding\n";
    while (padding.size() < 10u * 1024 * 1024)
        padding += line;
    size_t afterVersion = shader.find('\n', shader.find("#version")) + 1;
    return shader.insert(afterVersion, padding);
}

std::string readTestShader(const std::string& name)
{
    return readFile(std::string(TEST_SHADER_DIR) + "/" + name);
}

const char* unreadable = "Could not read the shader source";

void PrintTo(const FaultCase& fault, std::ostream* out)
{
    *out << fault.name;
}

std::vector<FaultCase> faultCases()
{
    std::string vertex = readFile(VIEWER_SHADER_DIR "/minimal.vert");
    return {
        {"ShadersDirectoryMissing", remove("/shaders"),
         {{"Vertex shader error", "shaders/minimal.vert"}, {"Fragment shader error", "shaders/minimal.frag"}}},
        {"VertexMissing", remove(vertexPath), {{"Vertex shader error", unreadable}}},
        {"FragmentMissing", remove(fragmentPath), {{"Fragment shader error", unreadable}}},
        {"VertexEmpty", replace(vertexPath, ""), {{"Vertex shader error", "shaders/minimal.vert"}}},
        {"FragmentEmpty", replace(fragmentPath, ""), {{"Fragment shader error", "shaders/minimal.frag"}}},
        {"VertexGarbage", replace(vertexPath, garbage()), {{"Vertex shader error", "error"}}},
        {"FragmentGarbage", replace(fragmentPath, garbage()), {{"Fragment shader error", "error"}}},
        {"VertexTenMebibytes", replace(vertexPath, tenMebibyteShader(vertex)), {}},
        {"VertexDirectory", directoryInstead(vertexPath), {{"Vertex shader error", unreadable}}},
        {"FragmentDirectory", directoryInstead(fragmentPath), {{"Fragment shader error", unreadable}}},
        {"VertexSyntaxError", replace(vertexPath, readTestShader("syntax_error.vert")),
         {{"Vertex shader error", "error"}}},
        {"FragmentSyntaxError", replace(fragmentPath, readTestShader("syntax_error.frag")),
         {{"Fragment shader error", "error"}}},
        {"BothSyntaxErrors",
         [](const std::string& dir) {
             writeFile(dir + vertexPath, readTestShader("syntax_error.vert"));
             writeFile(dir + fragmentPath, readTestShader("syntax_error.frag"));
         },
         {{"Vertex shader error", "error"}, {"Fragment shader error", "error"}}},
        {"CompileButDoNotLink",
         [](const std::string& dir) {
             writeFile(dir + vertexPath, readTestShader("link_mismatch.vert"));
             writeFile(dir + fragmentPath, readTestShader("link_mismatch.frag"));
         },
         {{"Shader link error", "shade"}}},
        {"VolumeMissing", remove(volumePath), {{"Error", "Failed to load data"}}},
        {"VolumeEmpty", volumeOf(0), {}},
        {"VolumeOneByte", volumeOf(1), {}},
        {"VolumeOneByteShort", volumeOf(volumeBytes - 1), {}},
        {"VolumeOneMebibyteLong", volumeOf(volumeBytes + 1024 * 1024), {}},
        {"VolumeDirectory", directoryInstead(volumePath), {{"Error", "Failed to load data"}}},
        {"NamedPipesForAllThreeFiles", pipesInstead({vertexPath, fragmentPath, volumePath}),
         {{"Vertex shader error", "shaders/minimal.vert"},
          {"Fragment shader error", "shaders/minimal.frag"},
          {"Error", "Failed to load data"}}},
        {"NoOpenGl2", [](const std::string&) {},
         {{"Error", "No Opengl 2.0 support, shaders can not be used"}}, volumeLines,
         {"MESA_GL_VERSION_OVERRIDE=1.5"}},
        {"NoOpenGl2AndNoVolume", remove(volumePath),
         {{"Error", "No Opengl 2.0 support, shaders can not be used"}, {"Error", "Failed to load data"}},
         volumeLines, {"MESA_GL_VERSION_OVERRIDE=1.5"}},
    };
}

struct ShownBox {
    std::string caption;
    std::string text;
};

std::vector<ShownBox> readBoxLog(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<ShownBox> boxes;
    size_t start = 0, end;
    while ((end = log.find('\x1e', start)) != std::string::npos) {
        std::string record = log.substr(start, end - start);
        size_t split = record.find('\x1f');
        boxes.push_back({record.substr(0, split), record.substr(split + 1)});
        start = end + 1;
    }
    return boxes;
}

class Faults : public ::testing::TestWithParam<FaultCase> {
protected:
    XServer server;
    ViewerProcess viewer;
    std::string dir;
    void TearDown() override
    {
        viewer.stop();
        removeTree(dir);
    }
};

TEST_P(Faults, ReportsEachProblemOnceAndCarriesOn)
{
    const FaultCase& fault = GetParam();
    ASSERT_TRUE(server.start());
    dir = viewerDirectory(patternVolume(volumeBytes));
    fault.spoil(dir);
    std::string boxLog = dir + "/boxes.log";
    std::vector<std::string> environment = fault.environment;
    environment.push_back("LD_PRELOAD=" BOX_LOG_PATH);
    environment.push_back("VIEWER_BOX_LOG=" + boxLog);
    // In the sanitizer build the preloaded logger comes before the sanitizer's runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
    ASSERT_TRUE(viewer.start(dir, server.display, environment));

    std::vector<std::string> titles;
    ASSERT_TRUE(startUpDismissingBoxes(server, viewer, 60, &titles)) << viewer.standardError();
    EXPECT_EQ(viewer.output(), fault.output);

    std::vector<ShownBox> shown = readBoxLog(boxLog);
    std::string shownText;
    for (const ShownBox& box : shown)
        shownText += "[" + box.caption + ": " + box.text.substr(0, 300) + "] ";
    ASSERT_EQ(shown.size(), fault.boxes.size()) << shownText;
    ASSERT_EQ(titles.size(), fault.boxes.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].caption, fault.boxes[i].caption);
        EXPECT_EQ(titles[i], fault.boxes[i].caption);  // what the user saw on screen
        EXPECT_NE(shown[i].text.find(fault.boxes[i].textHas), std::string::npos) << shown[i].text;
    }

    sleepSeconds(3);
    EXPECT_TRUE(stillDrawing(server, viewer)) << viewer.standardError();
    int signal = 0;
    EXPECT_FALSE(viewer.diedOfSignal(&signal)) << "signal " << signal;
    EXPECT_EQ(viewer.output(), fault.output);
}

INSTANTIATE_TEST_SUITE_P(BadInput, Faults, ::testing::ValuesIn(faultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
