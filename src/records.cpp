// The viewer's two records. Both are made here, by static initialisation in this
// one file, so their order is fixed: frame statistics first, then the volume.
#include "viewer.h"

#include <cstdlib>

static FpsCalc* createFpsCalc()
{
    FpsCalc* stats = static_cast<FpsCalc*>(malloc(sizeof(FpsCalc)));
    stats->previousFrameTime = 0.0f;
    stats->lastUpdateTime = 0.0f;
    stats->fps = 0.0f;
    stats->maxFps = 0.0f;
    stats->minFps = 1e10f;  // exactly 10000000000 as a float
    stats->updateInterval = 1000;
    return stats;
}

// The volume record starts empty; loadVolume fills it. Zeroed so that nothing
// reads an undefined field if loading never ran.
FpsCalc* fpscalc = createFpsCalc();
Loader3D* t3DLoader = static_cast<Loader3D*>(calloc(1, sizeof(Loader3D)));
