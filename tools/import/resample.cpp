// resample: the scan, plane by plane as it is read, into the viewer's cube.
// The scan's whole extent, voxel edges included, fits the cube with isotropic
// voxels: the longest side spans all 256, the others are centred. Along each
// axis where the scan is shrunk, a Gaussian brings its resolution down to the
// cube's so that fine detail does not alias into false structure; it is
// applied on the way, within each plane and over a window of planes, and the
// smoothed scan is kept only at the spacing the cube needs. Each cube voxel
// then takes the linear interpolation of that reduced scan at its centre.
// Memory: the cube and a window of reduced planes, whatever the scan's length.
#include "import.h"

#include <vnl/algo/vnl_determinant.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// One axis of the scan: its Gaussian (none where the scan is not shrunk
// enough to alias), and the step at which the smoothed values are kept.
struct Axis {
    size_t size = 0, reduced = 0;  // the scan's voxels, and those kept
    int step = 1, radius = 0;
    std::vector<float> weights = {1.0f};  // from -radius to +radius
};

static Axis axisFor(size_t size, double spacing, double voxel, int index)
{
    Axis axis;
    axis.size = size;
    double sigma = 0.5 * std::sqrt(std::max(0.0, voxel * voxel - spacing * spacing));
    if (sigma >= 0.5 * spacing) {
        printf("  smoothing along scan axis %d, sigma %g mm\n", index, sigma);
        // Both bounded by the axis itself, whatever spacing a header claims.
        const double most = static_cast<double>(size);
        axis.step = static_cast<int>(std::clamp(std::floor(voxel / (2 * spacing)), 1.0, most));
        axis.radius = static_cast<int>(std::min(std::ceil(3 * sigma / spacing), most));
        axis.weights.assign(2 * axis.radius + 1, 0.0f);
        double sum = 0;
        for (int t = -axis.radius; t <= axis.radius; ++t)
            sum += std::exp(-0.5 * std::pow(t * spacing / sigma, 2));
        for (int t = -axis.radius; t <= axis.radius; ++t)
            axis.weights[t + axis.radius] = static_cast<float>(std::exp(-0.5 * std::pow(t * spacing / sigma, 2)) / sum);
    }
    axis.reduced = (size - 1) / axis.step + 1;
    return axis;
}

static size_t clampIndex(long index, size_t size)
{
    return static_cast<size_t>(std::clamp<long>(index, 0, static_cast<long>(size) - 1));
}

// Smooths a line of the scan along an axis and keeps every step-th value:
// OUT[m] for m below axis.reduced. The scan's edge repeats beyond it. The
// lines' interior is summed a weight at a time, across the whole line.
static void smoothLine(const Axis& axis, const float* in, float* out)
{
    const long radius = axis.radius, size = static_cast<long>(axis.size), step = axis.step;
    const long reduced = static_cast<long>(axis.reduced);
    // The reduced values whose window lies wholly within the line.
    const long first = std::min(reduced, (radius + step - 1) / step);
    const long last = std::max(first, std::min(reduced, (size - 1 - radius) / step + 1));
    auto edge = [&](long m) {
        float sum = 0;
        for (long t = -radius; t <= radius; ++t)
            sum += axis.weights[t + radius] * in[clampIndex(m * step + t, axis.size)];
        out[m] = sum;
    };
    for (long m = 0; m < first; ++m)
        edge(m);
    for (long m = last; m < reduced; ++m)
        edge(m);
    std::fill(out + first, out + last, 0.0f);
    for (long t = -radius; t <= radius; ++t) {
        const float weight = axis.weights[t + radius];
        const float* from = in + t;
        if (step == 1) {
            for (long m = first; m < last; ++m)
                out[m] += weight * from[m];
        } else {
            for (long m = first; m < last; ++m)
                out[m] += weight * from[m * step];
        }
    }
}

// The state of the resampling between planes.
struct Resampling {
    Axis axes[3];
    Cube* cube = nullptr;
    double toScan[3][4];     // a cube voxel's index (i, j, k, 1) to the reduced scan's continuous index
    double lowest[3], highest[3];  // the reduced scan's extent, voxel edges included, along each axis
    size_t planesOut = 0;    // reduced planes made
    std::map<size_t, std::vector<float>> pending;  // reduced planes still gathering their window
    std::vector<float> previous;                   // the last reduced plane made
    // The cube's rows (j + 256 k) in the order of the least depth they reach, the next
    // of them to come within reach, and those within reach that are not yet filled.
    std::vector<uint32_t> rowsByDepth, rowsInReach;
    size_t nextRow = 0;
};

