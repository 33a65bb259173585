// map: the scan's values as the viewer's bytes. Their range and percentiles
// are counted as the planes arrive, from a histogram of an even sample of
// them; once all are in, the mapping is chosen and applied to the cube alone.
#include "import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

static const double percentileSamples = 4000000;  // values counted for the percentiles
static const int keyBits = 20;                     // a histogram of about a million keys

// Hounsfield units to bytes, piecewise linear. The bytes fall in the viewer's
// density bands: air 0, lung and fat below the default threshold or just above
// it, fluid near 0.20, soft tissue near 0.39, dense structures (contrast,
// calcification, spongy bone) near 0.75, cortical bone near 0.94.
static const double hounsfieldTable[][2] = {
    {-1000, 0}, {-400, 8}, {-100, 30}, {0, 50}, {40, 100},
    {100, 120}, {300, 190}, {1000, 240}, {2000, 255}};

// How scan values become bytes: linear from low (0) to high (255), or the Hounsfield table.
struct Mapping {
    bool hounsfield = false;
    double low = 0, high = 1;
};

// A key that orders the floats as their values do, in 2^20 steps: values
// under one key differ by less than one part in two thousand.
static uint32_t keyOf(float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    bits = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
    return bits >> (32 - keyBits);
}

void startCount(ValueCount* count, double voxels)
{
    count->stride = static_cast<size_t>(std::max(1.0, std::floor(voxels / percentileSamples)));
    count->counts.assign(size_t(1) << keyBits, 0);
    count->least.assign(size_t(1) << keyBits, HUGE_VALF);
}

void countPlane(ValueCount* count, const float* values, size_t number)
{
    float lowest = static_cast<float>(count->lowest), highest = static_cast<float>(count->highest);
    for (size_t i = 0; i < number; ++i) {
        const float value = values[i];
        if (value - value == 0) {  // finite
            lowest = std::min(lowest, value);
            highest = std::max(highest, value);
        }
    }
    count->lowest = std::min<double>(count->lowest, lowest);
    count->highest = std::max<double>(count->highest, highest);
    for (; count->next < count->seen + number; count->next += count->stride) {
        const float value = values[count->next - count->seen];
        if (value - value == 0) {
            const uint32_t key = keyOf(value);
            ++count->counts[key];
            count->least[key] = std::min(count->least[key], value);
            ++count->counted;
        }
    }
    count->seen += number;
}

// The value at SHARE of the counted ones, from the lowest: the least value under the key that holds its rank.
static double percentile(const ValueCount& count, double share)
{
    const size_t rank = static_cast<size_t>(share * (count.counted - 1));
    size_t below = 0;
    for (size_t key = 0; key < count.counts.size(); ++key) {
        below += count.counts[key];
        if (below > rank)
            return count.least[key];
    }
    return count.highest;
}

static unsigned char toByte(float value, const Mapping& mapping)
{
    double byte;
    if (!std::isfinite(value)) {
        byte = 0;
    } else if (mapping.hounsfield) {
        const int last = sizeof hounsfieldTable / sizeof hounsfieldTable[0] - 1;
        int i = 0;
        while (i < last - 1 && value > hounsfieldTable[i + 1][0])
            ++i;
        double share = (value - hounsfieldTable[i][0]) / (hounsfieldTable[i + 1][0] - hounsfieldTable[i][0]);
        byte = hounsfieldTable[i][1] + std::clamp(share, 0.0, 1.0) * (hounsfieldTable[i + 1][1] - hounsfieldTable[i][1]);
    } else {
        byte = (value - mapping.low) / (mapping.high - mapping.low) * 255.0;
    }
    return static_cast<unsigned char>(std::lround(std::clamp(byte, 0.0, 255.0)));
}

// The window the user gave; the Hounsfield table for a CT (by its DICOM
// modality, or where no modality is given because a good share of it sits
// at the value of air: an MR phase map can look like that too); otherwise
// robust percentiles, so that a few extreme voxels do not squeeze the
// tissues into a narrow band.
static Mapping chooseMapping(const ValueCount& count, const std::string& modality, const double* window)
{
    if (count.lowest > count.highest)
        throw ImportError("no finite values");
    const double lowest = count.lowest, highest = count.highest;
    double low = lowest, high = highest;  // where the finite values fell between the samples
    if (count.counted > 0)
        low = percentile(count, 0.005), high = percentile(count, 0.995);
    printf("  values %g to %g (0.5%% and 99.5%% percentiles %g and %g)\n", lowest, highest, low, high);

    Mapping mapping;
    if (window != nullptr) {
        mapping.low = window[0];
        mapping.high = window[1];
        printf("mapping: window %g to %g onto 0 to 255\n", mapping.low, mapping.high);
    } else if (modality == "CT" || (modality.empty() && low <= -900 && lowest >= -4096)) {
        mapping.hounsfield = true;
        printf("mapping: Hounsfield units (%s) through the table", modality == "CT" ? "DICOM modality CT"
                                                                                       : "values of a CT");
        for (const auto& entry : hounsfieldTable)
            printf(" %g->%g", entry[0], entry[1]);
        printf("\n");
    } else {
        if (!(high > low)) {  // nearly uniform: use the whole range, if there is one
            low = lowest;
            high = highest > lowest ? highest : lowest + 1;
        }
        mapping.low = low;
        mapping.high = high;
        printf("mapping: percentiles, %g (0.5%%) onto 0 and %g (99.5%%) onto 255\n", low, high);
    }
    fflush(stdout);
    return mapping;
}

std::vector<unsigned char> mapToBytes(const Cube& cube, const ValueCount& count, const std::string& modality,
                                      const double* window)
{
    const Mapping mapping = chooseMapping(count, modality, window);
    const unsigned char outside = toByte(static_cast<float>(count.lowest), mapping);  // outside the scan: its lowest value
    std::vector<unsigned char> bytes(cube.values.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = cube.values[i] == outsideScan ? outside : toByte(cube.values[i], mapping);
    return bytes;
}
