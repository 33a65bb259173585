#version 110
void main() { gl_Position = ftransform() }
