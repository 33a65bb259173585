// The images of a DICOM file as import_scan sorts them: a classic file is one
// image; each frame of an enhanced multi-frame file, and each tile of a
// mosaic, is an image of its own, placed by the file's functional groups or
// by the mosaic's private header.
#pragma once

#include "itkVector.h"

#include <gdcmFile.h>

#include <string>
#include <vector>

using Vector = itk::Vector<double, 3>;

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

// A tag's value without its padding; the numbers of a value with several parts ("1\0\0").
std::string trimmed(std::string text);
std::vector<double> numbers(const std::string& text);

// TAG's value in SET (the file's own tags or an item within them) as text; empty if it is not there.
std::string tagText(const gdcm::File& file, const gdcm::DataSet& set, const gdcm::Tag& tag);

// Sets where SLICE lies from the texts of its position, orientation and pixel spacing.
void placeImage(Slice* slice, const std::string& position, const std::string& orientation,
                const std::string& pixelSpacing);

// Where the frames of an enhanced file, or the tiles of a mosaic, come from
// among the file's tags: the tags to read before any pixel.
std::vector<gdcm::Tag> frameTags();

// The images FILE holds: its frames, its tiles, or FILE's own image WHOLE as it
// is. A mosaic whose private header cannot be read stays one image, with
// MOSAIC in its image type, and is refused if it is chosen.
std::vector<Slice> imagesOf(const gdcm::File& file, const Slice& whole);

// The values of a frame or a tile (rescaled as its file says), its rows one after another.
std::vector<float> readFramePixels(const Slice& slice);
