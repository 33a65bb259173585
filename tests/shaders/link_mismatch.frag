#version 110
varying vec4 shade;
void main() { gl_FragColor = shade; }
