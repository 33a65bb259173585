// Comparing the ray caster's pictures with its brute-force reference, for the
// picture tests and the benchmark.
#pragma once

#include "x_session.h"

#include <string>

// The reference fragment shader: the viewer's own fragment shader with its
// main() replaced by the brute-force one of tests/shaders/reference_main.frag,
// so that both classify and light alike.
std::string referenceFragmentShader(const std::string& viewerFragmentPath);

// How far a picture is from the reference, per colour channel in 0..255, over
// the pixels that either of them lights.
struct PictureError {
    double mean[3] = {0, 0, 0};
    double p99[3] = {0, 0, 0};  // the 99th percentile
};
PictureError pictureError(const Image& picture, const Image& reference);

// Frame k of a picture file (PNG, GIF, MP4), decoded by ImageMagick through a
// file in `scratch`; empty if there is no such frame.
Image decodePicture(const std::string& file, int k, const std::string& scratch);

// The horizontal centre of the lit pixels, and how many there are (in `count`).
double litCentre(const Image& image, int* count);
