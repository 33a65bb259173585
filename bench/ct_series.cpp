// ct_series: writes a thin-slice CT of the chest and abdomen as a scanner
// does, one classic DICOM file a slice, for the import benchmark.
//
//   ct_series DIR SLICES   (512x512 pixels of 0.7 mm, slices 0.6 mm apart)
//
// The body is an elliptic cylinder of soft tissue under a layer of fat, with
// two lungs in its upper half, a spine, ribs and a contrast-filled aorta, on
// a table; the values are Hounsfield units stored as unsigned 16-bit numbers
// with an intercept of -1024, with a little noise as a real scan has.
#include <gdcmWriter.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

static const int side = 512;
static const double pixel = 0.7, apart = 0.6;

static gdcm::DataElement element(uint16_t group, uint16_t number, const gdcm::VR& vr, std::string value)
{
    if (value.size() % 2)
        value += vr == gdcm::VR::UI ? '\0' : ' ';
    gdcm::DataElement de(gdcm::Tag(group, number));
    de.SetVR(vr);
    de.SetByteValue(value.data(), static_cast<uint32_t>(value.size()));
    return de;
}

static std::string u16(uint16_t value)
{
    return std::string(reinterpret_cast<const char*>(&value), 2);
}

// Hounsfield units at (x, y) mm from the slice's centre, at height z mm from the body's top.
static double tissue(double x, double y, double z, double length)
{
    auto inside = [](double x, double y, double cx, double cy, double rx, double ry) {
        double dx = (x - cx) / rx, dy = (y - cy) / ry;
        return dx * dx + dy * dy <= 1;
    };
    if (inside(x, y, 0, 150, 200, 12) && !inside(x, y, 0, 150, 190, 6))
        return 300;  // the table's shell
    if (!inside(x, y, 0, 0, 170, 120))
        return -1000;
    if (!inside(x, y, 0, 0, 160, 110))
        return -100;  // fat under the skin
    bool chest = z < 0.45 * length;
    double rib = std::fmod(z, 25.0);
    if (chest && rib < 8 && !inside(x, y, 0, 0, 150, 100))
        return 900;  // a rib
    if (inside(x, y, 0, 70, 18, 16))
        return inside(x, y, 0, 70, 12, 10) ? 400 : 1200;  // the spine: cortex round spongy bone
    if (inside(x, y, 20, 40, 12, 12))
        return 250;  // the aorta, with contrast
    if (chest && (inside(x, y, -75, 0, 60, 80) || inside(x, y, 75, 0, 60, 80)))
        return -850;  // the lungs
    if (!chest && inside(x, y, -60, -20, 70, 50))
        return 60;  // the liver
    return 40;
}

int main(int argc, char** argv)
{
    if (argc != 3 || atoi(argv[2]) < 2) {
        fprintf(stderr, "usage: ct_series DIR SLICES\n");
        return 1;
    }
    const std::string dir = argv[1];
    const int slices = atoi(argv[2]);
    std::filesystem::create_directories(dir);
    const std::string root = "1.2.826.0.1.3680043.2.1125.7." + std::to_string(slices);
    std::mt19937 random(slices);
    std::normal_distribution<double> noise(0, 12);
    std::vector<uint16_t> pixels(side * side);
    for (int k = 0; k < slices; ++k) {
        const double z = k * apart;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                double hu = tissue((x - side / 2) * pixel, (y - side / 2) * pixel, z, slices * apart);
                if (hu > -1000)
                    hu += noise(random);
                pixels[y * side + x] = static_cast<uint16_t>(std::lround(std::fmax(hu, -1024) + 1024));
            }
        char position[80];
        snprintf(position, sizeof position, "%g\\%g\\%g", -(side - 1) / 2.0 * pixel, -(side - 1) / 2.0 * pixel,
                 -z);
        gdcm::DataSet set;
        for (const gdcm::DataElement& de : {
                 element(0x0008, 0x0008, gdcm::VR::CS, "ORIGINAL\\PRIMARY\\AXIAL"),
                 element(0x0008, 0x0016, gdcm::VR::UI, "1.2.840.10008.5.1.4.1.1.2"),
                 element(0x0008, 0x0018, gdcm::VR::UI, root + ".3." + std::to_string(k + 1)),
                 element(0x0008, 0x0060, gdcm::VR::CS, "CT"),
                 element(0x0008, 0x103e, gdcm::VR::LO, "chest and abdomen 0.6 mm"),
                 element(0x0018, 0x0050, gdcm::VR::DS, "0.6"),
                 element(0x0020, 0x000d, gdcm::VR::UI, root + ".1"),
                 element(0x0020, 0x000e, gdcm::VR::UI, root + ".2"),
                 element(0x0020, 0x0011, gdcm::VR::IS, "3"),
                 element(0x0020, 0x0013, gdcm::VR::IS, std::to_string(k + 1)),
                 element(0x0020, 0x0032, gdcm::VR::DS, position),
                 element(0x0020, 0x0037, gdcm::VR::DS, "1\\0\\0\\0\\1\\0"),
                 element(0x0028, 0x0002, gdcm::VR::US, u16(1)),
                 element(0x0028, 0x0004, gdcm::VR::CS, "MONOCHROME2"),
                 element(0x0028, 0x0010, gdcm::VR::US, u16(side)),
                 element(0x0028, 0x0011, gdcm::VR::US, u16(side)),
                 element(0x0028, 0x0030, gdcm::VR::DS, "0.7\\0.7"),
                 element(0x0028, 0x0100, gdcm::VR::US, u16(16)),
                 element(0x0028, 0x0101, gdcm::VR::US, u16(12)),
                 element(0x0028, 0x0102, gdcm::VR::US, u16(11)),
                 element(0x0028, 0x0103, gdcm::VR::US, u16(0)),
                 element(0x0028, 0x1052, gdcm::VR::DS, "-1024"),
                 element(0x0028, 0x1053, gdcm::VR::DS, "1"),
                 element(0x7fe0, 0x0010, gdcm::VR::OW,
                         std::string(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 2))})
            set.Replace(de);
        gdcm::Writer writer;
        char name[32];
        snprintf(name, sizeof name, "/CT%06d.dcm", k + 1);
        writer.SetFileName((dir + name).c_str());
        writer.GetFile().SetDataSet(set);
        writer.GetFile().GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
        if (!writer.Write()) {
            fprintf(stderr, "ct_series: cannot write %s%s\n", dir.c_str(), name);
            return 1;
        }
    }
    return 0;
}
