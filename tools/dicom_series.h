// Reading a DICOM directory as scanners and patient CDs deliver it, for
// import_scan: the series found in it to any depth, the chosen series split
// into stacks, and the volume built from each slice's own place.
#pragma once

#include "itkImage.h"

#include <stdexcept>
#include <string>

using ScanImage = itk::Image<float, 3>;

static const double mostVoxels = 1024.0 * 1024 * 1024;  // 4 GiB as floats: beyond that, refuse

// A failure to report: one line on standard error that names the input and the cause.
struct ImportError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The user's choice: a series by its number (or its UID) and a stack of it by
// its place in the listing; empty and 0 choose the largest.
struct DicomChoice {
    std::string series;
    int stack = 0;
};

// The chosen stack of the DICOM series under DIRECTORY as a volume in ITK's
// physical frame, its axes those of the slices and of their succession
// (sheared where the slices are tilted against it); the series' modality in *MODALITY.
ScanImage::Pointer readDicomDirectory(const std::string& directory, const DicomChoice& choice, std::string* modality);
