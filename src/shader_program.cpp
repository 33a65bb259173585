// The shader program: reads shaders/<vertexName> and shaders/<fragmentName>,
// compiles, attaches, links and makes the program current, reporting every
// failure in a message box and carrying on.
#include "viewer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

const char* vertexName = "minimal.vert";
const char* fragmentName = "minimal.frag";
GLuint shader_program = 0;

static const char shaderDirectory[] = "shaders/";
static const int infoLogSize = 1000;

// Opening a named pipe or a device would block for ever or read without end, so
// only regular files are read at all.
bool isRegularFile(const char* path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

char* textFileRead(const char* fileName)
{
    if (fileName == nullptr || !isRegularFile(fileName))
        return nullptr;
    FILE* file = fopen(fileName, "rt");
    if (file == nullptr)
        return nullptr;

    char* text = nullptr;
    long length = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    rewind(file);
    // Refuse lengths that cannot be allocated.
    if (length > 0 && length < LONG_MAX) {
        text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (text != nullptr) {
            size_t count = fread(text, 1, static_cast<size_t>(length), file);
            text[count] = '\0';
            if (count == 0 && ferror(file)) {  // a read error
                free(text);
                text = nullptr;
            }
        }
    }
    fclose(file);
    return text;
}

// The GL 2.0 entry points the program builder and the frame need. Without them
// (a driver below OpenGL 2.0) the loader leaves them null and nothing may call them.
bool shaderEntryPointsLoaded()
{
    return glCreateProgram && glCreateShader && glShaderSource && glCompileShader &&
           glAttachShader && glGetShaderiv && glGetShaderInfoLog && glLinkProgram &&
           glGetProgramiv && glGetProgramInfoLog && glUseProgram && glGetUniformLocation &&
           glUniform1f && glUniform1i;
}

// The ray caster carries its overlay code switched off, so that without an
// overlay it costs nothing; with an overlay beside the volume the switch is
// turned on in the source before it is compiled (in place: the line keeps
// its length).
static void switchOverlayOn(char* source)
{
    static const char off[] = "const bool overlaid = false;";
    static const char on[] = "const bool overlaid = true; ";
    char* line = strstr(source, off);
    if (line != nullptr && overlayBeside())
        memcpy(line, on, sizeof on - 1);
}

// Compiles shaders/<name> and attaches it to the program. Returns false after
// reporting, under the shader's caption, a source that could not be read or
// did not compile. An unreadable source is never handed to the GL.
static bool addShader(GLuint program, GLenum type, const char* name, const char* caption)
{
    char path[64];
    int pathLength = snprintf(path, sizeof path, "%s%s", shaderDirectory, name ? name : "");
    GLuint shader = glCreateShader(type);
    char* source = nullptr;
    if (name != nullptr && pathLength > 0 && pathLength < static_cast<int>(sizeof path))
        source = textFileRead(path);
    if (source == nullptr) {
        char message[400];
        snprintf(message, sizeof message, "Could not read the shader source %s%s", shaderDirectory,
                 name ? name : "(no name)");
        showMessageBox(caption, message);
        return false;
    }

    if (type == GL_FRAGMENT_SHADER)
        switchOverlayOn(source);
    const GLchar* sources[1] = {source};
    glShaderSource(shader, 1, sources, nullptr);
    free(source);
    glCompileShader(shader);
    glAttachShader(program, shader);

    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (compiled != GL_TRUE) {
        char log[infoLogSize] = "";
        glGetShaderInfoLog(shader, infoLogSize, nullptr, log);
        showMessageBox(caption, log);
        return false;
    }
    return true;
}

void setShaderProgram(GLuint* program, const char* vertexFile, const char* fragmentFile)
{
    if (!shaderEntryPointsLoaded())
        return;
    *program = glCreateProgram();
    bool vertexOk = addShader(*program, GL_VERTEX_SHADER, vertexFile, "Vertex shader error");
    bool fragmentOk = addShader(*program, GL_FRAGMENT_SHADER, fragmentFile, "Fragment shader error");
    glLinkProgram(*program);

    // A link failure is only news when both shaders built; otherwise it was already reported.
    GLint linked = GL_FALSE;
    glGetProgramiv(*program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE && vertexOk && fragmentOk) {
        char log[infoLogSize] = "";
        glGetProgramInfoLog(*program, infoLogSize, nullptr, log);
        showMessageBox("Shader link error", log);
    }
    glUseProgram(*program);
}
