// Ray caster, fragment stage: marches from the entry point away from the eye
// until the ray leaves the unit cube or is opaque, compositing front to back.
// Each ray goes through two stages in turn: it crosses the blocks that need
// no samples (the block summary on unit 1 tells which: nothing in them is
// above troskel, or they are uniform and composited in one closed-form
// step), then it takes the next few samples one voxel apart. A sample costs
// one look-up: the gradient volume on unit 2 holds each voxel's density and
// central differences, so filtering it returns a sample's density and its
// gradient together, and every sample is classified and lit on its own.
//
// troskel   density below which matter is transparent
// troskelr  a sample has red only above this density; troskelg and troskelb
//           do the same for green and blue
#version 110

uniform sampler3D vtexture;        // the volume itself (the gradient volume holds its density too)
uniform sampler3D blockRange;      // per block of 4^3 voxels: the lowest (r) and highest (g)
                                   // density that filtering can return inside it, and the
                                   // highest in its group of 4^3 (b) and 8^3 (a) blocks
uniform sampler3D gradientVolume;  // per voxel: central differences along x, y, z (rgb, as
                                   // 2 * texel - 256/255) and density (a)
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
const int samplesPerPass = 2;            // samples taken between two looks at the summary
const int maxPasses = 224;               // every pass moves a ray on by 2 voxels or more,
                                         // and the cube's diagonal is 444 voxels
const float opaque = 0.99;               // early ray termination; the rest is made up for at the end
const float uniformRange = 2.0 / 255.0;  // a block whose densities differ by no more is uniform:
                                         // its gradient is below any surface, its light flat

const float opacityOnset = 0.04;         // density above troskel over which opacity fades in
const float channelRamp = 0.06;          // density over which a colour channel turns on

const float ambient = 0.22;              // light that reaches surfaces turned away
const float flatDiffuse = 0.65;          // diffuse light inside uniform matter
const float surfaceFrom = 0.03;          // gradient (density change over two voxels) of
const float surfaceFull = 0.12;          //   no surface at all, and of a clear surface
const float specularShare = 0.2;

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
    float dense = smoothstep(0.55, 0.68, d) * (1.0 - smoothstep(0.8, 0.9, d));
    float tissue = mix(0.04, 0.10, smoothstep(0.2, 0.38, d));
    tissue = mix(tissue, 0.07, smoothstep(0.8, 0.92, d));
    tissue = mix(tissue, 0.35, dense * (1.0 - surface));
    return tissue * smoothstep(0.0, opacityOnset, d - troskel);
}

// Tissue colour by density (fluid blue, soft tissue rose, dense matter amber,
// bone ivory); each channel is let through only above its own threshold.
vec3 classifyColour(float d)
{
    vec3 colour = mix(vec3(0.35, 0.55, 1.0), vec3(0.95, 0.55, 0.5), smoothstep(0.2, 0.38, d));
    colour = mix(colour, vec3(1.0, 0.78, 0.3), smoothstep(0.45, 0.7, d));
    colour = mix(colour, vec3(1.0, 0.96, 0.86), smoothstep(0.8, 0.92, d));
    vec3 gate = smoothstep(vec3(troskelr, troskelg, troskelb),
                           vec3(troskelr, troskelg, troskelb) + channelRamp, vec3(d));
    return colour * gate;
}

// How much a gradient says "boundary between tissues" rather than the noise
// of 8-bit values inside uniform matter: 0 to 1.
float surfaceness(vec3 g)
{
    return smoothstep(surfaceFrom, surfaceFull, length(g));
}

// Light 0 for a sample with gradient g: two-sided diffuse (xyz) and specular
// (w), with the halfway vector between light and eye. Inside uniform matter
// the light fades to a flat level rather than following random normals.
vec4 lighting(vec3 g, float surface, vec3 toLight, vec3 halfway)
{
    vec3 n = g * inversesqrt(max(dot(g, g), 1e-12));
    float diffuse = mix(flatDiffuse, abs(dot(n, toLight)), surface);
    float highlight = abs(dot(n, halfway));
    highlight *= highlight;  // raised to the power 16 (the shininess) by squaring
    highlight *= highlight;
    highlight *= highlight;
    highlight *= highlight;
    vec3 light = gl_LightSource[0].ambient.rgb + ambient +
                 gl_LightSource[0].diffuse.rgb * (diffuse * (1.0 - ambient));
    return vec4(light, surface * highlight * specularShare);
}

