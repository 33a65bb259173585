// Ray caster, vertex stage: each corner of the proxy cube carries its 3D texture
// coordinate, where the line of sight enters the volume. The eye and light 0
// are brought into texture space once per vertex, so the fragment stage can
// march straight through the volume for any turn or zoom.
#version 110

varying vec3 entryPoint;   // texture coordinate where the ray enters the cube
varying vec3 eyePoint;     // the eye, in texture coordinates
varying vec3 lightDirection;  // toward light 0, in texture coordinates

void main()
{
    entryPoint = gl_MultiTexCoord0.xyz;

    // The cube spans -1..1 in model coordinates and 0..1 in texture coordinates.
    vec4 eye = gl_ModelViewMatrixInverse * vec4(0.0, 0.0, 0.0, 1.0);
    eyePoint = eye.xyz / eye.w * 0.5 + 0.5;

    // Light 0 is a direction in view coordinates (w = 0): turn it with the inverse view.
    vec4 light = gl_LightSource[0].position;
    lightDirection = (gl_ModelViewMatrixInverse * vec4(light.xyz, 0.0)).xyz;

    gl_Position = ftransform();
}
