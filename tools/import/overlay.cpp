// overlay: a second volume shown over the scan (an atlas, a segmentation, a
// statistical map), brought into exactly the scan's cube by its own geometry
// in the patient's space, as one byte a voxel and a table of 256 colours.
//
// A label map (a colour table beside it or named, or whole numbers in integer
// storage) keeps its labels whole: each cube voxel takes the label of the map
// voxel nearest its centre, as an index 1..255 in the order of the labels'
// values. Anything else is a continuous map: resampled as the scan is, and
// LOW..HIGH mapped to the levels 1..255 of a warm ramp, nothing below LOW.
#include "import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unordered_map>

static const size_t tableBytes = 768;  // 256 reds, then 256 greens, then 256 blues

// The colour table beside MAP, as tables ship beside their maps: NAME.nii.lut
// for NAME.nii.gz, or NAME.lut; empty if there is none.
static std::string tableBeside(const std::string& map)
{
    std::filesystem::path path = map;
    std::vector<std::filesystem::path> candidates;
    if (path.extension() == ".gz")
        path.replace_extension();
    candidates.push_back(path.string() + ".lut");
    while (path.has_extension())
        path.replace_extension();
    candidates.push_back(path.string() + ".lut");
    for (const auto& candidate : candidates)
        if (std::filesystem::is_regular_file(candidate))
            return candidate.string();
    return "";
}

static std::vector<unsigned char> readTable(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || std::filesystem::is_directory(path))
        throw ImportError("cannot read its colour table " + path);
    std::vector<unsigned char> table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (table.size() != tableBytes)
        throw ImportError("its colour table " + path + " holds " + std::to_string(table.size()) +
                          " bytes; a table is 768 (256 reds, then 256 greens, then 256 blues)");
    return table;
}

static void setColour(unsigned char* colours, int index, double red, double green, double blue)
{
    colours[index] = static_cast<unsigned char>(std::lround(255 * red));
    colours[256 + index] = static_cast<unsigned char>(std::lround(255 * green));
    colours[512 + index] = static_cast<unsigned char>(std::lround(255 * blue));
}

// Distinct colours for labels without a table: hues a golden angle apart, in
// three steps of brightness, so that neighbouring indices never look alike.
static void paletteColour(unsigned char* colours, int index)
{
    const double hue = std::fmod(index * 0.618033988749895, 1.0) * 6;
    const double value = 1.0 - 0.18 * (index % 3), saturation = 0.75;
    const double f = hue - std::floor(hue);
    const double p = value * (1 - saturation), q = value * (1 - saturation * f), t = value * (1 - saturation * (1 - f));
    const double rgb[6][3] = {{value, t, p}, {q, value, p}, {p, value, t}, {p, q, value}, {t, p, value}, {value, p, q}};
    const double* c = rgb[static_cast<int>(hue) % 6];
    setColour(colours, index, c[0], c[1], c[2]);
}

// The warm ramp of a continuous map: level 1 dark red, through red and orange, to 255 yellow.
static void rampColour(unsigned char* colours, int level)
{
    const double t = (level - 1) / 254.0;
    const double red = std::min(1.0, 0.4 + 0.6 * t / 0.35);
    const double green = std::clamp((t - 0.35) / 0.65, 0.0, 1.0);
    const double blue = std::clamp((t - 0.85) / 0.15, 0.0, 1.0) * 0.3;
    setColour(colours, level, red, green, blue);
}

// True where the map's extent and the cube's share some space.
static bool overlapsCube(const Grid& grid, const CubeFrame& frame)
{
    Vector lowest, highest;
    gridBounds(grid, &lowest, &highest);
    for (int axis = 0; axis < 3; ++axis) {
        const double cubeLow = frame.firstCentre[axis] - 0.5 * frame.voxel;
        const double cubeHigh = cubeLow + cubeSide * frame.voxel;
        if (highest[axis] <= cubeLow || lowest[axis] >= cubeHigh)
            return false;
    }
    return true;
}

static std::string range(double low, double high)
{
    char text[80];
    snprintf(text, sizeof text, "%g to %g", low, high);
    return text;
}

