// Writes the viewer's sample volume: a deterministic head phantom of 256^3
// unsigned bytes, x fastest, then y, then z. The head faces +Z with its top at +Y.
//
//   phantom [--faint] [path]      (default data/skull_256x256x256_8.raw)
//
// --faint makes the brain one large uniform region of faint matter, without
// folds: rays cross all of it without becoming opaque, the ray caster's
// hardest case, which the benchmark measures.
//
// The head is a set of ellipsoids painted in order, each later one over the
// earlier, with edges smoothed over a few voxels so the picture has no steps.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int side = 256;
const float edgeWidth = 3.0f;  // voxels over which a boundary rises, for smooth gradients

// Tissue values; the README lists them with the thresholds that separate them.
const float air = 0.0f;
const float bone = 240.0f;        // skull shell, near the top of the range
const float brain = 100.0f;       // soft tissue inside the skull
const float fluid = 50.0f;        // ventricles
const float calcification = 190.0f;  // small dense structures

struct Ellipsoid {
    float centre[3];  // in head coordinates, -1 to 1 across the volume
    float radius[3];
    float turnY;      // degrees about the Y axis
    float value;
    float folds;      // depth of the surface's folds, in head units (the brain's gyri)
};

const float faintBrain = 40.0f;   // just above the default threshold

Ellipsoid head[] = {
    {{0.0f, 0.0f, 0.0f}, {0.69f, 0.90f, 0.80f}, 0.0f, bone, 0.0f},         // skull
    {{0.0f, -0.02f, 0.0f}, {0.63f, 0.84f, 0.74f}, 0.0f, brain, 0.018f},    // brain
    {{-0.26f, 0.02f, 0.80f}, {0.15f, 0.12f, 0.13f}, 0.0f, air, 0.0f},      // eye sockets
    {{0.26f, 0.02f, 0.80f}, {0.15f, 0.12f, 0.13f}, 0.0f, air, 0.0f},
    {{0.0f, -0.22f, 0.80f}, {0.05f, 0.14f, 0.09f}, 0.0f, bone, 0.0f},      // nose ridge
    {{0.0f, -0.90f, -0.10f}, {0.14f, 0.10f, 0.16f}, 0.0f, air, 0.0f},      // opening at the base
    {{-0.17f, 0.12f, 0.02f}, {0.08f, 0.14f, 0.36f}, -15.0f, fluid, 0.0f},  // ventricles
    {{0.17f, 0.12f, 0.02f}, {0.08f, 0.14f, 0.36f}, 15.0f, fluid, 0.0f},
    {{0.0f, -0.12f, -0.05f}, {0.05f, 0.06f, 0.12f}, 0.0f, fluid, 0.0f},
    {{0.36f, -0.30f, 0.32f}, {0.07f, 0.07f, 0.07f}, 0.0f, calcification, 0.0f},  // dense
    {{-0.28f, 0.48f, -0.22f}, {0.05f, 0.05f, 0.05f}, 0.0f, calcification, 0.0f},
    {{0.05f, -0.58f, -0.30f}, {0.06f, 0.09f, 0.06f}, 0.0f, calcification, 0.0f},
};

// A smooth pattern of bumps between -1 and 1, the same everywhere it is asked.
float folds(const float p[3])
{
    const float frequency = 22.0f;
    return std::sin(frequency * p[0] + 1.3f * std::sin(9.0f * p[1])) *
           std::sin(frequency * p[1] + 1.1f * std::sin(7.0f * p[2])) *
           std::sin(frequency * p[2] + 0.9f * std::sin(8.0f * p[0]));
}

// Approximate signed distance from p to the ellipsoid's surface, in voxels.
float distanceInVoxels(const Ellipsoid& e, const float p[3])
{
    float a = e.turnY * 3.14159265f / 180.0f;
    float dx = p[0] - e.centre[0], dy = p[1] - e.centre[1], dz = p[2] - e.centre[2];
    float local[3] = {std::cos(a) * dx - std::sin(a) * dz, dy, std::sin(a) * dx + std::cos(a) * dz};
    float q2 = 0.0f, g2 = 0.0f;
    for (int i = 0; i < 3; ++i) {
        float u = local[i] / e.radius[i];
        q2 += u * u;
        float g = u / e.radius[i];
        g2 += g * g;
    }
    float q = std::sqrt(q2);
    if (q < 1e-6f)
        return -side;  // at the centre: deep inside
    // First-order distance: (q - 1) / |grad q|, with |grad q| = sqrt(g2) / q.
    float distance = (q - 1.0f) * q / std::sqrt(g2) + e.folds * folds(p);
    return distance * side * 0.5f;
}

// True where p is too far from the ellipsoid for its smoothed edge or folds to reach.
bool outsideBounds(const Ellipsoid& e, const float p[3])
{
    float margin = e.folds + 2.0f * edgeWidth / side;
    for (int i = 0; i < 3; ++i) {
        float reach = std::fmax(std::fmax(e.radius[0], e.radius[1]), e.radius[2]) + margin;
        if (std::fabs(p[i] - e.centre[i]) > reach)
            return true;
    }
    return false;
}

unsigned char voxelValue(int x, int y, int z)
{
    float p[3] = {(x + 0.5f) / (side * 0.5f) - 1.0f, (y + 0.5f) / (side * 0.5f) - 1.0f,
                  (z + 0.5f) / (side * 0.5f) - 1.0f};
    float value = air;
    for (const Ellipsoid& e : head) {
        if (outsideBounds(e, p))
            continue;
        float coverage = 0.5f - distanceInVoxels(e, p) / edgeWidth;
        if (coverage <= 0.0f)
            continue;
        if (coverage > 1.0f)
            coverage = 1.0f;
        value += (e.value - value) * coverage;
    }
    return static_cast<unsigned char>(std::lround(value));
}

}  // namespace

int main(int argc, char** argv)
{
    bool faint = argc > 1 && std::string(argv[1]) == "--faint";
    if (faint) {
        head[1].value = faintBrain;
        head[1].folds = 0.0f;
        --argc;
        ++argv;
    }
    std::string path = argc > 1 ? argv[1] : "data/skull_256x256x256_8.raw";
    std::vector<unsigned char> volume(static_cast<size_t>(side) * side * side);
    size_t k = 0;
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                volume[k++] = voxelValue(x, y, z);

    // Written beside the target and renamed, so a broken run never leaves a short volume.
    std::string partial = path + ".partial";
    FILE* file = fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "phantom: cannot write %s\n", partial.c_str());
        return 1;
    }
    bool written = fwrite(volume.data(), 1, volume.size(), file) == volume.size();
    written = fclose(file) == 0 && written;
    if (!written || rename(partial.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "phantom: cannot write %s\n", path.c_str());
        remove(partial.c_str());
        return 1;
    }
    printf("phantom: wrote %zu bytes to %s\n", volume.size(), path.c_str());
    return 0;
}
