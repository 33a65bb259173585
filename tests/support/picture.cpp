#include "picture.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

static std::string readText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string referenceFragmentShader(const std::string& viewerFragmentPath)
{
    std::string viewer = readText(viewerFragmentPath);
    return viewer.substr(0, viewer.find("void main()")) + readText(TEST_SHADER_DIR "/reference_main.frag");
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
