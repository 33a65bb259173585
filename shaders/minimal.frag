// Shows the volume as sampled where the line of sight enters the cube.
#version 110

uniform sampler3D vtexture;

void main()
{
    float density = texture3D(vtexture, gl_TexCoord[0].xyz).r;
    gl_FragColor = vec4(vec3(density), 1.0);
}
