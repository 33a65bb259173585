// Cut planes: the tissue look with part of the volume taken away by three
// planes, one across each axis of the volume, and the face of the cut drawn
// as a section, opaque and flatly lit, wherever it passes through matter.
//
// troskel   density below which matter is transparent, as in the tissue look
// troskelr  cuts away what lies at x below troskelr - 0.1: 7 cuts from the
//           patient's right (the screen's left at the start) 2.56 voxels deeper
//           a press, 1 brings it back
// troskelg  cuts away what lies at y above 1.1 - troskelg: 8 cuts from the top
// troskelb  cuts away what lies at z above 1.1 - troskelb: 9 cuts from the front
// (x, y and z run from 0 to 1 across the volume; at the start nothing is cut)
//
// An overlay shows on the section in its own colours over the tissue's (an
// atlas's labels on a cut brain), wherever it lies, whatever troskel is; the
// kept part behind shows it as the tissue look does.

const float sectionOverlay = 0.75;  // how much of the overlay's colour a section takes

// The part of the cube that is kept, between its lowest and highest corner.
vec3 keptLow()
{
    return vec3(max(troskelr - 0.1, 0.0), 0.0, 0.0);
}

vec3 keptHigh()
{
    return vec3(1.0, min(1.1 - troskelg, 1.0), min(1.1 - troskelb, 1.0));
}

// The section where the ray enters the kept part through a cut: the matter
// there in its tissue colour, opaque and flatly lit; clear where it is below
// troskel and holds no overlay.
vec4 section(vec3 p, Ray ray)
{
    Light light = lightAlong(ray.direction);
    float d = density(p);
    vec3 colour = tissueColour(d);
    bool shown = d > troskel;
    if (overlaid) {
        vec4 mark = overlayAt(p);
        colour = mix(colour, mark.rgb, sectionOverlay * mark.a);
        shown = shown || mark.a > 0.0;
    }
    return shown ? vec4(colour * (light.ambient + light.diffuse * flatDiffuse), 1.0) : vec4(0.0);
}

void main()
{
    Ray ray = rayFromEye();
    // Where the ray enters and leaves the kept part (it entered the cube at 0).
    vec3 toLow = (keptLow() - entryPoint) * ray.inverse, toHigh = (keptHigh() - entryPoint) * ray.inverse;
    vec3 nearest = min(toLow, toHigh), farthest = max(toLow, toHigh);
    float enter = max(max(nearest.x, nearest.y), max(nearest.z, 0.0));
    float leave = min(min(farthest.x, farthest.y), min(farthest.z, ray.end));
    // A ray that enters the kept part after the cube itself crosses a cut there.
    vec4 face = enter > 0.0 ? section(entryPoint + ray.direction * enter, ray) : vec4(0.0);
    ray.end = leave;
    vec4 behind = face.a > 0.0 || !(enter <= leave) ? vec4(0.0) : castTissue(ray, enter + jitter() * fineStep, false);
    gl_FragColor = face.a > 0.0 ? face : behind;
}
