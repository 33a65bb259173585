// place: where the slices of a DICOM stack lie. The grid's third axis runs
// along the line the slices follow (askew to their planes where the gantry
// was tilted), sampled evenly at the smallest spacing, so that gaps, uneven
// spacing and gantry tilt come out as the patient lay; the planes between
// slices are interpolated when the pixels are read. Whatever cannot be
// placed right is refused, never imported distorted.
#include "import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

static const double samePlace = 0.01;       // mm: slices nearer than this lie at one position
static const double mostTilt = 45;          // degrees between the slices' normal and their succession
static const int mostMissingSlices = 3;     // a wider gap is refused rather than filled

// Where the slice lies along the normal of its plane.
static double depth(const Slice& slice)
{
    return slice.position * itk::CrossProduct(slice.row, slice.column);
}

// Looks at the distances between successive slices (ALONG the line they
// follow): reports a gap or spacing that changes along the stack (both filled
// by interpolation), and refuses a gap too wide to fill. A gap is named by
// where its slices lie across their planes (their slice locations).
static void checkSpacing(const std::vector<double>& along, const std::vector<double>& locations)
{
    struct Run {
        size_t first, count;  // steps: step i lies between slices i and i+1
        double spacing;
    };
    std::vector<Run> runs;
    for (size_t i = 0; i + 1 < along.size(); ++i) {
        double step = along[i + 1] - along[i];
        if (!runs.empty() && std::fabs(step - runs.back().spacing) <= 0.05 * runs.back().spacing + 0.01) {
            Run& run = runs.back();
            run.spacing = (run.spacing * run.count + step) / (run.count + 1);
            ++run.count;
        } else {
            runs.push_back({i, 1, step});
        }
    }
    std::vector<Run> even;  // the runs that are not gaps
    for (size_t r = 0; r < runs.size(); ++r) {
        double around = 0;  // the spacing on either side of a single step
        if (r > 0)
            around = std::max(around, runs[r - 1].spacing);
        if (r + 1 < runs.size())
            around = std::max(around, runs[r + 1].spacing);
        const Run& run = runs[r];
        if (run.count > 1 || around == 0 || run.spacing < 1.5 * around) {
            even.push_back(run);
            continue;
        }
        int missing = static_cast<int>(std::lround(run.spacing / around)) - 1;
        char where[200];
        snprintf(where, sizeof where, "a gap of %.3g mm between slices %zu and %zu (at %.4g and %.4g mm), "
                 "where they lie %.3g mm apart beside it",
                 run.spacing, run.first + 1, run.first + 2, locations[run.first], locations[run.first + 1], around);
        if (missing > mostMissingSlices)
            throw ImportError(std::string(where) + ": about " + std::to_string(missing) +
                              " slices missing, too many to fill in");
        printf("  %s: about %d slice%s missing, filled in by interpolation\n", where, missing, missing == 1 ? "" : "s");
    }
    bool uneven = false;
    for (const Run& run : even)
        uneven = uneven || std::fabs(run.spacing - even[0].spacing) > 0.05 * even[0].spacing + 0.01;
    if (!uneven)
        return;
    std::string parts;
    for (size_t r = 0; r < even.size() && r < 6; ++r) {
        char part[120];
        snprintf(part, sizeof part, "%s%.3g mm from slice %zu to %zu", r ? ", " : "", even[r].spacing,
                 even[r].first + 1, even[r].first + even[r].count + 1);
        parts += part;
    }
    printf("  the spacing of the slices changes along the stack: %s%s; filled in by interpolation\n", parts.c_str(),
           even.size() > 6 ? ", ..." : "");
}

