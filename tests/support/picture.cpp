#include "picture.h"

#include "scratch_dir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

std::string referenceFragmentShader(const std::string& viewerFragmentPath)
{
    std::string viewer = readFile(viewerFragmentPath);
    return viewer.substr(0, viewer.find("void main()")) + readFile(TEST_SHADER_DIR "/reference_main.frag");
}

PictureError pictureError(const Image& picture, const Image& reference)
{
    PictureError error;
    std::vector<int> differences[3];
    for (int y = 0; y < reference.height; ++y)
        for (int x = 0; x < reference.width; ++x) {
            const unsigned char* a = picture.at(x, y);
            const unsigned char* b = reference.at(x, y);
            if (a[0] + a[1] + a[2] + b[0] + b[1] + b[2] == 0)
                continue;
            for (int c = 0; c < 3; ++c)
                differences[c].push_back(std::abs(a[c] - b[c]));
        }
    for (int c = 0; c < 3; ++c) {
        std::vector<int>& d = differences[c];
        if (d.empty())
            continue;
        double sum = 0;
        for (int value : d)
            sum += value;
        error.mean[c] = sum / d.size();
        std::nth_element(d.begin(), d.begin() + d.size() * 99 / 100, d.end());
        error.p99[c] = d[d.size() * 99 / 100];
    }
    return error;
}

Image decodePicture(const std::string& file, int k, const std::string& scratch)
{
    std::string ppm = scratch + "/frame.ppm";
    std::string command = "convert '" + file + "[" + std::to_string(k) + "]' " + ppm + " 2>/dev/null";
    Image image;
    if (std::system(command.c_str()) != 0)
        return image;
    std::string bytes = readFile(ppm);
    int max = 0, offset = 0;
    if (sscanf(bytes.c_str(), "P6 %d %d %d%n", &image.width, &image.height, &max, &offset) != 3)
        return image;
    image.rgb.assign(bytes.begin() + offset + 1, bytes.end());
    image.rgb.resize(3 * static_cast<size_t>(image.width) * image.height);
    return image;
}

double litCentre(const Image& image, int* count)
{
    double sum = 0;
    *count = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* p = image.at(x, y);
            if (p[0] + p[1] + p[2] > 60) {
                sum += x;
                ++*count;
            }
        }
    return *count ? sum / *count : -1;
}