// The label map: its labels as indices, then each cube voxel the index of the
// map voxel nearest its centre.
static void placeLabels(const ScanFile& map, const std::vector<float>& values, const std::string& table,
                        const std::vector<unsigned char>& shipped, const CubeFrame& frame, Overlay* overlay)
{
    // A value that is not a number (in a float map named a label map) counts as 0.
    auto isLabel = [](float value) { return value != 0 && value - value == 0; };
    std::unordered_map<float, unsigned char> indexOf;
    for (float value : values)
        if (isLabel(value))
            indexOf.emplace(value, 0);
    if (indexOf.empty())
        throw ImportError("the overlay holds no labels: every voxel is 0");
    std::vector<float> labels;
    for (const auto& entry : indexOf)
        labels.push_back(entry.first);
    std::sort(labels.begin(), labels.end());
    int blackInTable = 0;
    for (size_t rank = 0; rank < labels.size(); ++rank) {
        const int index = static_cast<int>(rank % 255) + 1;
        indexOf[labels[rank]] = static_cast<unsigned char>(index);
        if (rank >= 255)
            continue;  // the index's colour is its first label's
        // A table's black would hide a label against the black background: the palette's colour instead.
        const double wrapped = std::fmod(static_cast<double>(labels[rank]), 256.0);  // any float, safely
        const long entry = static_cast<long>(wrapped < 0 ? wrapped + 256 : wrapped) % 256;
        const bool black = shipped.empty() || shipped[entry] + shipped[256 + entry] + shipped[512 + entry] == 0;
        if (black) {
            paletteColour(overlay->colours, index);
            blackInTable += !shipped.empty();
        } else {
            for (int channel = 0; channel < 3; ++channel)
                overlay->colours[256 * channel + index] = shipped[256 * channel + entry];
        }
    }
    std::vector<unsigned char> indices(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        indices[i] = isLabel(values[i]) ? indexOf[values[i]] : 0;

    const Grid& grid = map.grid;
    const double steps[3] = {1, 1, 1};
    double m[3][4];
    cubeToScan(grid, frame, steps, m);
    overlay->levels.assign(static_cast<size_t>(cubeSide) * cubeSide * cubeSide, 0);
    const long nx = static_cast<long>(grid.size[0]), ny = static_cast<long>(grid.size[1]),
               nz = static_cast<long>(grid.size[2]);
    for (int k = 0; k < cubeSide; ++k)
        for (int j = 0; j < cubeSide; ++j) {
            unsigned char* row = &overlay->levels[(static_cast<size_t>(k) * cubeSide + j) * cubeSide];
            for (int i = 0; i < cubeSide; ++i) {
                const long x = std::lround(m[0][0] * i + m[0][1] * j + m[0][2] * k + m[0][3]);
                const long y = std::lround(m[1][0] * i + m[1][1] * j + m[1][2] * k + m[1][3]);
                const long z = std::lround(m[2][0] * i + m[2][1] * j + m[2][2] * k + m[2][3]);
                if (x >= 0 && x < nx && y >= 0 && y < ny && z >= 0 && z < nz)
                    row[i] = indices[(static_cast<size_t>(z) * ny + y) * nx + x];
            }
        }

    std::string what = std::to_string(labels.size()) + " labels (" + range(labels.front(), labels.back()) + ")";
    if (labels.size() > 255)
        what += ", more than 255: they share the 255 indices, up to " + std::to_string((labels.size() + 254) / 255) +
                " to one";
    if (table.empty())
        printf("  %s, colours from a built-in palette of distinct colours\n", what.c_str());
    else if (blackInTable == 0)
        printf("  %s, colours from %s\n", what.c_str(), table.c_str());
    else
        printf("  %s, colours from %s (%d labels it gives as black take the built-in palette's)\n", what.c_str(),
               table.c_str(), blackInTable);
}

// The continuous map: resampled into the cube as the scan is, then LOW..HIGH
// as the levels 1..255. Without a window, HIGH is the map's 99.5th percentile
// of its positive values and LOW the larger of their median and a quarter of
// HIGH, so that a map's faint spread stays out and its peaks show.
static void placeMap(const ScanFile& map, const double* window, const CubeFrame& frame, Overlay* overlay)
{
    Cube cube;
    std::vector<float> positive;  // an even sample of the map's positive values
    const size_t plane = map.grid.size[0] * map.grid.size[1];
    const size_t stride = std::max<size_t>(1, plane * map.grid.size[2] / 4000000);
    size_t seen = 0;
    double lowest = HUGE_VAL, highest = -HUGE_VAL;
    PlaneSink resample = resampleInto(map.grid, frame, &cube);
    readScanFile(map, [&](const float* values) {
        for (size_t i = 0; i < plane; ++i, ++seen) {
            const float value = values[i];
            if (value - value == 0) {
                lowest = std::min<double>(lowest, value);
                highest = std::max<double>(highest, value);
                if (value > 0 && seen % stride == 0)
                    positive.push_back(value);
            }
        }
        resample(values);
    });
    double low, high;
    if (window != nullptr) {
        low = window[0], high = window[1];
    } else {
        if (positive.empty())
            throw ImportError("the overlay has no positive values to show (its values run from " +
                              range(lowest, highest) + "); --overlay-window LOW HIGH chooses what shows");
        auto percentile = [&](double share) {
            auto at = positive.begin() + static_cast<long>(share * (positive.size() - 1));
            std::nth_element(positive.begin(), at, positive.end());
            return static_cast<double>(*at);
        };
        high = percentile(0.995);
        low = std::max(percentile(0.5), 0.25 * high);
        if (!(high > low))
            high = low + std::max(std::fabs(low) * 1e-3, 1e-6);
    }
    if (!(highest >= low))
        throw ImportError("nothing in the overlay reaches " + range(low, high) + " (its values run from " +
                          range(lowest, highest) + ")");
    overlay->levels.assign(cube.values.size(), 0);
    for (size_t i = 0; i < cube.values.size(); ++i) {
        const double value = cube.values[i];
        if (value >= low)
            overlay->levels[i] = static_cast<unsigned char>(
                std::min(255.0, 1 + std::floor((value - low) / (high - low) * 254 + 0.5)));
    }
    for (int level = 1; level < 256; ++level)
        rampColour(overlay->colours, level);
    printf("  values %s; %s shown as levels 1 to 255 of a warm ramp%s\n", range(lowest, highest).c_str(),
           range(low, high).c_str(), window != nullptr ? " (the window given)" : "");
}

Overlay importOverlay(const OverlayRequest& request, const CubeFrame& frame)
{
    std::error_code error;
    if (!std::filesystem::exists(request.map, error))
        throw ImportError("no such file or directory");
    ScanFile map = openScanFile(request.map, 0);
    const Grid& grid = map.grid;
    printf("overlay %s: %zux%zux%zu voxels of %gx%gx%g mm%s\n", request.map.c_str(), grid.size[0], grid.size[1],
           grid.size[2], grid.spacing[0], grid.spacing[1], grid.spacing[2],
           map.volumes > 1 ? (", its first volume of " + std::to_string(map.volumes)).c_str() : "");
    if (!overlapsCube(grid, frame))
        throw ImportError("the overlay lies outside the scan");
    Overlay overlay;
    std::fill(std::begin(overlay.colours), std::end(overlay.colours), 0);
    const std::string table = request.labels.empty() ? tableBeside(request.map) : request.labels;
    const std::vector<unsigned char> shipped = table.empty() ? std::vector<unsigned char>() : readTable(table);
    using C = itk::IOComponentEnum;
    const C type = map.header->GetComponentType();
    const bool integerStorage = type != C::FLOAT && type != C::DOUBLE;
    if (request.window == nullptr && (!table.empty() || integerStorage)) {
        std::vector<float> values;
        values.reserve(grid.size[0] * grid.size[1] * grid.size[2]);
        const size_t plane = grid.size[0] * grid.size[1];
        readScanFile(map, [&](const float* planeValues) { values.insert(values.end(), planeValues, planeValues + plane); });
        const bool whole = std::all_of(values.begin(), values.end(), [](float v) { return v == std::floor(v); });
        if (whole || !table.empty()) {
            overlay.labels = true;
            printf("  a label map, placed by nearest voxel\n");
            placeLabels(map, values, table, shipped, frame, &overlay);
        }
    }
    if (!overlay.labels) {
        printf("  a continuous map, resampled linearly\n");
        placeMap(map, request.window, frame, &overlay);
    }
    if (std::none_of(overlay.levels.begin(), overlay.levels.end(), [](unsigned char v) { return v != 0; }))
        throw ImportError(overlay.labels ? "none of the overlay's labels lies within the scan"
                                         : "nothing of the overlay above its window's low end lies within the scan");
    fflush(stdout);
    return overlay;
}

std::string colourTablePath(const std::string& overlayOutput, bool labels)
{
    std::filesystem::path path = overlayOutput;
    path.replace_extension(labels ? ".labels.lut" : ".map.lut");
    return path.string();
}