// Adds `count` samples of density d behind what the ray has gathered so far,
// all lit alike, in one step.
vec4 composite(vec4 sum, float d, float count, float surface, vec4 light)
{
    float alpha = 1.0 - pow(1.0 - classifyOpacity(d, surface), count);
    vec3 colour = classifyColour(d) * light.rgb + gl_LightSource[0].specular.rgb * light.w;
    return sum + (1.0 - sum.a) * alpha * vec4(colour, 1.0);
}

// Adds one sample (gradient and density, as gradientAndDensity gives them),
// classified and lit by its own gradient, behind what the ray has gathered.
vec4 compositeSample(vec4 sum, vec4 sample, vec3 toLight, vec3 halfway)
{
    float surface = surfaceness(sample.xyz);
    return composite(sum, sample.w, 1.0, surface, lighting(sample.xyz, surface, toLight, halfway));
}

// A per-pixel offset of the first sample, so that the sampling planes of
// neighbouring rays differ and no wood-grain bands appear.
float jitter()
{
    return fract(sin(dot(gl_FragCoord.xy, vec2(12.9898, 78.233))) * 43758.5453);
}

// Whether a block, from its range in the summary (lowest in r, highest in g),
// must have its samples taken: it holds something visible that is not uniform.
bool needsSamples(vec4 range)
{
    return range.g > troskel && range.g - range.r > uniformRange;
}

// Distance along the ray from p to where it leaves the cell that holds p, on a
// grid of `cells` cells along each axis of the cube, each `cellSize` wide;
// `ahead` is 1 along each axis the ray runs forward on, 0 where it runs back.
float blockExit(vec3 p, vec3 inverse, vec3 ahead, float cells, float cellSize)
{
    vec3 cell = floor(p * cells);
    vec3 far = (cell + ahead) * cellSize;
    vec3 distance = (far - p) * inverse;
    return min(min(distance.x, distance.y), distance.z);
}

void main()
{
    // The ray, and what every sample on it shares.
    vec3 direction = normalize(entryPoint - eyePoint);
    // No component exactly zero, so that every block face has a finite distance.
    vec3 inverse = 1.0 / (direction + vec3(equal(direction, vec3(0.0))) * 1e-7);
    vec3 ahead = step(0.0, inverse);
    vec3 toLight = normalize(lightDirection);
    vec3 halfway = normalize(toLight - direction);
    vec4 flatLight = vec4(lighting(vec3(0.0), 0.0, toLight, halfway).rgb, 0.0);  // the light of uniform matter
    vec3 faceNudge = direction * (1e-4 * voxel);  // a sample on a block's face counts in the block ahead
    float rayEnd = exitDistance(entryPoint, direction);

    // The samples lie one voxel apart, from a per-pixel jitter on; t is where
    // the next one lies. The tests are written "!(t <= rayEnd)" so that a ray
    // made of undefined inputs (a program missing its vertex stage) ends at once.
    vec4 sum = vec4(0.0);
    float t = jitter() * fineStep;
    for (int pass = 0; pass < maxPasses; ++pass) {
        // Cross the blocks that need no samples. An empty block, one whose
        // highest density is at or below troskel, is crossed whole, with its
        // group of 4^3 or 8^3 blocks where the group is as empty; a uniform
        // block's samples are alike and flatly lit, so they are composited
        // at its mean density in one step. The ray lands on the first sample
        // beyond, so that it keeps its grid.
        for (int b = 0; b < maxBlocks; ++b) {
            if (!(t <= rayEnd) || sum.a > opaque)
                break;
            vec3 probe = entryPoint + direction * t + faceNudge;
            vec4 range = texture3D(blockRange, probe);
            if (needsSamples(range))
                break;
            float group = range.a <= troskel ? 8.0 : (range.b <= troskel ? 4.0 : 1.0);
            float blockEnd = min(t + blockExit(probe, inverse, ahead, blocks / group, group / blocks), rayEnd);
            float count = max(ceil((blockEnd - t) / fineStep), 1.0);
            if (range.g > troskel)
                sum = composite(sum, 0.5 * (range.r + range.g), count, 0.0, flatLight);
            t += count * fineStep;
        }
        if (!(t <= rayEnd) || sum.a > opaque)
            break;

        // Take the next samples, one look-up each; a sample beyond the ray's
        // end is not taken.
        for (int i = 0; i < samplesPerPass; ++i) {
            if (t <= rayEnd)
                sum = compositeSample(sum, gradientAndDensity(entryPoint + direction * t), toLight, halfway);
            t += fineStep;
        }
        if (!(t <= rayEnd) || sum.a > opaque)
            break;
    }
    // A ray ended early, once nearly opaque, stands for its whole length: what
    // lies behind would have added little, in the colours already gathered.
    if (sum.a > opaque)
        sum /= sum.a;
    gl_FragColor = sum;
}
