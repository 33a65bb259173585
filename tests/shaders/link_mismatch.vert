#version 110
// Compiles, but its varying has another type than the fragment shader's.
varying vec3 shade;
void main() { shade = vec3(1.0); gl_Position = ftransform(); }
