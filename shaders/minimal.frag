// Ray caster, fragment stage: marches from the entry point away from the eye
// until the ray leaves the unit cube or is opaque, compositing front to back.
// Each ray goes through two stages in turn: it crosses the blocks that need
// no samples (the block summary on unit 1 tells which: nothing in them is
// above troskel, or they are uniform, and a run of alike uniform blocks is
// composited in one closed-form step), then it takes the next few samples one
// voxel apart. A sample costs one look-up: the gradient volume on unit 2
// holds each voxel's density and central differences, so filtering it
// returns a sample's density and its gradient together, and every sample is
// classified and lit on its own.
//
// The software renderer runs each group of neighbouring pixels in lockstep
// and executes both sides of every branch, so a loop costs its whole body on
// every turn that any of its rays takes: each loop here holds only what
// nearly every turn needs.
//
// troskel   density below which matter is transparent
// troskelr  a sample has red only above this density; troskelg and troskelb
//           do the same for green and blue
//
// An overlay, where one is shown, is matter of its own: a sample inside it
// takes its colour, lit as the sample is, and is at least as opaque as soft
// tissue whatever troskel is, so that a labelled region or a lesion stays in
// sight when + peels the anatomy around it away. Its code is compiled in only
// then (the viewer turns `overlaid` on where an overlay lies beside the
// volume), so that without one every look costs and draws exactly what it did
// before overlays existed.
#version 110

uniform sampler3D vtexture;        // the volume itself (the gradient volume holds its density too)
uniform sampler3D blockRange;      // per block of 4^3 voxels: the lowest (r) and highest (g)
                                   // density that filtering can return inside it, and the
                                   // highest in its group of 4^3 (b) and 8^3 (a) blocks
uniform sampler3D gradientVolume;  // per voxel: central differences along x, y, z (rgb, as
                                   // 2 * texel - 256/255) and density (a)
uniform sampler3D overlayBlockRange;  // the block summary in which a block that holds any
                                     // overlay counts as holding every density
uniform sampler3D overlayVolume;   // the overlay's byte per voxel (0 where it has nothing),
                                   // labels whole (nearest), a map's levels filtered
uniform sampler1D overlayColours;  // the colour of each of the overlay's 256 bytes
uniform float overlayKind;         // 1 labels, 2 a continuous map (0 until an overlay is loaded)
uniform float troskel;
uniform float troskelr;
uniform float troskelg;
uniform float troskelb;

varying vec3 entryPoint;
varying vec3 eyePoint;
varying vec3 lightDirection;

const float voxel = 1.0 / 256.0;
const float fineStep = voxel;            // full quality: one sample per voxel inside matter
const float blocks = 64.0;               // blocks along each axis of the summary
const int maxBlocks = 192;               // a ray crosses at most 3 * 64 blocks
const int samplesPerPass = 4;            // samples taken between two looks at the summary
const int maxPasses = 112;               // every pass moves a ray on by 4 voxels or more,
                                         // and the cube's diagonal is 444 voxels
const float opaque = 0.97;               // early ray termination; the rest is made up for at the end
const float uniformRange = 2.0 / 255.0;  // a block whose densities differ by no more is uniform:
                                         // its gradient is below any surface, its light flat

const float opacityOnset = 0.04;         // density above troskel over which opacity fades in
const float channelRamp = 0.06;          // density over which a colour channel turns on

const float ambient = 0.22;              // light that reaches surfaces turned away
const float flatDiffuse = 0.65;          // diffuse light inside uniform matter
const float surfaceFrom = 0.03;          // gradient (density change over two voxels) of
const float surfaceFull = 0.12;          //   no surface at all, and of a clear surface
const float specularShare = 0.2;
const bool overlaid = false;             // the overlay's code compiled in
const float overlayOpacity = 0.12;       // an overlay's matter over one voxel: soft tissue's at least

// Distance along the ray to where it leaves the unit cube.
float exitDistance(vec3 origin, vec3 direction)
{
    vec3 inverse = 1.0 / direction;
    vec3 far = max((vec3(0.0) - origin) * inverse, (vec3(1.0) - origin) * inverse);
    return min(min(far.x, far.y), far.z);
}

float density(vec3 p)
{
    return texture3D(vtexture, p).r;
}

// The overlay at p: its colour (rgb) and 1 where it has something there (a);
// all 0 where it has nothing or none is loaded.
vec4 overlayAt(vec3 p)
{
    float level = texture3D(overlayVolume, p).r;
    vec3 colour = texture1D(overlayColours, level * (255.0 / 256.0) + 0.5 / 256.0).rgb;
    return level > 0.5 / 255.0 ? vec4(colour, 1.0) : vec4(0.0);
}

