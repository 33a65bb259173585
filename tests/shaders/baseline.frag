// Ray caster, fragment stage: marches from the entry point away from the eye
// until the ray leaves the unit cube or is opaque, compositing front to back.
// The block summary on unit 1 tells it where nothing can be seen, so it crosses
// such blocks whole and takes every voxel everywhere else. Only the samples
// of visible matter pay for a gradient and light.
//
// The loops are laid out for a software rasteriser as much as for a graphics
// card: it runs every branch of an "if" for a whole group of pixels, and a
// loop until its last pixel is done, so work is saved only by leaving a loop,
// never by a branch inside one. So the march is one loop whose every pass
// takes eight volume look-ups, and each ray spends them on what it needs at
// that point: eight samples ahead where nothing is visible yet, two samples
// and their gradient in visible matter, or five samples that share a cheaper
// gradient and are classified as two pairs and one, once the ray is nearly
// opaque.
//
// troskel   density below which matter is transparent
// troskelr  a sample has red only above this density; troskelg and troskelb
//           do the same for green and blue
#version 110

uniform sampler3D vtexture;
uniform sampler3D blockRange;  // per block of 4^3 voxels: the lowest (r) and highest (g)
                               // density that filtering can return inside it, and the
                               // highest in its group of 4^3 (b) and 8^3 (a) blocks
uniform float troskel;
uniform float troskelr;
uniform float troskelg;
uniform float troskelb;

varying vec3 entryPoint;
varying vec3 eyePoint;
varying vec3 lightDirection;

const float voxel = 1.0 / 256.0;
const vec3 alongX = vec3(voxel, 0.0, 0.0);  // one voxel along each of the volume's axes
const vec3 alongY = vec3(0.0, voxel, 0.0);
const vec3 alongZ = vec3(0.0, 0.0, voxel);
const float fineStep = voxel;            // full quality: one sample per voxel inside matter
const float blocks = 64.0;               // blocks along each axis of the summary
const int maxBlocks = 192;               // a ray crosses at most 3 * 64 blocks
const int maxPasses = 896;               // every two passes move a ray on by at least two voxels,
                                         // and the cube's diagonal is 444 voxels
