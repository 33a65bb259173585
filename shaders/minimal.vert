// Passes the cube's position through the fixed transforms and hands on the
// 3D texture coordinate of each corner, which spans the volume 0..1 on each axis.
#version 110

void main()
{
    gl_TexCoord[0] = gl_MultiTexCoord0;
    gl_Position = ftransform();
}