// The grid of a stack, from every slice's own position and orientation.
Placement placeSlices(Stack stack)
{
    size_t unplaced = std::count_if(stack.begin(), stack.end(), [](const Slice& s) { return !s.placed; });
    if (unplaced > 0)
        throw ImportError(std::to_string(unplaced) + " of its " + std::to_string(stack.size()) +
                          " slices have no position or orientation (Image Position and Orientation (Patient), "
                          "and for the frames of a file the distance between them), "
                          "so where they lie is not known");
    if (stack[0].spacing[0] == 0)
        throw ImportError("its slices do not give their pixel spacing, so their size is not known");
    std::sort(stack.begin(), stack.end(), [](const Slice& a, const Slice& b) { return depth(a) < depth(b); });
    const size_t count = stack.size();
    for (size_t i = 0; i + 1 < count; ++i)
        if (depth(stack[i + 1]) - depth(stack[i]) < samePlace)
            throw ImportError("slices " + std::to_string(i + 1) + " and " + std::to_string(i + 2) + " (" +
                              stack[i].path + " and " + stack[i + 1].path +
                              ") lie at the same position and nothing in their headers tells them apart");

    // The line the slices follow, and where each lies along it.
    Vector normal = itk::CrossProduct(stack[0].row, stack[0].column);
    Vector line = stack.back().position - stack[0].position;
    line.Normalize();
    const double offLine = 0.1 * std::min(stack[0].spacing[0], stack[0].spacing[1]);
    std::vector<double> along, locations;
    for (size_t i = 0; i < count; ++i) {
        locations.push_back(depth(stack[i]));
        Vector offset = stack[i].position - stack[0].position;
        along.push_back(offset * line);
        double off = (offset - line * along.back()).GetNorm();
        if (off > offLine) {
            char text[160];
            snprintf(text, sizeof text, " lies %.3g mm off the line the others follow, so their places "
                     "contradict each other", off);
            throw ImportError("slice " + std::to_string(i + 1) + " (" + stack[i].path + ")" + text);
        }
    }
    double tilt = std::acos(std::clamp(line * normal, -1.0, 1.0)) * 180 / M_PI;
    if (tilt > mostTilt)
        throw ImportError("the slices follow each other at " + std::to_string(static_cast<int>(tilt)) +
                          " degrees to their planes, too slanted to be one stack");
    if (tilt > 0.1)
        printf("  the slices lie tilted %.3g degrees against the line they follow (gantry tilt): built sheared, "
               "as they lie\n", tilt);
    // Spacing that is even but for the rounding of the positions keeps one plane a slice.
    const double length = along.back();
    bool even = true;
    for (size_t i = 0; i < count; ++i)
        even = even && std::fabs(along[i] - i * length / (count - 1)) < 0.2 * length / (count - 1);
    size_t steps = count - 1;
    if (!even) {
        checkSpacing(along, locations);
        double smallest = along[1] - along[0];
        for (size_t i = 1; i + 1 < count; ++i)
            smallest = std::min(smallest, along[i + 1] - along[i]);
        steps = std::max<size_t>(1, static_cast<size_t>(std::ceil(length / smallest - 0.1)));
    }
    const double step = length / steps;
    const size_t columns = stack[0].columns, rows = stack[0].rows, planes = steps + 1;
    if (static_cast<double>(columns) * rows * planes > mostVoxels)
        throw ImportError("its slices would make " + std::to_string(columns) + "x" + std::to_string(rows) + "x" +
                          std::to_string(planes) + " voxels, more than can be allocated");

    Placement placement;
    Grid& grid = placement.grid;
    grid.size[0] = columns, grid.size[1] = rows, grid.size[2] = planes;
    grid.spacing[0] = stack[0].spacing[0], grid.spacing[1] = stack[0].spacing[1], grid.spacing[2] = step;
    for (int i = 0; i < 3; ++i)
        grid.axes(i, 0) = stack[0].row[i], grid.axes(i, 1) = stack[0].column[i], grid.axes(i, 2) = line[i];
    grid.origin = stack[0].position;

    // Each plane between the two slices around it.
    size_t below = 0;
    for (size_t k = 0; k < planes; ++k) {
        double at = k == steps ? length : k * step;
        while (below + 2 < count && along[below + 1] <= at)
            ++below;
        placement.below.push_back(below);
        placement.share.push_back(std::clamp((at - along[below]) / (along[below + 1] - along[below]), 0.0, 1.0));
    }
    placement.slices = std::move(stack);
    return placement;
}