// The least and greatest reduced-scan depth along a row of the cube.
static void rowDepths(const Resampling* r, uint32_t row, double* least, double* greatest)
{
    const double start = r->toScan[2][1] * (row % cubeSide) + r->toScan[2][2] * (row / cubeSide) + r->toScan[2][3];
    const double end = start + r->toScan[2][0] * (cubeSide - 1);
    *least = std::min(start, end);
    *greatest = std::max(start, end);
}

// Fills the cube's voxels whose reduced-scan depth lies in [FROM, TO) from the
// reduced planes BELOW and ABOVE, BELOW lying at depth BASE and ABOVE one further.
static void fillBetween(Resampling* r, double from, double to, const float* below, const float* above, double base)
{
    const size_t nx = r->axes[0].reduced, ny = r->axes[1].reduced;
    float* cube = r->cube->values.data();
    const double (*m)[4] = r->toScan;
    double least, greatest;
    while (r->nextRow < r->rowsByDepth.size() &&
           (rowDepths(r, r->rowsByDepth[r->nextRow], &least, &greatest), least < to))
        r->rowsInReach.push_back(r->rowsByDepth[r->nextRow++]);
    for (uint32_t id : r->rowsInReach) {
        const int j = static_cast<int>(id % cubeSide), k = static_cast<int>(id / cubeSide);
        double start[3];
        for (int a = 0; a < 3; ++a)
            start[a] = m[a][1] * j + m[a][2] * k + m[a][3];
        const double dz = m[2][0];
        // The run of i whose depth falls in [from, to), if any.
        rowDepths(r, id, &least, &greatest);
        if (greatest < from || least >= to)
            continue;
        int first = 0, last = cubeSide - 1;
        if (dz != 0) {
            double a = (from - start[2]) / dz, b = (to - start[2]) / dz;
            first = static_cast<int>(std::clamp(std::floor(std::min(a, b)) - 1, 0.0, cubeSide - 1.0));
            last = static_cast<int>(std::clamp(std::ceil(std::max(a, b)) + 1, 0.0, cubeSide - 1.0));
        }
        float* row = cube + (static_cast<size_t>(k) * cubeSide + j) * cubeSide;
        for (int i = first; i <= last; ++i) {
            const double x = start[0] + m[0][0] * i, y = start[1] + m[1][0] * i, z = start[2] + dz * i;
            if (z < from || z >= to || x < r->lowest[0] || x >= r->highest[0] || y < r->lowest[1] ||
                y >= r->highest[1])
                continue;
            const double fx = std::floor(x), fy = std::floor(y);
            const size_t x0 = clampIndex(static_cast<long>(fx), nx), x1 = clampIndex(static_cast<long>(fx) + 1, nx);
            const size_t y0 = clampIndex(static_cast<long>(fy), ny), y1 = clampIndex(static_cast<long>(fy) + 1, ny);
            const double sx = x - fx, sy = y - fy, sz = std::clamp(z - base, 0.0, 1.0);
            auto bilinear = [&](const float* p) {
                double top = p[y0 * nx + x0] + sx * (p[y0 * nx + x1] - p[y0 * nx + x0]);
                double bottom = p[y1 * nx + x0] + sx * (p[y1 * nx + x1] - p[y1 * nx + x0]);
                return top + sy * (bottom - top);
            };
            double lower = bilinear(below);
            row[i] = static_cast<float>(above == below ? lower : lower + sz * (bilinear(above) - lower));
        }
    }
    // Rows that lie wholly before TO are filled for good.
    r->rowsInReach.erase(std::remove_if(r->rowsInReach.begin(), r->rowsInReach.end(),
                                        [&](uint32_t id) {
                                            rowDepths(r, id, &least, &greatest);
                                            return greatest < to;
                                        }),
                         r->rowsInReach.end());
}

// A reduced plane is complete: the cube's voxels between it and the one before are filled.
static void reducedPlaneMade(Resampling* r, std::vector<float> plane)
{
    const size_t m = r->planesOut++;
    if (m == 0)
        fillBetween(r, r->lowest[2], 0, plane.data(), plane.data(), 0);
    else
        fillBetween(r, m - 1.0, static_cast<double>(m), r->previous.data(), plane.data(), m - 1.0);
    if (m + 1 == r->axes[2].reduced)
        fillBetween(r, static_cast<double>(m), r->highest[2], plane.data(), plane.data(), static_cast<double>(m));
    r->previous = std::move(plane);
}

