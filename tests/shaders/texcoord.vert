#version 110
// Hands on the cube's 3D texture coordinate, for tests that read it back as colour.
void main() { gl_TexCoord[0] = gl_MultiTexCoord0; gl_Position = ftransform(); }
