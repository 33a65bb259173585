// The brute-force reference of the ray caster: appended to the viewer's own
// fragment shader in place of its main(), so it classifies and lights with
// the same functions. Quarter-voxel steps with the opacity corrected for them,
// a central-difference gradient at every sample, no skipping, and rays ended
// only at 0.999 opacity: slow, and what the real shader should look like.

const float quarterStep = 0.25 * voxel;
const int maxQuarterSteps = 1780;  // the cube's diagonal is 444 voxels

vec3 centralGradient(vec3 p)
{
    vec3 dx = vec3(voxel, 0.0, 0.0);
    vec3 dy = vec3(0.0, voxel, 0.0);
    vec3 dz = vec3(0.0, 0.0, voxel);
    return vec3(density(p + dx) - density(p - dx), density(p + dy) - density(p - dy),
                density(p + dz) - density(p - dz));
}

void main()
{
    vec3 direction = normalize(entryPoint - eyePoint);
    Light light = lightAlong(direction);
    float rayEnd = exitDistance(entryPoint, direction);
    vec4 sum = vec4(0.0);
    float t = jitter() * quarterStep;
    for (int i = 0; i < maxQuarterSteps; ++i) {
        if (!(t <= rayEnd) || sum.a > 0.999)
            break;
        vec3 p = entryPoint + direction * t;
        float d = density(p);
        if (d > troskel)
            sum = composite(sum, shade(vec4(centralGradient(p), d), vec4(0.0), light, true), 0.25);
        t += quarterStep;
    }
    gl_FragColor = sum;
}
