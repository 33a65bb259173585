#!/usr/bin/python3
"""The peer of the frame-rate benchmark: VTK's fixed-point CPU ray cast mapper
on the same volume, window size and view as the viewer, at one sample per
voxel, with shading and a transfer function like the viewer's tissue table,
or in its maximum-intensity blend mode as the viewer's mip style.

    peer.py VOLUME VIEW SECONDS [BLEND]    VIEW: default, turned or peeled
                                           BLEND: composite (the default) or mip

Prints the frame rates of the frames drawn in SECONDS after a warm-up, one per line.
"""
import sys
import time

import vtk

volume_path, view, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
blend = sys.argv[4] if len(sys.argv) > 4 else "composite"
side = 256
troskel = 0.45 if view == "peeled" else 0.1  # the viewer's threshold after 35 presses of "+"

reader = vtk.vtkImageReader()
reader.SetFileName(volume_path)
reader.SetDataScalarTypeToUnsignedChar()
reader.SetNumberOfScalarComponents(1)
reader.SetFileDimensionality(3)
reader.SetDataExtent(0, side - 1, 0, side - 1, 0, side - 1)
reader.Update()

mapper = vtk.vtkFixedPointVolumeRayCastMapper()
mapper.SetInputConnection(reader.GetOutputPort())
mapper.SetAutoAdjustSampleDistances(0)
mapper.SetSampleDistance(1.0)  # one sample per voxel, as the viewer takes in matter

# Opacity per voxel and colour by density, after the viewer's tissue table:
# nothing at or below troskel, fluid and soft tissue faint, dense matter
# strong, bone glassy.
tissue = [(0.0, 0.04), (0.2, 0.04), (0.38, 0.10), (0.55, 0.10), (0.68, 0.35), (0.8, 0.35), (0.9, 0.07),
          (1.0, 0.07)]


def tissue_opacity(density):
    for (d0, a0), (d1, a1) in zip(tissue, tissue[1:]):
        if d0 <= density <= d1:
            return a0 + (a1 - a0) * (density - d0) / (d1 - d0)
    return tissue[-1][1]


opacity = vtk.vtkPiecewiseFunction()
opacity.AddPoint(0.0, 0.0)
opacity.AddPoint(troskel * 255.0, 0.0)
opacity.AddPoint((troskel + 0.04) * 255.0, tissue_opacity(troskel + 0.04))
for density, alpha in tissue:
    if density > troskel + 0.04:
        opacity.AddPoint(density * 255.0, alpha)
colour = vtk.vtkColorTransferFunction()
for density, rgb in [(0.2, (0.35, 0.55, 1.0)), (0.38, (0.95, 0.55, 0.5)), (0.7, (1.0, 0.78, 0.3)),
                     (0.92, (1.0, 0.96, 0.86))]:
    colour.AddRGBPoint(density * 255.0, *rgb)

properties = vtk.vtkVolumeProperty()
properties.SetInterpolationTypeToLinear()
if blend == "mip":
    # The highest density along each ray, grey from black at troskel to white at 1, as the mip style draws it.
    mapper.SetBlendModeToMaximumIntensity()
    opacity = vtk.vtkPiecewiseFunction()
    opacity.AddPoint(0.0, 1.0)
    opacity.AddPoint(255.0, 1.0)
    colour = vtk.vtkColorTransferFunction()
    colour.AddRGBPoint(troskel * 255.0, 0.0, 0.0, 0.0)
    colour.AddRGBPoint(255.0, 1.0, 1.0, 1.0)
else:
    properties.ShadeOn()
properties.SetScalarOpacity(opacity)
properties.SetColor(colour)

volume = vtk.vtkVolume()
volume.SetMapper(mapper)
volume.SetProperty(properties)
# The viewer turns the cube about its centre: first about the vertical axis, then the horizontal one.
centre = (side - 1) / 2.0
volume.SetOrigin(centre, centre, centre)
if view == "turned":
    volume.RotateY(45.0)
    volume.RotateX(45.0)

renderer = vtk.vtkRenderer()
renderer.AddVolume(volume)
window = vtk.vtkRenderWindow()
window.SetSize(640, 480)
window.AddRenderer(renderer)
# The viewer's camera: the cube (edge 2, that is 256 voxels) seen from 5 units away, 45 degrees high.
camera = renderer.GetActiveCamera()
camera.SetFocalPoint(centre, centre, centre)
camera.SetPosition(centre, centre, centre + 5.0 * side / 2.0)
camera.SetViewUp(0.0, 1.0, 0.0)
camera.SetViewAngle(45.0)
renderer.ResetCameraClippingRange()

window.Render()
warm_up_end = time.perf_counter() + 2.0
while time.perf_counter() < warm_up_end:
    window.Render()
end = time.perf_counter() + seconds
while time.perf_counter() < end:
    start = time.perf_counter()
    window.Render()
    print("%.2f" % (1.0 / (time.perf_counter() - start)))
