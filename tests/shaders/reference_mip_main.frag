// The brute-force maximum intensity projection: appended to the mip style's
// fragment shader in place of its main(), so it colours with the same
// function. Quarter-voxel steps, no skipping.

const float quarterStep = 0.25 * voxel;
const int maxQuarterSteps = 1780;  // the cube's diagonal is 444 voxels

void main()
{
    vec3 direction = normalize(entryPoint - eyePoint);
    float rayEnd = exitDistance(entryPoint, direction);
    float highest = 0.0;
    float t = 0.0;
    for (int i = 0; i < maxQuarterSteps; ++i) {
        if (!(t <= rayEnd))
            break;
        highest = max(highest, density(entryPoint + direction * t));
        t += quarterStep;
    }
    highest = max(highest, density(entryPoint + direction * rayEnd));
    gl_FragColor = vec4(projectionColour(highest), 1.0);
}
