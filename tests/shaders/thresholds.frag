#version 110
// Shows three thresholds as colour, so a test can read them back from the pixels.
uniform float troskel;
uniform float troskelr;
uniform float troskelg;
void main() { gl_FragColor = vec4(troskel, troskelr, troskelg, 1.0); }
