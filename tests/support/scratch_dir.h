// Scratch directories and files for tests that need the viewer's relative paths.
#pragma once

#include <string>
#include <vector>

// A new empty directory under the system's temporary directory.
std::string makeScratchDir();
void removeTree(const std::string& path);
std::string readFile(const std::string& path);  // all its bytes; empty if it cannot be read
void writeFile(const std::string& path, const std::string& bytes);
void writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
void copyFile(const std::string& from, const std::string& to);
void makeDir(const std::string& path);

// A volume whose voxel at offset k is a function of k that tells x, y and z apart.
std::vector<unsigned char> patternVolume(size_t size);
const size_t volumeBytes = 256u * 256u * 256u;

// A MetaImage scan (SCAN.mhd and its SCAN.raw) of 64^3 voxels with identity
// axes (x toward the patient's left), holding one bright ball centred at x =
// `centreX`: near 0 it lies on the patient's right.
void writeBallScan(const std::string& mhdPath, int centreX);