// A plane of the scan smoothed within itself, into PLANE's reduced size.
static void smoothPlane(const Resampling* r, const float* plane, std::vector<float>* acrossXBuffer, float* reduced)
{
    const Axis &ax = r->axes[0], &ay = r->axes[1];
    const size_t width = ax.reduced;
    const float* acrossX = plane;
    if (ax.radius > 0) {
        for (size_t y = 0; y < ay.size; ++y)
            smoothLine(ax, plane + y * ax.size, acrossXBuffer->data() + y * width);
        acrossX = acrossXBuffer->data();
    }
    // Along y a row at a time: each reduced row the weighted sum of the rows in its window.
    for (size_t b = 0; b < ay.reduced; ++b) {
        float* out = reduced + b * width;
        std::fill(out, out + width, 0.0f);
        for (long t = -ay.radius; t <= ay.radius; ++t) {
            const float weight = ay.weights[t + ay.radius];
            const float* in = acrossX + clampIndex(static_cast<long>(b) * ay.step + t, ay.size) * width;
            for (size_t x = 0; x < width; ++x)
                out[x] += weight * in[x];
        }
    }
}

// Plane K of the scan, smoothed within itself, added to the reduced planes
// whose window it lies in; those it completes are resampled.
static void gatherPlane(Resampling* r, size_t k, const std::vector<float>& plane)
{
    const Axis& az = r->axes[2];
    const long step = az.step, radius = az.radius, size = static_cast<long>(az.size);
    const long firstM = std::max(0L, (static_cast<long>(k) - radius) / step - 1);
    const long lastM = std::min(static_cast<long>(az.reduced) - 1, (static_cast<long>(k) + radius) / step + 1);
    for (long m = firstM; m <= lastM; ++m) {
        double weight = 0;  // of this plane in reduced plane m, the scan's edge repeated beyond it
        for (long t = -radius; t <= radius; ++t)
            if (static_cast<long>(clampIndex(m * step + t, az.size)) == static_cast<long>(k))
                weight += az.weights[t + radius];
        if (weight == 0)
            continue;
        std::vector<float>& sum = r->pending[m];
        if (sum.empty())
            sum.assign(plane.size(), 0.0f);
        for (size_t i = 0; i < sum.size(); ++i)
            sum[i] += static_cast<float>(weight) * plane[i];
    }
    while (!r->pending.empty() && r->pending.begin()->first == r->planesOut &&
           std::min<long>(size - 1, static_cast<long>(r->planesOut) * step + radius) <= static_cast<long>(k)) {
        std::vector<float> done = std::move(r->pending.begin()->second);
        r->pending.erase(r->pending.begin());
        reducedPlaneMade(r, std::move(done));
    }
}

// The smoothed planes on their way from the reading thread to the one that
// gathers them into the cube, so that the two share the work.
struct Handover {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<float>> planes;
    std::vector<std::vector<float>> spare;
    bool closed = false;
};
static const size_t planesHandedOver = 4;  // smoothed and waiting to be gathered

static void gatherAll(Resampling* r, Handover* handover)
{
    for (size_t k = 0;; ++k) {
        std::vector<float> plane;
        {
            std::unique_lock<std::mutex> hold(handover->lock);
            handover->changed.wait(hold, [&] { return handover->closed || !handover->planes.empty(); });
            if (handover->planes.empty())
                return;
            plane = std::move(handover->planes.front());
            handover->planes.pop_front();
            handover->changed.notify_all();
        }
        gatherPlane(r, k, plane);
        std::lock_guard<std::mutex> hold(handover->lock);
        handover->spare.push_back(std::move(plane));
    }
}

// What the sink keeps: the resampling, and the thread that gathers its planes.
struct Resampler {
    Resampling resampling;
    Handover handover;
    std::thread gathering;
    std::vector<float> acrossX;
    size_t planesIn = 0;

    void finish()
    {
        if (!gathering.joinable())
            return;
        {
            std::lock_guard<std::mutex> hold(handover.lock);
            handover.closed = true;
            handover.changed.notify_all();
        }
        gathering.join();
    }
    ~Resampler() { finish(); }

    void add(const float* plane)
    {
        const Resampling* r = &resampling;
        std::vector<float> reduced;
        {
            std::lock_guard<std::mutex> hold(handover.lock);
            if (!handover.spare.empty()) {
                reduced = std::move(handover.spare.back());
                handover.spare.pop_back();
            }
        }
        reduced.resize(r->axes[0].reduced * r->axes[1].reduced);
        smoothPlane(r, plane, &acrossX, reduced.data());
        {
            std::unique_lock<std::mutex> hold(handover.lock);
            handover.changed.wait(hold, [&] { return handover.planes.size() < planesHandedOver; });
            handover.planes.push_back(std::move(reduced));
            handover.changed.notify_all();
        }
        if (++planesIn == r->axes[2].size)
            finish();  // the last plane: the cube is complete once it is gathered
    }
};

// The viewer's axes in the toolkit's physical frame: +x toward the patient's
// left, +y superior, +z anterior (the toolkit's y points to the back).
static Direction viewerAxes()
{
    Direction axes;
    axes.Fill(0.0);
    axes(0, 0) = 1.0;
    axes(2, 1) = 1.0;
    axes(1, 2) = -1.0;
    return axes;
}