// smoothstep(edge0, edge1, x), written as a multiplication: with constant
// edges the reciprocal of their distance is folded when the shader is
// compiled, where smoothstep itself divides at every sample in the software
// renderer (some 5% of a frame).
float ramp(float edge0, float edge1, float x)
{
    float t = clamp((x - edge0) * (1.0 / (edge1 - edge0)), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// A sample's gradient (xyz: the change in density over two voxels along each
// of the volume's axes, pointing toward denser matter) and density (w), from
// one filtered look-up of the gradient volume.
vec4 gradientAndDensity(vec3 p)
{
    vec4 texel = texture3D(gradientVolume, p);
    return vec4(texel.rgb * 2.0 - 256.0 / 255.0, texel.a);
}

// Opacity over one voxel, by tissue: bone and fluid stay glassy so that what
// lies behind them shows, soft tissue hides what is deeper, and small dense
// structures stand out. The dense band lies between soft tissue and bone, so
// every skull boundary passes through it; where the gradient says "boundary"
// that band is left out, or the skull would wear an opaque film.
// Nothing at or below troskel is seen.
float classifyOpacity(float d, float surface)
{
    float dense = ramp(0.55, 0.68, d) * (1.0 - ramp(0.8, 0.9, d));
    float tissue = mix(0.04, 0.10, ramp(0.2, 0.38, d));
    tissue = mix(tissue, 0.07, ramp(0.8, 0.92, d));
    tissue = mix(tissue, 0.35, dense * (1.0 - surface));
    return tissue * ramp(0.0, opacityOnset, d - troskel);
}

// Tissue colour by density: fluid blue, soft tissue rose, dense matter amber, bone ivory.
vec3 tissueColour(float d)
{
    vec3 colour = mix(vec3(0.35, 0.55, 1.0), vec3(0.95, 0.55, 0.5), ramp(0.2, 0.38, d));
    colour = mix(colour, vec3(1.0, 0.78, 0.3), ramp(0.45, 0.7, d));
    return mix(colour, vec3(1.0, 0.96, 0.86), ramp(0.8, 0.92, d));
}

// How much of each colour channel a density lets through: each only above its own threshold.
vec3 channelGates(float d)
{
    return vec3(ramp(0.0, channelRamp, d - troskelr), ramp(0.0, channelRamp, d - troskelg),
                ramp(0.0, channelRamp, d - troskelb));
}

vec3 classifyColour(float d, bool gated)
{
    return gated ? tissueColour(d) * channelGates(d) : tissueColour(d);
}

// What lights every sample of a ray: light 0, with the halfway vector between
// light and eye, and its colours scaled as the samples use them. Read once
// per ray, as reading the light's built-in state costs at every sample.
struct Light {
    vec3 toLight;
    vec3 halfway;
    vec3 ambient;   // what reaches every sample, surfaces turned away included
    vec3 diffuse;   // scaled by how squarely a surface faces the light
    vec3 specular;  // scaled by the highlight
};

Light lightAlong(vec3 direction)
{
    Light light;
    light.toLight = normalize(lightDirection);
    light.halfway = normalize(light.toLight - direction);
    light.ambient = gl_LightSource[0].ambient.rgb + ambient;
    light.diffuse = gl_LightSource[0].diffuse.rgb * (1.0 - ambient);
    light.specular = gl_LightSource[0].specular.rgb * specularShare;
    return light;
}

// A sample (gradient in xyz, density in w, as gradientAndDensity gives them)
// classified and lit: its colour (rgb, through the channel gates if `gated`)
// and its opacity over one voxel (a). Inside the overlay (`mark` as overlayAt
// gives it) it takes the overlay's colour and at least overlayOpacity.
// The light is two-sided diffuse and specular; inside uniform matter it fades
// to a flat level rather than following random normals, and a gradient of
// zero is lit flat.
vec4 shade(vec4 sample, vec4 mark, Light light, bool gated)
{
    vec3 g = sample.xyz;
    float squared = dot(g, g);
    float inverseLength = inversesqrt(max(squared, 1e-12));
    float surface = ramp(surfaceFrom, surfaceFull, squared * inverseLength);
    float diffuse = mix(flatDiffuse, abs(dot(g, light.toLight)) * inverseLength, surface);
    float highlight = abs(dot(g, light.halfway)) * inverseLength;
    highlight *= highlight;  // raised to the power 16 (the shininess) by squaring
    highlight *= highlight;
    highlight *= highlight;
    highlight *= highlight;
    vec3 base = classifyColour(sample.w, gated);
    float opacity = classifyOpacity(sample.w, surface);
    if (overlaid) {
        base = mix(base, mark.rgb, mark.a);
        opacity = max(opacity, overlayOpacity * mark.a);
    }
    vec3 colour = base * (light.ambient + light.diffuse * diffuse) + light.specular * (surface * highlight);
    return vec4(colour, opacity);
}

// Adds `count` samples alike to `shaded` behind what the ray has gathered so
// far, in one step.
vec4 composite(vec4 sum, vec4 shaded, float count)
{
    float alpha = 1.0 - pow(1.0 - shaded.a, count);
    return sum + (1.0 - sum.a) * alpha * vec4(shaded.rgb, 1.0);
}

// A per-pixel offset of the first sample, so that the sampling planes of
// neighbouring rays differ and no wood-grain bands appear.
float jitter()
{
    return fract(sin(dot(gl_FragCoord.xy, vec2(12.9898, 78.233))) * 43758.5453);
}

// The ray: where it runs and what crossing the block grid needs. `inverse`
// has no infinite component, so that every block face has a finite distance;
// `ahead` is 1 along each axis the ray runs forward on, 0 where it runs back.
struct Ray {
    vec3 direction;
    vec3 inverse;
    vec3 ahead;
    vec3 faceNudge;  // a point on a block's face counts in the block ahead
    float end;       // distance to where the ray leaves the cube
};

Ray rayFromEye()
{
    Ray ray;
    ray.direction = normalize(entryPoint - eyePoint);
    ray.inverse = 1.0 / (ray.direction + vec3(equal(ray.direction, vec3(0.0))) * 1e-7);
    ray.ahead = step(0.0, ray.inverse);
    ray.faceNudge = ray.direction * (1e-4 * voxel);
    ray.end = exitDistance(entryPoint, ray.direction);
    return ray;
}

// Distance along the ray from p to where it leaves the cell that holds p, on a
// grid of `cells` cells along each axis of the cube. `cells` is a constant at
// every call, so its reciprocal is folded rather than divided.
float cellExit(vec3 p, Ray ray, float cells)
{
    vec3 far = (floor(p * cells) + ray.ahead) * (1.0 / cells);
    vec3 distance = (far - p) * ray.inverse;
    return min(min(distance.x, distance.y), distance.z);
}

// Moves t, a sample's place on the ray, over the blocks that need no samples,
// up to the first block that does or to the ray's end, and returns how many
// of the samples it passed lie in uniform matter (0 if none).
// - An empty block, whose highest density is at or below troskel, is crossed
//   whole, with its group of 4^3 or 8^3 blocks where the group is as empty.
// - A uniform block (its densities within uniformRange, some above troskel)
//   has samples all alike; a run of such blocks whose means are alike to the
//   first one's is gathered, at that mean (runDensity), to be composited in
//   one step. A uniform block unlike the run ends it.
// t lands on the first sample beyond, so that the ray keeps its grid.
float crossBlocks(inout float t, out float runDensity, Ray ray)
{
    float run = 0.0;
    runDensity = 0.0;
    for (int b = 0; b < maxBlocks; ++b) {
        if (!(t <= ray.end))
            break;
        vec3 probe = entryPoint + ray.direction * t + ray.faceNudge;
        // Where the ray leaves the block and its groups of 4^3 and 8^3 blocks:
        // none depends on the summary, so all three are worked out while it is
        // fetched (a turn's time is mostly spent waiting on that look-up).
        float exitBlock = cellExit(probe, ray, blocks);
        float exitGroup4 = cellExit(probe, ray, blocks / 4.0);
        float exitGroup8 = cellExit(probe, ray, blocks / 8.0);
        // The overlay is matter whatever troskel is: no block of it is crossed unseen.
        vec4 range = overlaid ? texture3D(overlayBlockRange, probe) : texture3D(blockRange, probe);
        float mean = 0.5 * (range.r + range.g);
        bool empty = range.g <= troskel;
        bool alike = range.g - range.r <= uniformRange && (run == 0.0 || abs(mean - runDensity) <= uniformRange);
        if (!empty && !alike)
            break;
        // The widest cell that is as empty: its group of 8^3 or 4^3 blocks, else the block.
        float crossed = range.a <= troskel ? exitGroup8 : (range.b <= troskel ? exitGroup4 : exitBlock);
        float blockEnd = min(t + crossed, ray.end);
        float count = max(ceil((blockEnd - t) / fineStep), 1.0);
        runDensity = empty || run > 0.0 ? runDensity : mean;
        run += empty ? 0.0 : count;
        t += count * fineStep;
    }
    return run;
}

// Moves t over the blocks whose highest density is at or below `level`, with
// their group of 4^3 or 8^3 blocks where the group is as low, up to the first
// block that may hold more or to the ray's end; t keeps the ray's grid. For
// the looks that composite nothing below a level and keep no uniform runs.
// (With a continuous map shown, blockRange is the summary that counts it, so
// that no block of the map is crossed unseen.)
float skipBelow(float t, float level, Ray ray)
{
    for (int b = 0; b < maxBlocks; ++b) {
        if (!(t <= ray.end))
            break;
        vec3 probe = entryPoint + ray.direction * t + ray.faceNudge;
        float exitBlock = cellExit(probe, ray, blocks);
        float exitGroup4 = cellExit(probe, ray, blocks / 4.0);
        float exitGroup8 = cellExit(probe, ray, blocks / 8.0);
        vec4 range = texture3D(blockRange, probe);
        if (range.g > level)
            break;
        float crossed = range.a <= level ? exitGroup8 : (range.b <= level ? exitGroup4 : exitBlock);
        t += max(ceil((min(t + crossed, ray.end) - t) / fineStep), 1.0) * fineStep;
    }
    return t;
}

// The tissue look along a ray, from the sample at t (on entryPoint's line) to
// ray.end: translucent matter in its colours (through the channel gates if
// `gated`), composited front to back.
vec4 castTissue(Ray ray, float t, bool gated)
{
    Light light = lightAlong(ray.direction);

    // The samples lie one voxel apart; t is where the next one lies. The tests
    // are written "!(t <= ray.end)" so that a ray made of undefined inputs (a
    // program missing its vertex stage) ends at once.
    vec4 sum = vec4(0.0);
    vec4 passStart = sum;  // what the ray had gathered before its latest pass
    for (int pass = 0; pass < maxPasses; ++pass) {
        passStart = sum;
        float runDensity;
        float run = crossBlocks(t, runDensity, ray);

        // The run of uniform matter, flatly lit (its gradient is below any
        // surface), takes the place of the pass's first sample; then the
        // samples, one look-up each. All of the pass's look-ups are made before
        // any sample is shaded: they do not depend on one another, so the
        // processor waits on their memory at once rather than in turn (the
        // gradient volume is 64 MiB, and its reads miss the cache often).
        // A sample beyond the ray's end is not taken.
        float next = t + (run > 0.0 ? 0.0 : fineStep);  // where the pass's other samples start
        vec4 first = run > 0.0 ? vec4(0.0, 0.0, 0.0, runDensity) : gradientAndDensity(entryPoint + ray.direction * t);
        // Blocks that hold overlay are never uniform, so a run has none of it.
        vec4 samples[samplesPerPass - 1];
        vec4 marks[samplesPerPass];
        for (int i = 0; i < samplesPerPass - 1; ++i)
            samples[i] = gradientAndDensity(entryPoint + ray.direction * (next + float(i) * fineStep));
        for (int i = 0; i < samplesPerPass; ++i)
            marks[i] = vec4(0.0);
        if (overlaid) {
            marks[0] = run > 0.0 ? vec4(0.0) : overlayAt(entryPoint + ray.direction * t);
            for (int i = 0; i < samplesPerPass - 1; ++i)
                marks[i + 1] = overlayAt(entryPoint + ray.direction * (next + float(i) * fineStep));
        }
        if (run > 0.0 || t <= ray.end)
            sum = composite(sum, shade(first, marks[0], light, gated), max(run, 1.0));
        for (int i = 0; i < samplesPerPass - 1; ++i) {
            if (next + float(i) * fineStep <= ray.end)
                sum = composite(sum, shade(samples[i], marks[i + 1], light, gated), 1.0);
        }
        t = next + float(samplesPerPass - 1) * fineStep;
        if (!(t <= ray.end) || sum.a > opaque)
            break;
    }
    // A ray ended early, once nearly opaque, stands for its whole length: what
    // lies behind would have added little, and is made up for in the colour of
    // the matter its latest pass crossed, which is nearer to it than the rest.
    if (sum.a > opaque) {
        vec4 latest = sum - passStart;
        vec3 behind = latest.a > 1e-4 ? latest.rgb / latest.a : sum.rgb / sum.a;
        sum += (1.0 - sum.a) * vec4(behind, 1.0);
    }
    return sum;
}

// ==== The style's stages ====
// What follows makes this the tissue look. scripts/style writes another
// style's stages in its place, after everything above, which all styles share.

void main()
{
    // From a per-pixel jitter on, so that neighbouring rays sample on other planes.
    gl_FragColor = castTissue(rayFromEye(), jitter() * fineStep, true);
}
