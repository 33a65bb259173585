// Maximum intensity projection: each pixel shows the highest density along
// its ray through the volume, as angiography and bright lesions are read.
// The grey rises from black at troskel to white at density 1.
//
// troskel   density at or below which nothing shows
// troskelr  red shows only above this density; troskelg and troskelb do the
//           same for green and blue (at the start thresholds all three pass
//           and the picture is grey)
//
// An overlay: a continuous map shows its own highest level along the ray in
// its colours over the grey projection (a glass brain); a label map colours
// the pixel with the label found where the highest density lies.

const int refinements = 2;  // halvings of the step around the highest sample: to a quarter of a voxel,
                            // the peak found within an eighth, as the brute-force reference finds it

// The highest density along the ray. Blocks whose highest density is at or
// below both troskel and the highest found so far are crossed unseen; the
// others are sampled one voxel apart, all of a pass's look-ups made before
// any is compared. Filtered density is a tent across a one-voxel structure,
// so a sample one voxel apart is never farther than half a voxel from its
// peak: a thin bright sheet is met, and the search around the highest sample
// then climbs to its peak.
// Also gives where on the ray the highest density lies (below 0 if nothing
// shows) and, with a continuous map shown, the map's highest level (the
// block summary then counts the map, so none of it is crossed unseen).
float highestDensity(Ray ray, out float place, out float mapHighest)
{
    mapHighest = 0.0;
    float t = 0.0;
    float highest = 0.0;
    float atHighest = -1.0;  // where on the ray it was found; below 0 if nothing shows
    for (int pass = 0; pass < maxPasses; ++pass) {
        t = skipBelow(t, max(troskel, highest), ray);
        if (!(t <= ray.end))
            break;
        // The last sample of a ray lies on its exit face.
        float samples[samplesPerPass];
        for (int i = 0; i < samplesPerPass; ++i)
            samples[i] = density(entryPoint + ray.direction * min(t + float(i) * fineStep, ray.end));
        if (overlaid && overlayKind > 1.5) {
            for (int i = 0; i < samplesPerPass; ++i)
                mapHighest = max(mapHighest, texture3D(overlayVolume,
                                                       entryPoint + ray.direction * min(t + float(i) * fineStep, ray.end)).r);
        }
        for (int i = 0; i < samplesPerPass; ++i) {
            float at = min(t + float(i) * fineStep, ray.end);
            bool higher = samples[i] > highest && t + float(i - 1) * fineStep < ray.end;
            highest = higher ? samples[i] : highest;
            atHighest = higher ? at : atHighest;
        }
        t += float(samplesPerPass) * fineStep;
    }
    // Around the highest sample: the better of the two points half a step to
    // either side, again and again, within the cube.
    float step = 0.5 * fineStep;
    for (int i = 0; i < refinements; ++i) {
        float before = clamp(atHighest - step, 0.0, ray.end), after = clamp(atHighest + step, 0.0, ray.end);
        float dBefore = density(entryPoint + ray.direction * before);
        float dAfter = density(entryPoint + ray.direction * after);
        bool better = max(dBefore, dAfter) > highest && atHighest >= 0.0;
        atHighest = better ? (dBefore > dAfter ? before : after) : atHighest;
        highest = better ? max(dBefore, dAfter) : highest;
        step *= 0.5;
    }
    place = atHighest;
    return highest;
}

// The highest density as grey above troskel, each channel gated by its own threshold.
vec3 projectionColour(float highest)
{
    float grey = troskel < 1.0 ? clamp((highest - troskel) / (1.0 - troskel), 0.0, 1.0) : 0.0;
    return grey * channelGates(highest);
}

void main()
{
    // From the entry point, with no per-pixel jitter: the search around the
    // highest sample finds the peak wherever the samples fall, so their planes
    // cannot band, and neighbouring rays, run in lockstep, keep in step.
    Ray ray = rayFromEye();
    float place, mapHighest;
    float highest = highestDensity(ray, place, mapHighest);
    vec3 colour = projectionColour(highest);
    if (overlaid) {
        float grey = troskel < 1.0 ? clamp((highest - troskel) / (1.0 - troskel), 0.0, 1.0) : 0.0;
        vec4 label = overlayKind < 1.5 && place >= 0.0 ? overlayAt(entryPoint + ray.direction * place) : vec4(0.0);
        colour = mix(colour, label.rgb * (0.4 + 0.6 * grey), label.a);
        vec3 mapColour = texture1D(overlayColours, mapHighest * (255.0 / 256.0) + 0.5 / 256.0).rgb;
        colour = mapHighest > 0.5 / 255.0 ? mapColour : colour;
    }
    gl_FragColor = vec4(colour, 1.0);
}