// A scan's grid must have a positive, finite spacing and axes that span a volume.
static void checkGrid(const Grid& grid)
{
    for (int axis = 0; axis < 3; ++axis)
        if (!(grid.spacing[axis] > 0) || !std::isfinite(grid.spacing[axis]))
            throw ImportError("the header gives a voxel spacing of " + std::to_string(grid.spacing[axis]));
    if (!(std::fabs(vnl_determinant(grid.axes.GetVnlMatrix().as_ref())) > 1e-6))
        throw ImportError("its axes do not span a volume: two of them are parallel, or one has no length");
}

void gridBounds(const Grid& grid, Vector* lowest, Vector* highest)
{
    const Direction toViewer(viewerAxes().GetTranspose());
    lowest->Fill(HUGE_VAL);
    highest->Fill(-HUGE_VAL);
    for (int corner = 0; corner < 8; ++corner) {
        Vector index;
        for (int axis = 0; axis < 3; ++axis)
            index[axis] = ((corner >> axis & 1) ? grid.size[axis] - 0.5 : -0.5) * grid.spacing[axis];
        Vector inViewer = toViewer * (grid.origin + grid.axes * index);
        for (int axis = 0; axis < 3; ++axis) {
            (*lowest)[axis] = std::min((*lowest)[axis], inViewer[axis]);
            (*highest)[axis] = std::max((*highest)[axis], inViewer[axis]);
        }
    }
}

CubeFrame fitCube(const Grid& grid)
{
    checkGrid(grid);
    Vector lowest, highest;
    gridBounds(grid, &lowest, &highest);
    Vector extent = highest - lowest;
    CubeFrame frame;
    frame.voxel = std::max({extent[0], extent[1], extent[2]}) / cubeSide;
    frame.firstCentre = (lowest + highest) * 0.5;
    for (int axis = 0; axis < 3; ++axis)
        frame.firstCentre[axis] -= (cubeSide - 1) * 0.5 * frame.voxel;
    printf("resampling %gx%gx%g mm into %d^3 voxels of %g mm\n", extent[0], extent[1], extent[2], cubeSide,
           frame.voxel);
    return frame;
}

void cubeToScan(const Grid& grid, const CubeFrame& frame, const double step[3], double toScan[3][4])
{
    const Direction fromScan(grid.axes.GetInverse());
    const Direction turn = fromScan * viewerAxes();
    const Vector offset = fromScan * (viewerAxes() * frame.firstCentre - grid.origin);
    for (int a = 0; a < 3; ++a) {
        const double scale = 1.0 / (grid.spacing[a] * step[a]);
        for (int b = 0; b < 3; ++b)
            toScan[a][b] = turn(a, b) * frame.voxel * scale;
        toScan[a][3] = offset[a] * scale;
    }
}

PlaneSink resampleInto(const Grid& grid, const CubeFrame& frame, Cube* cube)
{
    checkGrid(grid);
    const double voxel = frame.voxel;
    auto resampler = std::make_shared<Resampler>();
    Resampling* r = &resampler->resampling;
    for (int axis = 0; axis < 3; ++axis)
        r->axes[axis] = axisFor(grid.size[axis], grid.spacing[axis], voxel, axis);
    fflush(stdout);
    // A cube voxel (i, j, k) lies at viewerAxes * (firstCentre + voxel * (i, j, k)); in the
    // reduced scan at (scan axes * spacing * step)^-1 * (that - origin).
    const double steps[3] = {double(r->axes[0].step), double(r->axes[1].step), double(r->axes[2].step)};
    cubeToScan(grid, frame, steps, r->toScan);
    for (int a = 0; a < 3; ++a) {
        r->lowest[a] = -0.5 / r->axes[a].step;
        r->highest[a] = (grid.size[a] - 0.5) / r->axes[a].step;
    }
    r->cube = cube;
    cube->values.assign(static_cast<size_t>(cubeSide) * cubeSide * cubeSide, outsideScan);
    for (uint32_t row = 0; row < static_cast<uint32_t>(cubeSide * cubeSide); ++row)
        r->rowsByDepth.push_back(row);
    std::vector<double> leastDepth(r->rowsByDepth.size());
    for (uint32_t row : r->rowsByDepth) {
        double greatest;
        rowDepths(r, row, &leastDepth[row], &greatest);
    }
    std::stable_sort(r->rowsByDepth.begin(), r->rowsByDepth.end(),
                     [&](uint32_t a, uint32_t b) { return leastDepth[a] < leastDepth[b]; });
    resampler->acrossX.resize(r->axes[0].reduced * grid.size[1]);
    resampler->gathering = std::thread(gatherAll, r, &resampler->handover);
    return [resampler](const float* plane) { resampler->add(plane); };
}
