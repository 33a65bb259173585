// The records that import_scan's stages hand to one another, and the entry
// of each stage. Each stage lives in a file named for it and needs only this
// header:
//
//   find_series.cpp  DICOM: the images under a folder, grouped into series and stacks
//   frames.cpp       DICOM: the images within one file (frames, mosaic tiles) and its tags
//   place.cpp        DICOM: where the slices of a stack lie, as an even grid of planes
//   read_dicom.cpp   DICOM: the pixels of each slice, decoded beside the resampling
//   read_file.cpp    NIfTI, NRRD, MetaImage: the header checked, the voxels read plane by plane
//   resample.cpp     the planes, anti-aliased on the way, resampled into the cube
//   map.cpp          the scan's values as bytes: percentiles, Hounsfield units or a window
//   overlay.cpp      a label or continuous map brought into the scan's cube, with its colours
//   main.cpp         the options, and the stages one after another in a child process
#pragma once

#include "itkImageIOBase.h"
#include "itkMatrix.h"
#include "itkVector.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gdcm {
class File;
class DataSet;
class Tag;
}  // namespace gdcm

using Vector = itk::Vector<double, 3>;
using Direction = itk::Matrix<double, 3, 3>;

static const int cubeSide = 256;                           // the viewer's fixed volume
static const double mostVoxels = 1024.0 * 1024 * 1024;     // a scan beyond this is refused

// A failure to report: one line on standard error that names the input and the cause.
struct ImportError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A scan's grid in the patient's space, in the toolkit's physical frame (x to
// the patient's left, y to the back, z to the top): voxel (i, j, k) lies at
// origin + axes * (spacing .* (i, j, k)). The planes of constant k arrive one
// after another.
struct Grid {
    size_t size[3] = {0, 0, 0};
    double spacing[3] = {1, 1, 1};
    Direction axes;
    Vector origin;
};

// Receives the scan plane by plane, k from 0: size[0] x size[1] values, x fastest.
using PlaneSink = std::function<void(const float* plane)>;

// ---- DICOM: the images and their tags (frames.cpp) ----

// What the header of one DICOM image tells about its place and its kind.
struct Slice {
    std::string path;
    std::string seriesUid, seriesNumber, description, modality, instanceUid, imageType;
    // What tells stacks of one series apart: the echo in words ("echo 2", "echo time 9.8 ms"),
    // and the acquisition, temporal position, diffusion and stack the image belongs to.
    std::string echo, acquisition, temporal, diffusion, stackId;
    double echoOrder = 0;  // the echo number or time, to put the first echo first
    int rows = 0, columns = 0, frames = 1, instance = 0;
    int frame = -1;          // the frame of an enhanced multi-frame file, from 0; -1 for a whole file
    int tile = -1;           // the tile of a mosaic, from 0; -1 if it is not one
    int tilesAcross = 0;     // the tiles in a row of the mosaic
    bool placed = false;     // it has a position and an orientation
    bool complete = true;    // its file holds all its pixels (as far as can be told before reading them)
    Vector position, row, column;  // row: the direction along a row (the x of its pixels)
    double spacing[2] = {0, 0};    // mm between columns (x) and between rows (y); 0 if not given
    double frameSpacing = 0;       // mm between the frames of a classic multi-frame file; 0 if not given
    double slope = 1, intercept = 0;  // how a frame's or tile's stored values become scan values
};
using Stack = std::vector<Slice>;

// A tag's value without its padding; the numbers of a value with several parts ("1\0\0").
std::string trimmed(std::string text);
std::vector<double> numbers(const std::string& text);
// TAG's value in SET (the file's own tags or an item within them) as text; empty if it is not there.
std::string tagText(const gdcm::File& file, const gdcm::DataSet& set, const gdcm::Tag& tag);
// Sets where SLICE lies from the texts of its position, orientation and pixel spacing.
void placeImage(Slice* slice, const std::string& position, const std::string& orientation,
                const std::string& pixelSpacing);
// The tags to read before any pixel for the frames of an enhanced file and the tiles of a mosaic.
std::vector<gdcm::Tag> frameTags();
// The images FILE holds: its frames, its tiles, or FILE's own image WHOLE as it
// is. A mosaic whose private header cannot be read stays one image, with
// MOSAIC in its image type, and is refused if it is chosen.
std::vector<Slice> imagesOf(const gdcm::File& file, const Slice& whole);

// ---- DICOM: series and stacks (find_series.cpp) ----

// The user's choice: a series by its number (or its UID) and a stack of it by
// its place in the listing; empty and 0 choose the largest.
struct DicomChoice {
    std::string series;
    int stack = 0;
};

// True for a file that begins as DICOM does.
bool looksLikeDicom(const std::string& path);

