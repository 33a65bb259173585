// Shared records, globals and functions of the volume viewer, grouped by the
// subsystem that owns them. Everything runs on the toolkit's one thread.
#pragma once

#include <GL/glew.h>
#include <cstddef>
#include <cstdint>

// Frame-rate statistics shown in the window title.
struct FpsCalc {
    float previousFrameTime;  // TIME of the previous frame, ms
    float lastUpdateTime;     // TIME of the frame that last updated the statistics, ms
    float fps;                // rate at the last update, frames per second
    float maxFps;             // highest rate kept so far
    float minFps;             // lowest rate kept so far
    uint32_t updateInterval;  // ms that must pass before the next update
};

// The volume: 256^3 unsigned bytes, x fastest, then y, then z.
struct Loader3D {
    int32_t dimX;
    int32_t dimY;
    int32_t dimZ;
    unsigned char* voxels;  // dimX * dimY * dimZ bytes, never freed
};

// records.cpp: the two records, created before main runs.
extern FpsCalc* fpscalc;
extern Loader3D* t3DLoader;

// view.cpp: camera, projection and continuous redraw.
extern float cameraPos[3];  // eye position, (0, 0, 5) for the whole run
void setRenderState();
void setPerspective(int width, int height);  // the projection of a view WIDTH x HEIGHT pixels
void resize(int width, int height);
void idle();

// shader_program.cpp: the GLSL program built from shaders/<name>.
extern const char* vertexName;    // "minimal.vert"
extern const char* fragmentName;  // "minimal.frag"
extern GLuint shader_program;     // the program made current at start-up
bool isRegularFile(const char* path);  // false for pipes, devices, directories, missing paths
char* textFileRead(const char* fileName);
void setShaderProgram(GLuint* program, const char* vertexFile, const char* fragmentFile);
bool shaderEntryPointsLoaded();

// volume.cpp: the volume file and its 3D texture.
extern const char* volumePath;  // "data/skull_256x256x256_8.raw"
extern GLuint vtexture;         // the volume texture, bound on unit 0
extern GLuint blockTexture;     // the block summary (per-4^3-block density range, group highs), on unit 1
extern GLuint gradientTexture;  // the gradient volume (central differences and density per voxel), on unit 2
extern GLuint overlayBlockTexture;  // with an overlay, the block summary whose blocks that hold any of it
                                    // count as holding everything, on unit 5; else 0
void loadVolume();

// overlay.cpp: the optional overlay beside the volume and its colours.
extern const char* overlayPath;       // "data/overlay_256x256x256_8.raw"
extern const char* labelColoursPath;  // beside it for labels: "data/overlay_256x256x256_8.labels.lut"
extern const char* mapColoursPath;    // beside it for a continuous map: "...map.lut"
extern GLuint overlayTexture;         // the overlay, bound on unit 3; 0 if there is none
extern GLuint overlayColourTexture;   // its 256 colours, a 1D texture bound on unit 4
extern int overlayKind;               // 0 none, 1 labels, 2 a continuous map
// Uploads the overlay and its colours if its file is there and sets the
// program's samplers and its "overlayKind" (1 labels, 2 a continuous map);
// a damaged one is named in a message box and left out. Returns its bytes
// (malloc'd, for the block summary) or null.
unsigned char* loadOverlay();
// True where an overlay's file lies beside the volume (whether or not it can be read).
bool overlayBeside();

// frame.cpp: one frame, its statistics and the window title.
extern float TIME;             // whole ms since the toolkit started, sampled per frame
extern char titlestring[400];  // the formatted window title
extern float lightPos[4];      // light 0, a direction in view coordinates
void display();
void updateFrameStatistics(FpsCalc* stats, float now);
void formatTitle(char* out, size_t size, const FpsCalc* stats, float now);

// bounding_box.cpp: the proxy cube that carries the volume's texture coordinates.
void drawBoundingBox(float size);

// input.cpp: mouse drags and threshold keys.
extern float troskel;   // density threshold
extern float troskelr;  // red channel threshold
extern float troskelg;  // green channel threshold
extern float troskelb;  // blue channel threshold
extern bool left;       // left button held
extern bool right;      // right button held
extern int origoX;      // pointer x at the last left or right press
extern int origoY;      // pointer y at the last left or right press
extern float rotateX;   // horizontal offset of the left drag under way (degrees about Y)
extern float rotateY;   // vertical offset of the left drag under way (degrees about X)
extern float rX;        // sum of finished horizontal left drags
extern float rY;        // sum of finished vertical left drags
extern float translateZ;  // Z offset of the right drag under way
extern float tZ;          // sum of finished right drags
void mouse(int button, int state, int x, int y);
void motionFunc(int x, int y);
void key(unsigned char character, int x, int y);

// slice_panes.cpp: the four-pane layout (coronal, sagittal, axial slices and the 3D view).
extern bool panesShown;       // the four panes are shown (Tab switches)
extern int crosshair[3];      // the voxel the slices run through, x y z (0..255), the centre at start
extern float sliceWindow[2];  // the slices' grey window: its width and centre, in densities 0..1
void toggleLayout();
void drawPanes();                                   // the frame's picture in the four-pane layout
bool paneMouse(int button, int state, int x, int y);  // true if a slice pane took the event
bool paneMotion(int x, int y);                        // true if a drag in a slice pane took it

// message_box.cpp: the platform's modal box with one OK button; blocks until dismissed.
void showMessageBox(const char* caption, const char* text);
