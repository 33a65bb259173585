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
