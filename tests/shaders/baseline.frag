// The ray caster as it was before the block summary: the baseline that the
// reference comparison measures the current one against. Not used by the viewer.
//
// troskel   density below which matter is transparent
// troskelr  a sample has red only above this density; troskelg and troskelb
//           do the same for green and blue
#version 110

uniform sampler3D vtexture;
uniform float troskel;
uniform float troskelr;
uniform float troskelg;
uniform float troskelb;

varying vec3 entryPoint;
varying vec3 eyePoint;
varying vec3 lightDirection;

const float voxel = 1.0 / 256.0;
const float fineStep = voxel;            // full quality: one sample per voxel inside matter
const int coarseInFine = 8;              // empty space is crossed eight voxels at a time
const float coarseStep = float(coarseInFine) * voxel;
const int maxCoarseSamples = 64;         // the cube's diagonal is 444 voxels
const int maxFinePairs = 224;
const int maxSegments = 16;              // separate stretches of matter along one ray
const float opaque = 0.96;               // early ray termination

const float opacityOnset = 0.04;         // density above troskel over which opacity fades in
const float channelRamp = 0.06;          // density over which a colour channel turns on

const float ambient = 0.22;              // light that reaches surfaces turned away
const float flatDiffuse = 0.65;          // diffuse light inside uniform matter
const float surfaceFrom = 0.03;          // gradient (density change over two voxels) of
const float surfaceFull = 0.12;          //   no surface at all, and of a clear surface
const float shininess = 16.0;
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

// Central differences: the gradient points toward denser matter.
vec3 gradient(vec3 p)
{
    vec3 dx = vec3(voxel, 0.0, 0.0);
    vec3 dy = vec3(0.0, voxel, 0.0);
    vec3 dz = vec3(0.0, 0.0, voxel);
    return vec3(density(p + dx) - density(p - dx),
                density(p + dy) - density(p - dy),
                density(p + dz) - density(p - dz));
}

// How much a gradient says "boundary between tissues" rather than the noise
// of 8-bit values inside uniform matter: 0 to 1.
float surfaceness(vec3 g)
{
    return smoothstep(surfaceFrom, surfaceFull, length(g));
}

// Light 0 for a sample with gradient g: two-sided diffuse (xyz) and specular
// (w). Inside uniform matter the light fades to a flat level rather than
// following random normals.
vec4 lighting(vec3 g, float surface, vec3 toEye, vec3 toLight)
{
    vec3 n = -g / max(length(g), 1e-6);
    float diffuse = mix(flatDiffuse, abs(dot(n, toLight)), surface);
    float specular = surface * pow(abs(dot(n, normalize(toLight + toEye))), shininess);
    vec3 light = gl_LightSource[0].ambient.rgb + ambient +
                 gl_LightSource[0].diffuse.rgb * (diffuse * (1.0 - ambient));
    return vec4(light, specular * specularShare);
}

// Adds one sample behind what the ray has gathered so far.
vec4 composite(vec4 sum, float d, float surface, vec4 light)
{
    float weight = (1.0 - sum.a) * classifyOpacity(d, surface);
    vec3 colour = classifyColour(d) * light.rgb + gl_LightSource[0].specular.rgb * light.w;
    return sum + vec4(weight * colour, weight);
}

// A per-pixel offset of the first sample, so that the sampling planes of
// neighbouring rays differ and no wood-grain bands appear.
float jitter()
{
    return fract(sin(dot(gl_FragCoord.xy, vec2(12.9898, 78.233))) * 43758.5453);
}

void main()
{
    vec3 direction = normalize(entryPoint - eyePoint);
    vec3 toEye = -direction;
    vec3 toLight = normalize(lightDirection);
    float rayEnd = exitDistance(entryPoint, direction);

    // The tests below are written "!(t <= rayEnd)" so that a ray made of
    // undefined inputs (a program missing its vertex stage) ends at once.
    vec4 sum = vec4(0.0);
    float t = jitter() * fineStep;
    float done = t;  // everything before this has been composited
    for (int segment = 0; segment < maxSegments; ++segment) {
        // Skip empty space until a sample is above troskel.
        for (int i = 0; i < maxCoarseSamples; ++i) {
            if (!(t <= rayEnd) || density(entryPoint + direction * t) > troskel)
                break;
            t += coarseStep;
        }
        if (!(t <= rayEnd))
            break;

        // Matter began within the last coarse step: go back and take it one
        // voxel at a time until the ray has left matter for a coarse step. The
        // samples go in pairs that share one gradient, taken between them, and
        // only where one of them is not transparent: a software rasteriser
        // runs every branch for all pixels of a block, so a gradient for each
        // sample would cost nearly twice as much for little gain.
        t = max(t - coarseStep + fineStep, done);
        int emptyPairs = 0;
        for (int i = 0; i < maxFinePairs; ++i) {
            if (!(t <= rayEnd) || emptyPairs > coarseInFine / 2 || sum.a > opaque)
                break;
            vec3 p = entryPoint + direction * t;
            vec3 next = p + direction * fineStep;
            float d = density(p);
            float dNext = t + fineStep <= rayEnd ? density(next) : 0.0;
            if (max(d, dNext) > troskel) {
                vec3 g = gradient(0.5 * (p + next));
                float surface = surfaceness(g);
                vec4 light = lighting(g, surface, toEye, toLight);
                sum = composite(sum, d, surface, light);
                sum = composite(sum, dNext, surface, light);
                emptyPairs = 0;
            } else {
                emptyPairs += 1;
            }
            t += 2.0 * fineStep;
        }
        done = t;
        if (!(t <= rayEnd) || sum.a > opaque)
            break;
    }
    gl_FragColor = sum;
}
