#include "scratch_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

std::string makeScratchDir()
{
    std::string pattern = (fs::temp_directory_path() / "viewer-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch directory");
    return pattern;
}

void removeTree(const std::string& path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

void copyFile(const std::string& from, const std::string& to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void makeDir(const std::string& path)
{
    fs::create_directories(path);
}

// Byte k = (x + 3y + 7z) mod 256 with x, y, z taken from k: a texel in the wrong place,
// or the axes swapped, gives another byte. Neighbouring texels always differ.
std::vector<unsigned char> patternVolume(size_t size)
{
    std::vector<unsigned char> bytes(size);
    for (size_t k = 0; k < size; ++k) {
        size_t x = k % 256, y = (k / 256) % 256, z = k / 65536;
        bytes[k] = static_cast<unsigned char>((x + 3 * y + 7 * z) % 256);
    }
    return bytes;
}

void writeBallScan(const std::string& mhdPath, int centreX)
{
    const int n = 64;
    std::vector<unsigned char> voxels(n * n * n, 0);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int dx = x - centreX, dy = y - 32, dz = z - 32;
                if (dx * dx + dy * dy + dz * dz <= 12 * 12)
                    voxels[x + n * (y + n * z)] = 200;
            }
    std::string raw = mhdPath.substr(0, mhdPath.size() - 4) + ".raw";
    writeFile(raw, voxels);
    writeFile(mhdPath, "ObjectType = Image\nNDims = 3\nDimSize = 64 64 64\nElementSpacing = 1 1 1\n"
                       "ElementType = MET_UCHAR\nElementDataFile = " + fs::path(raw).filename().string() + "\n");
}