// The stack chosen under DIRECTORY (or within one DICOM file), searched to any depth, with what was
// found reported on standard output; the series' modality in *MODALITY.
Stack findStack(const std::string& directory, const DicomChoice& choice, std::string* modality);

// ---- DICOM: placing the slices (place.cpp) ----

// Plane k of the grid lies between slices below[k] and below[k] + 1 of the
// stack, at the share given from the first to the second (0 on the first).
struct Placement {
    Grid grid;
    Stack slices;  // in the order they follow each other
    std::vector<size_t> below;
    std::vector<double> share;
};
Placement placeSlices(Stack stack);

// ---- DICOM: reading the pixels (read_dicom.cpp) ----

// Reads every slice of PLACEMENT once, on a thread of its own, and hands each
// plane of its grid to SINK as it is made.
void readPlacedSlices(const Placement& placement, const PlaneSink& sink);

// ---- NIfTI, NRRD, MetaImage (read_file.cpp) ----

// A scan file opened: its grid, its modality where it gives one, and what reading needs.
struct ScanFile {
    std::string path;
    Grid grid;
    std::string modality;
    size_t volumes = 1, volume = 1;  // of a file of several volumes, the one read (from 1)
    itk::ImageIOBase::Pointer header;  // the toolkit's reader, its header read
};
// Reads and checks PATH's header; VOLUME (from 1, or 0 for the first) chooses within a file of several.
ScanFile openScanFile(const std::string& path, size_t volume);
// Hands the planes of the chosen volume to SINK, one after another.
void readScanFile(const ScanFile& file, const PlaneSink& sink);

// ---- Resampling into the cube (resample.cpp) ----

// The cube being filled: its voxels as scan values, those outside the scan
// marked as such until the scan's lowest value is known.
struct Cube {
    std::vector<float> values;
};
static const float outsideScan = -3.4028235e38f;  // the lowest float

// Where the cube lies in the patient's space: voxel (i, j, k) at
// viewerAxes * (firstCentre + voxel * (i, j, k)), the viewer's axes being +x
// toward the patient's left, +y superior, +z anterior.
struct CubeFrame {
    Vector firstCentre;
    double voxel = 1;
};
// The cube that holds GRID's whole extent, voxel edges included, with
// isotropic voxels (reported); GRID is refused if it has no volume.
CubeFrame fitCube(const Grid& grid);
// GRID's extent, voxel edges included, along the viewer's axes.
void gridBounds(const Grid& grid, Vector* lowest, Vector* highest);
// The affine map from a cube voxel's index (i, j, k, 1) to GRID's continuous
// index divided by STEP along each axis.
void cubeToScan(const Grid& grid, const CubeFrame& frame, const double step[3], double toScan[3][4]);
// Returns what resamples each plane of GRID into *CUBE, placed by FRAME, as
// it comes; the last plane completes it.
PlaneSink resampleInto(const Grid& grid, const CubeFrame& frame, Cube* cube);

// ---- The values as bytes (map.cpp) ----

// The scan's values as they arrive: their range, and a histogram of an even
// sample of them for the percentiles.
struct ValueCount {
    double lowest = HUGE_VAL, highest = -HUGE_VAL;  // of the finite values
    size_t stride = 1, next = 0, seen = 0;          // every stride-th value is counted; where the next lies
    std::vector<uint32_t> counts;                   // of the counted values, by their key
    std::vector<float> least;                       // the least value counted under each key
    size_t counted = 0;
};
void startCount(ValueCount* count, double voxels);
void countPlane(ValueCount* count, const float* values, size_t number);

// Chooses how the values become bytes: the window the user gave (null if
// none), the Hounsfield table for a CT, or the percentiles; reports it, and
// maps the cube.
std::vector<unsigned char> mapToBytes(const Cube& cube, const ValueCount& count, const std::string& modality,
                                      const double* window);

// ---- The overlay (overlay.cpp) ----

// What the user asked to lay over the scan: the map, its colour table if
// named, and the window of a continuous map if given (null if not).
struct OverlayRequest {
    std::string map, labels;
    const double* window = nullptr;
};
// The overlay in the cube: one byte a voxel (0 where there is nothing) and the
// colour of each byte, 256 reds, then 256 greens, then 256 blues.
struct Overlay {
    bool labels = false;  // labels, to be shown whole; else a continuous map's levels
    std::vector<unsigned char> levels;
    unsigned char colours[768];
};
// Reads the map, tells its kind, places it in the cube of FRAME, and reports it.
Overlay importOverlay(const OverlayRequest& request, const CubeFrame& frame);
// Where the colour table of the overlay written at OVERLAY_OUTPUT goes: beside
// it, its extension replaced by ".labels.lut" or ".map.lut" by its kind.
std::string colourTablePath(const std::string& overlayOutput, bool labels);
