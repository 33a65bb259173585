// Iso-surface: each pixel shows the first place along its ray where the
// density rises through troskel, as an opaque solid lit by light 0, in the
// tissue colour of the matter just beneath it (skin over soft tissue rose,
// bone ivory). Raising troskel peels skin, then soft tissue, down to bone.
//
// troskel   the density of the surface
// troskelr, troskelg, troskelb  not used: the surface keeps its colours
//
// An overlay paints the surface: where it lies at the surface or within two
// voxels beneath it, the surface takes its colour, lit as the surface is (an
// atlas on the brain).

const int refinements = 6;           // halvings of the step that straddles the surface: 1/64 voxel
const float beneath = 2.0 * voxel;   // where the surface's colour is taken, into the matter
const float solidAmbient = 0.25;     // light on the sides turned away from the light

// Where along the ray the density first rises above troskel, to a small
// fraction of a voxel; -1 if it never does. Blocks at or below troskel are
// crossed unseen, the rest sampled one voxel apart; the crossing is then
// narrowed down between the two samples that straddle it.
float firstCrossing(Ray ray)
{
    float t = 0.0;
    float hit = -1.0;
    for (int pass = 0; pass < maxPasses; ++pass) {
        t = skipBelow(t, troskel, ray);
        if (!(t <= ray.end))
            break;
        // The last sample of a ray lies on its exit face.
        float samples[samplesPerPass];
        for (int i = 0; i < samplesPerPass; ++i)
            samples[i] = density(entryPoint + ray.direction * min(t + float(i) * fineStep, ray.end));
        for (int i = samplesPerPass - 1; i >= 0; --i) {
            float at = min(t + float(i) * fineStep, ray.end);
            hit = samples[i] > troskel && t + float(i - 1) * fineStep < ray.end ? at : hit;
        }
        if (hit >= 0.0)
            break;
        t += float(samplesPerPass) * fineStep;
    }
    // Between the last sample below troskel and the first above it (the cube's
    // face itself where the ray starts in matter).
    float below = max(hit - fineStep, 0.0), above = hit;
    for (int i = 0; i < refinements; ++i) {
        float middle = 0.5 * (below + above);
        bool inside = density(entryPoint + ray.direction * middle) > troskel;
        below = inside ? below : middle;
        above = inside ? middle : above;
    }
    return hit >= 0.0 ? above : -1.0;
}

// The surface at p, lit as a solid: its outward normal is against the
// gradient, which points into denser matter; where the gradient vanishes
// (a face of the cube cutting through uniform matter) it faces the eye.
vec3 shadeSurface(vec3 p, Ray ray)
{
    Light light = lightAlong(ray.direction);
    vec3 g = gradientAndDensity(p).xyz;
    vec3 inward = dot(g, g) > 1e-8 ? normalize(g) : ray.direction;
    vec3 normal = -inward;
    float diffuse = max(dot(normal, light.toLight), 0.0);
    float highlight = pow(max(dot(normal, light.halfway), 0.0), 16.0);
    vec3 colour = tissueColour(density(p + inward * beneath));
    if (overlaid) {  // the first of the overlay found at the surface, one voxel and two beneath it
        vec4 at = overlayAt(p), below = overlayAt(p + inward * voxel), deeper = overlayAt(p + inward * beneath);
        vec4 mark = at.a > 0.0 ? at : (below.a > 0.0 ? below : deeper);
        colour = mix(colour, mark.rgb, mark.a);
    }
    return colour * (gl_LightSource[0].ambient.rgb + solidAmbient + light.diffuse * diffuse) +
           light.specular * highlight;
}

void main()
{
    // No jitter: the crossing is found to a fraction of a voxel, so the surface does not band.
    Ray ray = rayFromEye();
    float hit = firstCrossing(ray);
    gl_FragColor = hit >= 0.0 ? vec4(shadeSurface(entryPoint + ray.direction * hit, ray), 1.0) : vec4(0.0);
}