const float opaque = 0.99;               // early ray termination; the rest is made up for at the end
const float seenFully = 0.9;             // once a ray is this opaque, what lies behind shows through
                                         // at most a tenth: a cheaper gradient serves five samples
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
    vec3 direction = normalize(entryPoint - eyePoint);
    // No component exactly zero, so that every block face has a finite distance.
    vec3 inverse = 1.0 / (direction + vec3(equal(direction, vec3(0.0))) * 1e-7);
    vec3 toEye = -direction;
    vec3 stride = direction * fineStep;  // from one sample to the next
    vec3 toLight = normalize(lightDirection);
    vec3 halfway = normalize(toLight + toEye);
    vec3 flatLight = lighting(vec3(0.0), 0.0, toLight, halfway).rgb;  // the light of uniform matter
    // A sample on a block's face counts as in the block the ray enters.
    vec3 faceNudge = direction * (1e-4 * voxel);
    float rayEnd = exitDistance(entryPoint, direction);
    vec3 ahead = step(0.0, inverse);

    // The ray's samples lie one voxel apart, offset by the jitter. Between
    // passes it holds: t, where its next sample lies; d, the density there;
    // lit, whether the pass is to composite from there on; and done, whether
    // the sample at t is composited already (the last one of a uniform run).
    // Blocks whose highest density is at or below troskel hold nothing visible
    // and are crossed whole; a run of uniform blocks is composited in one
    // closed-form step. Every other sample is taken, so no matter thinner than
    // a block is ever stepped over. The tests are written "!(t <= rayEnd)" so
    // that a ray made of undefined inputs (a program missing its vertex stage)
    // ends at once.
    vec4 sum = vec4(0.0);
    float t = jitter() * fineStep;
    float d = density(entryPoint + direction * t);
    bool lit = d > troskel;
    bool done = false;
    for (int pass = 0; pass < maxPasses; ++pass) {
        // Cross empty and uniform blocks until one needs its samples. An empty
        // block in an empty group of 8^3 or 4^3 blocks is crossed with its group.
        // Uniform blocks alike to the last byte form a run, whose samples are
        // alike and flatly lit, so the pass composites them in one closed-form
        // step; a block of another range ends the run, to be crossed by the
        // next pass. A ray about to composite does not cross the empty block it
        // stands in: its first sample is there, the second beyond.
        bool crossed = false;
        bool crossedUniform = false;  // whether the crossing ends in a run
        bool runEnded = false;        // by a uniform block of another range
        vec2 run = vec2(0.0);         // the run's range
        float runLength = 0.0;        // and its number of samples
        float dNext = 0.0;            // the density of the block that ended it
        for (int b = 0; b < maxBlocks; ++b) {
            if (!(t <= rayEnd))
                break;
            vec3 probe = entryPoint + direction * t + faceNudge;
            vec4 range = texture3D(blockRange, probe);
            bool uniformBlock = range.g > troskel && !needsSamples(range);
            bool otherRange = crossedUniform && range.rg != run;
            runEnded = otherRange && uniformBlock;
            dNext = 0.5 * (range.r + range.g);
            if (needsSamples(range) || done || (lit && range.g <= troskel) || otherRange)
                break;
            // Blocks along each edge of the block or empty group crossed.
            float group = range.a <= troskel ? 8.0 : (range.b <= troskel ? 4.0 : 1.0);
            // The first sample of the ray's grid beyond this block or group.
            float blockEnd = min(t + blockExit(probe, inverse, ahead, blocks / group, group / blocks), rayEnd);
            float next = t + max(ceil((blockEnd - t) / fineStep), 1.0) * fineStep;
            if (uniformBlock) {
                runLength += (next - t) / fineStep;
                run = range.rg;
            }
            crossedUniform = uniformBlock;
            t = next;
            crossed = true;
        }
        float dUniform = 0.5 * (run.x + run.y);
        // Empty blocks up to the ray's end: nothing is left to see.
        if (crossed && !crossedUniform && !(t < rayEnd))
            break;
        // After a crossing the ray stands on a sample whose density it knows
        // well enough: the first of the uniform block that ended a run; or,
        // stepping back, the last one of a run, composited by this pass, or
        // the last but one of an empty block, below troskel, so that the pass
        // takes the sample before the first one beyond.
        if (crossed && !runEnded) {
            t -= (crossedUniform ? 1.0 : 2.0) * fineStep;
            d = crossedUniform ? dUniform : 0.0;
            done = crossedUniform;
        }
        if (runEnded)
            d = dNext;
        lit = lit && !crossed;
        if (!(t <= rayEnd) || sum.a > opaque)
            break;

        // The pass's eight look-ups. A ray in visible matter takes the next
        // two samples and the gradient midway between t and the first of
        // them: pointing toward denser matter, as a change over two voxels
        // (which the surface thresholds expect), by central differences along
        // the volume's axes. Taken along the axes rather than along the ray,
        // its error does not turn with the view. The samples at t and t + 1
        // share it; the second one taken is where the next pass begins. Once
        // the ray is nearly opaque it takes five samples instead, sharing a
        // one-sided gradient at the third. Any other ray takes the next eight
        // samples. A sample beyond the ray's end counts as empty.
        bool dim = lit && sum.a > seenFully;
        bool full = lit && !dim;
        vec3 first = entryPoint + direction * t;
        vec3 second = first + stride;
        vec3 third = second + stride;
        vec3 midway = first + 0.5 * stride;  // between the pair's samples
        float l1 = t + fineStep <= rayEnd ? density(second) : 0.0;
        float l2 = t + 2.0 * fineStep <= rayEnd ? density(third) : 0.0;
        float l3 = full || t + 3.0 * fineStep <= rayEnd ? density(full ? midway + alongX : first + 3.0 * stride) : 0.0;
        float l4 = full || t + 4.0 * fineStep <= rayEnd ? density(full ? midway - alongX : first + 4.0 * stride) : 0.0;
        float l5 = full || t + 5.0 * fineStep <= rayEnd ? density(full ? midway + alongY : first + 5.0 * stride) : 0.0;
        float l6 = lit || t + 6.0 * fineStep <= rayEnd ?
                       density(full ? midway - alongY : (dim ? third + alongX : first + 6.0 * stride)) : 0.0;
        float l7 = lit || t + 7.0 * fineStep <= rayEnd ?
                       density(full ? midway + alongZ : (dim ? third + alongY : first + 7.0 * stride)) : 0.0;
        float l8 = lit || t + 8.0 * fineStep <= rayEnd ?
                       density(full ? midway - alongZ : (dim ? third + alongZ : first + 8.0 * stride)) : 0.0;

        // Visible matter: composite the pair; or, once nearly opaque, the five
        // samples as two pairs and one, each pair classified at its mean
        // density, since what lies there shows through at most a tenth. The
        // first composite also takes the run of uniform blocks crossed, which
        // a ray composites whatever else it does, and leaves out a sample
        // composited already.
        vec3 g = dim ? 2.0 * (vec3(l6, l7, l8) - l2) : vec3(l3 - l4, l5 - l6, l7 - l8);
        float surface = surfaceness(g);
        vec4 light = lighting(g, surface, toLight, halfway);
        float dHead = crossedUniform ? dUniform : (dim ? (done ? l1 : 0.5 * (d + l1)) : d);
        float nHead = crossedUniform ? runLength : (!lit ? 0.0 : (dim ? 2.0 : 1.0) - (done ? 1.0 : 0.0));
        vec4 head = composite(sum, dHead, nHead, crossedUniform ? 0.0 : surface,
                              crossedUniform ? vec4(flatLight, 0.0) : light);
        vec4 pairSum = composite(head, dim ? 0.5 * (l2 + l3) : l1, dim ? 2.0 : 1.0, surface, light);
        vec4 dimSum = composite(pairSum, l4, 1.0, surface, light);

        // Nothing visible yet: the ray's samples pair up from t on; move on to
        // the pair that holds the first sample above troskel, or past all eight.
        float move = 8.0;
        float dAhead = l8;
        bool found = l8 > troskel;
        if (max(l6, l7) > troskel) { move = 6.0; dAhead = l6; found = true; }
        if (max(l4, l5) > troskel) { move = 4.0; dAhead = l4; found = true; }
        if (max(l2, l3) > troskel) { move = 2.0; dAhead = l2; found = true; }
        if (l1 > troskel) { move = 0.0; dAhead = d; found = true; }

        if (lit) {
            sum = dim ? dimSum : pairSum;
            t += (dim ? 5.0 : 2.0) * fineStep;
            d = dim ? l5 : l2;
        } else {
            sum = head;
            t += move * fineStep;
            d = dAhead;
        }
        done = done && !lit && move == 0.0;
        lit = lit ? d > troskel : found;
        if (!(t <= rayEnd) || sum.a > opaque)
            break;
    }
    // A ray ended early, once nearly opaque, stands for its whole length: what
    // lies behind would have added little, in the colours already gathered.
    if (sum.a > opaque)
        sum /= sum.a;
    gl_FragColor = sum;
}
