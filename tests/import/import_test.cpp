// The scan importer as a user runs it: scans are written here with ITK in each
// format, the real import_scan turns them into volumes, and the bytes it wrote
// are examined.
#include <gtest/gtest.h>

#include "itkGDCMImageIO.h"
#include "itkImageFileWriter.h"
#include "itkImageRegionIteratorWithIndex.h"
#include "itkMetaDataObject.h"
#include "itkRecursiveGaussianImageFilter.h"
#include "itkResampleImageFilter.h"

#include "scratch_dir.h"

#include <gdcmSequenceOfItems.h>
#include <gdcmWriter.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Scene = itk::Image<float, 3>;
using Direction = Scene::DirectionType;
const int side = 256;

// A finished run of import_scan.
struct ImportRun {
    int status = -1;  // exit status, or -1 if it died of a signal
    std::string output, errors;
};

ImportRun importScan(const std::string& dir, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), IMPORT_SCAN_PATH);
    fflush(nullptr);  // or the child would write out the parent's buffered output again
    pid_t child = fork();
    if (child == 0) {
        freopen((dir + "/stdout.log").c_str(), "w", stdout);
        freopen((dir + "/stderr.log").c_str(), "w", stderr);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ImportRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = readFile(dir + "/stdout.log");
    run.errors = readFile(dir + "/stderr.log");
    std::filesystem::remove(dir + "/stdout.log");
    std::filesystem::remove(dir + "/stderr.log");
    return run;
}

// The imported volume, x fastest.
struct Volume {
    std::string bytes;
    int at(int x, int y, int z) const
    {
        return static_cast<unsigned char>(bytes[static_cast<size_t>(z) * side * side + y * side + x]);
    }
};

// The scene, in ITK's patient frame (mm; x to the patient's left, y to the
// back, z up): a ball of radius 24 at the centre and three markers of radius
// 7, 40 mm toward the patient's left, top and front.
// Edges ramp over 3 mm, so that how coarsely a grid samples them does not move them.
const double ballRadius = 24, markerRadius = 7, markerDistance = 40, edge = 3;
float sceneValue(const Scene::PointType& p)
{
    auto ball = [&](double x, double y, double z, double r) {
        double distance = std::sqrt((p[0] - x) * (p[0] - x) + (p[1] - y) * (p[1] - y) + (p[2] - z) * (p[2] - z));
        return std::clamp((r - distance) / edge + 0.5, 0.0, 1.0);
    };
    double matter = std::max({ball(0, 0, 0, ballRadius), ball(markerDistance, 0, 0, markerRadius),
                              ball(0, 0, markerDistance, markerRadius), ball(0, -markerDistance, 0, markerRadius)});
    return static_cast<float>(1000.0 * matter);
}

// A grid of the given size, spacing and axes, centred on the scene.
Scene::Pointer sampleScene(Scene::SizeType size, Scene::SpacingType spacing, Direction axes,
                           float (*value)(const Scene::PointType&) = sceneValue)
{
    auto scene = Scene::New();
    scene->SetRegions(size);
    scene->SetSpacing(spacing);
    scene->SetDirection(axes);
    Scene::PointType origin;
    origin.Fill(0.0);
    itk::Vector<double, 3> halfExtent;
    for (int axis = 0; axis < 3; ++axis)
        halfExtent[axis] = 0.5 * (size[axis] - 1) * spacing[axis];
    origin -= axes * halfExtent;
    scene->SetOrigin(origin);
    scene->Allocate();
    for (itk::ImageRegionIteratorWithIndex<Scene> it(scene, scene->GetLargestPossibleRegion()); !it.IsAtEnd(); ++it) {
        Scene::PointType p;
        scene->TransformIndexToPhysicalPoint(it.GetIndex(), p);
        it.Set(value(p));
    }
    return scene;
}

template <typename Image>
void writeImage(const typename Image::Pointer& image, const std::string& path, bool compressed = false)
{
    auto writer = itk::ImageFileWriter<Image>::New();
    writer->SetUseCompression(compressed);
    writer->SetInput(image);
    writer->SetFileName(path);
    writer->Update();
}

Scene::SpacingType spacingOf(double x, double y, double z)
{
    Scene::SpacingType spacing;
    spacing[0] = x, spacing[1] = y, spacing[2] = z;
    return spacing;
}

// Writes one DICOM image (a slice of one voxel's depth) with the given tags and
// those every image of these tests shares.
void writeDicomImage(const itk::Image<short, 3>::Pointer& slice, const std::string& path, const std::string& modality,
                     const std::map<std::string, std::string>& tags)
{
    auto io = itk::GDCMImageIO::New();
    itk::MetaDataDictionary& dictionary = slice->GetMetaDataDictionary();
    itk::EncapsulateMetaData<std::string>(dictionary, "0008|0060", modality);
    itk::EncapsulateMetaData<std::string>(dictionary, "0028|0004", "MONOCHROME2");
    itk::EncapsulateMetaData<std::string>(dictionary, "0020|000d", "1.2.826.0.1.3680043.2.1125.1");
    itk::EncapsulateMetaData<std::string>(dictionary, "0020|000e", "1.2.826.0.1.3680043.2.1125.1.2");
    for (const auto& tag : tags)
        itk::EncapsulateMetaData<std::string>(dictionary, tag.first, tag.second);
    io->KeepOriginalUIDOn();
    auto writer = itk::ImageFileWriter<itk::Image<short, 3>>::New();
    writer->SetImageIO(io);
    writer->SetInput(slice);
    writer->SetFileName(path);
    writer->Update();
}

// A DICOM series: one file per slice, each with its own position, as a scanner writes them.
void writeDicomSeries(const Scene::Pointer& scene, const std::string& dir, const std::string& modality)
{
    using Slice = itk::Image<short, 3>;
    makeDir(dir);
    Scene::SizeType size = scene->GetLargestPossibleRegion().GetSize();
    for (unsigned z = 0; z < size[2]; ++z) {
        auto slice = Slice::New();
        slice->SetRegions(Slice::SizeType{{size[0], size[1], 1}});
        slice->SetSpacing(scene->GetSpacing());
        slice->SetDirection(scene->GetDirection());
        Scene::PointType origin;
        scene->TransformIndexToPhysicalPoint({{0, 0, static_cast<long>(z)}}, origin);
        slice->SetOrigin(origin);
        slice->Allocate();
        for (unsigned y = 0; y < size[1]; ++y)
            for (unsigned x = 0; x < size[0]; ++x)
                slice->SetPixel({{x, y, 0}}, static_cast<short>(scene->GetPixel({{x, y, z}})));
        writeDicomImage(slice, dir + "/slice" + std::to_string(1000 + z) + ".dcm", modality,
                        {{"0020|0013", std::to_string(z + 1)}});
    }
}

using Vector = itk::Vector<double, 3>;
Vector vectorOf(double x, double y, double z)
{
    Vector v;
    v[0] = x, v[1] = y, v[2] = z;
    return v;
}

// A slice of a DICOM series, as a scanner places it: where its centre lies,
// the directions of its rows and columns, and the tags that tell it apart.
struct DicomSlice {
    Vector centre, row = vectorOf(1, 0, 0), column = vectorOf(0, 1, 0);
    std::map<std::string, std::string> tags;
    float scale = 1;  // of the scene's values (another echo is darker)
};

// Axial slices 2 mm apart from 60 mm below the scene's centre to 60 mm above.
std::vector<DicomSlice> axialSlices()
{
    std::vector<DicomSlice> slices;
    for (int k = 0; k <= 60; ++k)
        slices.push_back({vectorOf(0, 0, -60 + 2 * k), vectorOf(1, 0, 0), vectorOf(0, 1, 0),
                          {{"0018|0050", "2"}, {"0020|0011", "2"}}});
    return slices;
}

// A plane of COLUMNS x ROWS pixels of 1 x 1.5 mm centred where PLANNED says,
// the scene sampled where each pixel lies; its top-left pixel's place in *CORNER.
const double pixelWidth = 1.0, pixelHeight = 1.5;
std::vector<short> samplePlane(const DicomSlice& planned, unsigned columns, unsigned rows, Vector* corner)
{
    *corner = planned.centre - planned.row * (0.5 * (columns - 1) * pixelWidth) -
              planned.column * (0.5 * (rows - 1) * pixelHeight);
    Scene::PointType origin;
    origin.Fill(0.0);
    origin += *corner;
    std::vector<short> pixels;
    for (unsigned y = 0; y < rows; ++y)
        for (unsigned x = 0; x < columns; ++x)
            pixels.push_back(static_cast<short>(
                planned.scale * sceneValue(origin + planned.row * (pixelWidth * x) + planned.column * (pixelHeight * y))));
    return pixels;
}

// Writes each slice (101x67 pixels, the scene sampled where it lies) to
// DIR/PREFIX1, DIR/PREFIX2, ..., numbered in the order given.
void writeDicomSlices(const std::vector<DicomSlice>& slices, const std::string& dir, const std::string& prefix,
                      unsigned columns = 101, unsigned rows = 67)
{
    using Slice = itk::Image<short, 3>;
    std::filesystem::create_directories(dir);
    for (size_t k = 0; k < slices.size(); ++k) {
        const DicomSlice& planned = slices[k];
        Vector normal = itk::CrossProduct(planned.row, planned.column);
        Direction axes;
        for (int i = 0; i < 3; ++i)
            axes(i, 0) = planned.row[i], axes(i, 1) = planned.column[i], axes(i, 2) = normal[i];
        Vector corner;
        std::vector<short> pixels = samplePlane(planned, columns, rows, &corner);
        Scene::PointType origin;
        origin.Fill(0.0);
        origin += corner;
        auto slice = Slice::New();
        slice->SetRegions(Slice::SizeType{{columns, rows, 1}});
        slice->SetSpacing(spacingOf(pixelWidth, pixelHeight, 2.0));
        slice->SetDirection(axes);
        slice->SetOrigin(origin);
        slice->Allocate();
        std::copy(pixels.begin(), pixels.end(), slice->GetBufferPointer());
        std::map<std::string, std::string> tags = planned.tags;
        tags.emplace("0020|0013", std::to_string(k + 1));
        writeDicomImage(slice, dir + "/" + prefix + std::to_string(k + 1), "MR", tags);
    }
}

Direction axesFromRows(std::initializer_list<double> rows)
{
    Direction axes;
    auto value = rows.begin();
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            axes(row, column) = *value++;
    return axes;
}

// A turn of the given degrees about an axis through (1, 1, 1): no axis of the
// grid is then along a patient axis.
Direction oblique(double degrees)
{
    double a = degrees * M_PI / 180, c = std::cos(a), s = std::sin(a), t = 1 - c, k = 1 / std::sqrt(3.0);
    return axesFromRows({t * k * k + c, t * k * k - s * k, t * k * k + s * k,
                         t * k * k + s * k, t * k * k + c, t * k * k - s * k,
                         t * k * k - s * k, t * k * k + s * k, t * k * k + c});
}

struct Centroid {
    double x = 0, y = 0, z = 0, count = 0;
};

// The centre of the bright voxels within a box of the cube.
Centroid brightCentroid(const Volume& volume, int x0, int x1, int y0, int y1, int z0, int z1)
{
    Centroid c;
    for (int z = z0; z < z1; ++z)
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (volume.at(x, y, z) > 128) {
                    c.x += x, c.y += y, c.z += z, c.count += 1;
                }
    if (c.count > 0)
        c.x /= c.count, c.y /= c.count, c.z /= c.count;
    return c;
}

class Import : public ::testing::Test {
protected:
    std::string dir = makeScratchDir();
    void TearDown() override { removeTree(dir); }

    Volume imported(const std::string& input, std::vector<std::string> extra = {}, std::string* output = nullptr)
    {
        std::vector<std::string> arguments = {input, dir + "/out.raw"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        ImportRun run = importScan(dir, arguments);
        if (output != nullptr)
            *output = run.output;
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.errors, "");
        Volume volume{readFile(dir + "/out.raw")};
        EXPECT_EQ(volume.bytes.size(), static_cast<size_t>(side) * side * side);
        volume.bytes.resize(static_cast<size_t>(side) * side * side);
        return volume;
    }

    // Every marker lies 40 mm from the ball's centre along its own axis of the
    // cube (+x left, +y top, +z front), and the ball is round.
    void expectSceneInPlace(const Volume& volume, const std::string& how)
    {
        SCOPED_TRACE(how);
        // The centre of everything is pulled a little toward the markers; the
        // ball itself is what lies within a little more than its radius of it.
        Centroid all = brightCentroid(volume, 0, side, 0, side, 0, side);
        ASSERT_GT(all.count, 1000);
        int reach = static_cast<int>(1.25 * std::cbrt(all.count * 3 / (4 * M_PI)));
        int cx = static_cast<int>(all.x), cy = static_cast<int>(all.y), cz = static_cast<int>(all.z);
        Centroid ball = brightCentroid(volume, std::max(0, cx - reach), std::min(side, cx + reach),
                                       std::max(0, cy - reach), std::min(side, cy + reach),
                                       std::max(0, cz - reach), std::min(side, cz + reach));
        double radius = std::cbrt(ball.count * 3 / (4 * M_PI));  // in voxels
        double voxel = ballRadius / radius;                     // mm per voxel of the cube

        int cut = static_cast<int>(radius + 4);
        int bx = static_cast<int>(std::lround(ball.x)), by = static_cast<int>(std::lround(ball.y)),
            bz = static_cast<int>(std::lround(ball.z));
        Centroid left = brightCentroid(volume, bx + cut, side, 0, side, 0, side);
        Centroid top = brightCentroid(volume, 0, side, by + cut, side, 0, side);
        Centroid front = brightCentroid(volume, 0, side, 0, side, bz + cut, side);
        Centroid beyond[] = {brightCentroid(volume, 0, bx - cut, 0, side, 0, side),
                             brightCentroid(volume, 0, side, 0, by - cut, 0, side),
                             brightCentroid(volume, 0, side, 0, side, 0, bz - cut)};
        for (const Centroid& wrongSide : beyond)
            EXPECT_EQ(wrongSide.count, 0) << "matter on the side opposite a marker";
        const double expected = markerDistance / voxel;
        const double tolerance = 1.0;  // voxels
        EXPECT_NEAR(left.x - ball.x, expected, tolerance);
        EXPECT_NEAR(left.y, ball.y, tolerance);
        EXPECT_NEAR(left.z, ball.z, tolerance);
        EXPECT_NEAR(top.y - ball.y, expected, tolerance);
        EXPECT_NEAR(top.x, ball.x, tolerance);
        EXPECT_NEAR(top.z, ball.z, tolerance);
        EXPECT_NEAR(front.z - ball.z, expected, tolerance);
        EXPECT_NEAR(front.x, ball.x, tolerance);
        EXPECT_NEAR(front.y, ball.y, tolerance);

        // Round: as far across along each axis of the cube, on the sides without a marker.
        for (int axis = 0; axis < 3; ++axis) {
            int reachOut = 0;
            for (int step = 0; step < side / 2; ++step) {
                int p[3] = {bx, by, bz};
                p[axis] -= step;
                if (p[axis] >= 0 && volume.at(p[0], p[1], p[2]) > 128)
                    reachOut = step;
            }
            EXPECT_NEAR(reachOut + 0.5, radius, 1.5) << "axis " << axis;
        }
    }
};

// The same scene, stored with each format's writer and with axes that are
// flipped, permuted and turned, and with anisotropic spacing.
TEST_F(Import, EveryFormatAndOrientationPutsTheMarkersInThePatientFrame)
{
    const Scene::SpacingType anisotropic = spacingOf(1.0, 1.5, 2.0);
    Direction identity;
    identity.SetIdentity();
    // Flipped: the x axis runs to the patient's right and the y axis forward (as in RAS files).
    Direction flipped = axesFromRows({-1, 0, 0, 0, -1, 0, 0, 0, 1});
    // Permuted: the axes of the grid run up, left and to the back, as in a sagittal scan.
    Direction permuted = axesFromRows({0, 1, 0, 0, 0, 1, 1, 0, 0});
    // The same physical box in every stored form, so the outputs can be compared voxel for voxel.
    const Scene::SizeType size = {{101, 67, 51}};
    const Scene::SizeType permutedSize = {{51, 101, 67}};
    const Scene::SpacingType permutedSpacing = spacingOf(2.0, 1.0, 1.5);

    writeImage<Scene>(sampleScene(size, anisotropic, identity), dir + "/identity.nii");
    writeImage<Scene>(sampleScene(size, anisotropic, flipped), dir + "/flipped.nrrd");
    writeImage<Scene>(sampleScene(permutedSize, permutedSpacing, permuted), dir + "/permuted.mha");
    writeImage<Scene>(sampleScene(size, anisotropic, oblique(30)), dir + "/oblique.nii.gz");
    writeDicomSeries(sampleScene(size, anisotropic, flipped), dir + "/dicom", "MR");
    writeDicomSeries(sampleScene(size, anisotropic, oblique(-25)), dir + "/dicom-oblique", "MR");

    Volume reference = imported(dir + "/identity.nii");
    expectSceneInPlace(reference, "NIfTI, identity");
    for (std::string stored : {"flipped.nrrd", "permuted.mha", "dicom"}) {
        Volume volume = imported(dir + "/" + stored);
        expectSceneInPlace(volume, stored);
        double difference = 0;
        for (size_t i = 0; i < volume.bytes.size(); ++i)
            difference += std::abs(volume.at(i % side, i / side % side, i / side / side) -
                                   reference.at(i % side, i / side % side, i / side / side));
        EXPECT_LT(difference / volume.bytes.size(), 1.0) << stored << ": differs from the same scene stored plainly";
    }
    expectSceneInPlace(imported(dir + "/oblique.nii.gz"), "NIfTI, oblique");
    expectSceneInPlace(imported(dir + "/dicom-oblique"), "DICOM, oblique");
}

// DICOM as scanners and patient CDs deliver it: each series below holds the
// plain axial one with something more, less or askew, and must give the
// plain one's geometry and say what was done.
TEST_F(Import, DicomAsItComesGivesThePlainSeriesGeometryAndSaysWhatWasDone)
{
    std::vector<DicomSlice> localizer = axialSlices();
    for (double x : {-20.0, 0.0, 20.0})  // scouts across the head, with the series' own UID
        localizer.insert(localizer.begin(), {vectorOf(x, 0, 0), vectorOf(0, 1, 0), vectorOf(0, 0, -1),
                                             {{"0018|0050", "2"}, {"0020|0011", "2"}, {"0008|0008", "ORIGINAL\\PRIMARY\\LOCALIZER"}}});
    std::vector<DicomSlice> echoes = axialSlices(), second = axialSlices();
    for (DicomSlice& slice : second)
        slice.tags["0018|0086"] = "2", slice.scale = 0.5f;
    for (DicomSlice& slice : echoes)
        slice.tags["0018|0086"] = "1";
    echoes.insert(echoes.end(), second.begin(), second.end());
    std::vector<DicomSlice> missing = axialSlices();
    missing.erase(missing.begin() + 33);
    // Gantry tilt: the planes turn 20 degrees about the left-right axis; the table still moves straight.
    std::vector<DicomSlice> tilted = axialSlices();
    for (DicomSlice& slice : tilted)
        slice.column = vectorOf(0, std::cos(20 * M_PI / 180), std::sin(20 * M_PI / 180));
    std::vector<DicomSlice> thinThenThick;  // 1 mm slices up to 20 mm below the centre, 4 mm beyond
    for (int z = -60; z <= 60; z += z < -20 ? 1 : 4)
        thinThenThick.push_back({vectorOf(0, 0, z), vectorOf(1, 0, 0), vectorOf(0, 1, 0),
                                 {{"0018|0050", z <= -20 ? "1" : "4"}, {"0020|0011", "2"}}});

    // A CD: nested folders, files without extensions, a DICOMDIR and other files beside them, two series.
    const std::string cd = dir + "/cd";
    writeDicomSlices(axialSlices(), cd + "/DICOM/ST000001/SE000002", "IM");
    std::vector<DicomSlice> plain = axialSlices(), scout(plain.begin() + 28, plain.begin() + 32);
    for (DicomSlice& slice : scout)
        slice.tags = {{"0020|0011", "1"}, {"0020|000e", "1.2.826.0.1.3680043.2.1125.1.1"}};
    writeDicomSlices(scout, cd + "/DICOM/ST000001/SE000001", "IM");
    writeFile(cd + "/DICOMDIR", std::string(2000, 'x'));
    writeFile(cd + "/README.TXT", std::string("Patient CD\n"));
    // A file damaged in its header, of a kind that makes the DICOM library abort.
    makeDir(cd + "/DICOM/ST000001/SE000003");
    writeFile(cd + "/DICOM/ST000001/SE000003/IM1",
              readFile(cd + "/DICOM/ST000001/SE000002/IM1").substr(0, 150) + std::string(3000, '\xab'));

    // A slice whose file was cut short in copying, its header whole.
    writeDicomSlices(axialSlices(), dir + "/cut-short", "IM");
    std::string whole = readFile(dir + "/cut-short/IM31");
    writeFile(dir + "/cut-short/IM31", whole.substr(0, whole.size() / 2));

    const struct {
        std::string name;
        std::vector<DicomSlice> slices;
        std::string said;
    } cases[] = {
        {"localizer", localizer, "3 images of another orientation (localizer) left out (--series 2 --stack 2"},
        {"echoes", echoes, "61 images of echo 2 left out (--series 2 --stack 2 imports them)\n"},
        {"missing", missing, "a gap of 4 mm between slices 33 and 34 (at 4 and 8 mm), where they lie "
                             "2 mm apart beside it: about 1 slice missing, filled in by interpolation\n"},
        {"tilted", tilted, "the slices lie tilted 20 degrees against the line they follow (gantry tilt)"},
        {"thin-then-thick", thinThenThick, "the spacing of the slices changes along the stack: 1 mm from slice 1 to "
                                           "41, 4 mm from slice 41 to 61; filled in by interpolation\n"},
        {"cut-short", {}, "1 image cut short left out (" + dir + "/cut-short/IM31)\n"},
        {"cd", {}, "1 file passed over, being malformed\n2 series:\n  series 1, MR, 4 images\n  series 2, MR, 61 "
                   "images\nreading series 2\n"},
    };
    for (const auto& series : cases) {
        if (!series.slices.empty())
            writeDicomSlices(series.slices, dir + "/" + series.name, "slice");
        std::string said;
        expectSceneInPlace(imported(dir + "/" + series.name, {}, &said), series.name);
        EXPECT_NE(said.find(series.said), std::string::npos) << series.name << ":\n" << said;
    }
    std::string said;
    imported(cd, {"--series", "1"}, &said);
    EXPECT_NE(said.find("reading series 1\n  4 slices"), std::string::npos) << said;
}

// DICOM written element by element with the DICOM library, for the files that
// ITK's writer does not make: enhanced multi-frame files and mosaics.
gdcm::DataElement element(uint16_t group, uint16_t number, gdcm::VR vr, std::string value)
{
    if (value.size() % 2)
        value += vr == gdcm::VR::UI || vr == gdcm::VR::OB ? '\0' : ' ';
    gdcm::DataElement de(gdcm::Tag(group, number));
    de.SetVR(vr);
    de.SetByteValue(value.data(), static_cast<uint32_t>(value.size()));
    return de;
}

template <typename Number>
std::string bytesOf(std::initializer_list<Number> values)
{
    std::string bytes;
    for (Number value : values)
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    return bytes;
}

gdcm::DataSet setOf(std::initializer_list<gdcm::DataElement> elements)
{
    gdcm::DataSet set;
    for (const gdcm::DataElement& de : elements)
        set.Insert(de);
    return set;
}

gdcm::DataElement sequence(uint16_t group, uint16_t number, const std::vector<gdcm::DataSet>& items)
{
    gdcm::SmartPointer<gdcm::SequenceOfItems> sq = new gdcm::SequenceOfItems;
    sq->SetLengthToUndefined();
    for (const gdcm::DataSet& set : items) {
        gdcm::Item item;
        item.SetVLToUndefined();
        item.SetNestedDataSet(set);
        sq->AddItem(item);
    }
    gdcm::DataElement de(gdcm::Tag(group, number));
    de.SetVR(gdcm::VR::SQ);
    de.SetValue(*sq);
    de.SetVLToUndefined();
    return de;
}

std::string decimals(std::initializer_list<double> values)
{
    std::ostringstream text;
    text.precision(8);
    for (double value : values)
        text << (text.tellp() > 0 ? "\\" : "") << value;
    return text.str();
}

std::string orientationOf(const DicomSlice& s)
{
    return decimals({s.row[0], s.row[1], s.row[2], s.column[0], s.column[1], s.column[2]});
}

// What every image file of these tests holds besides its place: its kind,
// series, number, size and pixels (16 bits, signed or not).
void writeDicomFile(gdcm::DataSet tags, const std::string& path, const std::string& sopClass,
                    const std::string& seriesUid, const std::string& seriesNumber, int instance, unsigned columns,
                    unsigned rows, int frames, const std::string& pixels, bool isSigned)
{
    static int files = 0;
    const std::string instanceUid = "1.2.826.0.1.3680043.2.1125.9." + std::to_string(getpid()) + "." +
                                    std::to_string(++files);
    for (const gdcm::DataElement& de :
         {element(0x0008, 0x0016, gdcm::VR::UI, sopClass), element(0x0008, 0x0018, gdcm::VR::UI, instanceUid),
          element(0x0008, 0x0060, gdcm::VR::CS, "MR"),
          element(0x0020, 0x000d, gdcm::VR::UI, "1.2.826.0.1.3680043.2.1125.1"),
          element(0x0020, 0x000e, gdcm::VR::UI, seriesUid), element(0x0020, 0x0011, gdcm::VR::IS, seriesNumber),
          element(0x0020, 0x0013, gdcm::VR::IS, std::to_string(instance)),
          element(0x0028, 0x0002, gdcm::VR::US, bytesOf<uint16_t>({1})),
          element(0x0028, 0x0004, gdcm::VR::CS, "MONOCHROME2"),
          element(0x0028, 0x0008, gdcm::VR::IS, std::to_string(frames)),
          element(0x0028, 0x0010, gdcm::VR::US, bytesOf<uint16_t>({static_cast<uint16_t>(rows)})),
          element(0x0028, 0x0011, gdcm::VR::US, bytesOf<uint16_t>({static_cast<uint16_t>(columns)})),
          element(0x0028, 0x0100, gdcm::VR::US, bytesOf<uint16_t>({16})),
          element(0x0028, 0x0101, gdcm::VR::US, bytesOf<uint16_t>({16})),
          element(0x0028, 0x0102, gdcm::VR::US, bytesOf<uint16_t>({15})),
          element(0x0028, 0x0103, gdcm::VR::US, bytesOf<uint16_t>({static_cast<uint16_t>(isSigned)})),
          element(0x7fe0, 0x0010, gdcm::VR::OW, pixels)})
        tags.Replace(de);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    gdcm::Writer writer;
    writer.SetFileName(path.c_str());
    writer.GetFile().SetDataSet(tags);
    writer.GetFile().GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    ASSERT_TRUE(writer.Write()) << path;
}

// A frame of an enhanced multi-frame file: its place and what tells it apart.
struct Frame {
    DicomSlice where;
    double echoTime;
    std::string type;  // its frame type, whose third and fourth values say magnitude (M) or phase (P)
    uint32_t temporal;
    double offset;     // added to the scene's values (a phase map of -4096 to 3904)
};

// How a multi-frame file places its frames: an enhanced file in its
// functional groups, each frame's position only in its own groups, the pixel
// spacing only in those all frames share and the orientation in either; a
// classic file once for all frames, with or without the distance between them.
enum class Layout { ownOrientation, sharedOrientation, classic, classicUnspaced };

// A multi-frame MR file. Every other frame is stored 2000 higher with its
// rescale intercept 2000 lower, so that a frame read without its own rescale
// stands out (a classic file has one rescale for all, and no such frames).
void writeMultiFrame(const std::vector<Frame>& frames, const std::string& path, const std::string& seriesUid,
                     const std::string& seriesNumber, int instance, Layout layout)
{
    const unsigned columns = 101, rows = 67;
    const bool enhanced = layout == Layout::ownOrientation || layout == Layout::sharedOrientation;
    std::vector<gdcm::DataSet> perFrame;
    std::string pixels;
    Vector firstCorner = vectorOf(0, 0, 0);
    for (size_t f = 0; f < frames.size(); ++f) {
        const Frame& frame = frames[f];
        Vector corner;
        std::vector<short> plane = samplePlane(frame.where, columns, rows, &corner);
        if (f == 0)
            firstCorner = corner;
        const double intercept = frame.offset - (f % 2 && enhanced ? 2000 : 0);
        for (short& value : plane)
            value = static_cast<short>(value + frame.offset - intercept);
        pixels.append(reinterpret_cast<const char*>(plane.data()), plane.size() * sizeof(short));
        gdcm::DataSet groups = setOf(
            {sequence(0x0020, 0x9113, {setOf({element(0x0020, 0x0032, gdcm::VR::DS,
                                                      decimals({corner[0], corner[1], corner[2]}))})}),
             sequence(0x0020, 0x9111, {setOf({element(0x0020, 0x9128, gdcm::VR::UL, bytesOf({frame.temporal}))})}),
             sequence(0x0018, 0x9114, {setOf({element(0x0018, 0x9082, gdcm::VR::FD, bytesOf({frame.echoTime}))})}),
             sequence(0x0018, 0x9226, {setOf({element(0x0008, 0x9007, gdcm::VR::CS, frame.type)})}),
             sequence(0x0028, 0x9145, {setOf({element(0x0028, 0x1052, gdcm::VR::DS, decimals({intercept})),
                                              element(0x0028, 0x1053, gdcm::VR::DS, "1"),
                                              element(0x0028, 0x1054, gdcm::VR::LO, "US")})})});
        if (layout == Layout::ownOrientation)
            groups.Insert(sequence(0x0020, 0x9116, {setOf({element(0x0020, 0x0037, gdcm::VR::DS, orientationOf(frame.where))})}));
        perFrame.push_back(groups);
    }
    const gdcm::DataElement orientation = element(0x0020, 0x0037, gdcm::VR::DS, orientationOf(frames[0].where)),
                            pixelSpacing = element(0x0028, 0x0030, gdcm::VR::DS, decimals({pixelHeight, pixelWidth}));
    gdcm::DataSet tags = setOf({element(0x0008, 0x0008, gdcm::VR::CS, "ORIGINAL\\PRIMARY\\M\\NONE")});
    if (enhanced) {
        gdcm::DataSet shared = setOf({sequence(0x0028, 0x9110, {setOf({pixelSpacing, element(0x0018, 0x0050, gdcm::VR::DS, "3")})})});
        if (layout == Layout::sharedOrientation)
            shared.Insert(sequence(0x0020, 0x9116, {setOf({orientation})}));
        tags.Insert(sequence(0x5200, 0x9229, {shared}));
        tags.Insert(sequence(0x5200, 0x9230, perFrame));
    } else {
        const double apart = (frames[1].where.centre - frames[0].where.centre).GetNorm();
        tags.Insert(orientation);
        tags.Insert(pixelSpacing);
        tags.Insert(element(0x0020, 0x0032, gdcm::VR::DS, decimals({firstCorner[0], firstCorner[1], firstCorner[2]})));
        if (layout == Layout::classic)
            tags.Insert(element(0x0018, 0x0088, gdcm::VR::DS, decimals({apart})));
    }
    writeDicomFile(tags, path, enhanced ? "1.2.840.10008.5.1.4.1.1.4.1" : "1.2.840.10008.5.1.4.1.1.4", seriesUid,
                   seriesNumber, instance, columns, rows, static_cast<int>(frames.size()), pixels, true);
}

// A scanner's private image header (the SV10 layout of name, VR, and six
// items a value) with the given text values.
std::string privateHeader(const std::vector<std::pair<std::string, std::vector<std::string>>>& entries)
{
    std::string bytes = std::string("SV10\4\3\2\1") + bytesOf<uint32_t>({static_cast<uint32_t>(entries.size()), 77});
    for (const auto& entry : entries) {
        std::string name = entry.first;
        name.resize(64, '\0');
        const bool decimal = entry.second.size() > 1;
        bytes += name + bytesOf<uint32_t>({static_cast<uint32_t>(entry.second.size())}) +
                 std::string(decimal ? "FD" : "IS", 2) + std::string(2, '\0') +
                 bytesOf<uint32_t>({decimal ? 4u : 6u, 6u, 77u});
        for (size_t item = 0; item < 6; ++item) {
            std::string value = item < entry.second.size() ? entry.second[item] : "";
            uint32_t length = static_cast<uint32_t>(value.size());
            bytes += bytesOf<uint32_t>({length, length, 77u, length}) + value + std::string((4 - length % 4) % 4, '\0');
        }
    }
    return bytes;
}

// A mosaic: the slices of one volume, SLICES apart along NORMAL from FIRST's
// place, tiled row by row in one picture, with the private header that says
// how many tiles there are and which way they follow each other.
void writeMosaic(const DicomSlice& first, const Vector& normal, double apart, int slices, const std::string& path,
                 const std::string& seriesNumber, int acquisition)
{
    const unsigned columns = 101, rows = 67, across = static_cast<unsigned>(std::ceil(std::sqrt(slices)));
    std::vector<uint16_t> mosaic(static_cast<size_t>(columns) * rows * across * across);
    Vector corner0;
    for (int k = 0; k < slices; ++k) {
        DicomSlice tile = first;
        tile.centre += normal * (k * apart);
        Vector corner;
        std::vector<short> plane = samplePlane(tile, columns, rows, &corner);
        if (k == 0)
            corner0 = corner;
        for (unsigned y = 0; y < rows; ++y)
            for (unsigned x = 0; x < columns; ++x)
                mosaic[(k / across * rows + y) * columns * across + k % across * columns + x] =
                    static_cast<uint16_t>(plane[y * columns + x]);
    }
    // The mosaic's position is its top-left pixel's, as if it were one slice around the first tile.
    Vector position = corner0 - first.row * (pixelWidth * (across - 1) * columns / 2.0) -
                      first.column * (pixelHeight * (across - 1) * rows / 2.0);
    std::string header = privateHeader({{"NumberOfImagesInMosaic", {std::to_string(slices)}},
                                        {"SliceNormalVector", {decimals({normal[0]}), decimals({normal[1]}),
                                                               decimals({normal[2]})}}});
    gdcm::DataSet tags = setOf({element(0x0008, 0x0008, gdcm::VR::CS, "ORIGINAL\\PRIMARY\\M\\ND\\MOSAIC"),
                                element(0x0018, 0x0088, gdcm::VR::DS, decimals({apart})),
                                element(0x0020, 0x0012, gdcm::VR::IS, std::to_string(acquisition)),
                                element(0x0020, 0x0032, gdcm::VR::DS, decimals({position[0], position[1], position[2]})),
                                element(0x0020, 0x0037, gdcm::VR::DS, orientationOf(first)),
                                element(0x0028, 0x0030, gdcm::VR::DS, decimals({pixelHeight, pixelWidth})),
                                element(0x0029, 0x0010, gdcm::VR::LO, "SIEMENS CSA HEADER"),
                                element(0x0029, 0x1010, gdcm::VR::OB, header)});
    writeDicomFile(tags, path, "1.2.840.10008.5.1.4.1.1.4", "1.2.826.0.1.3680043.2.1125.1.5", seriesNumber,
                   acquisition, columns * across, rows * across, 1,
                   std::string(reinterpret_cast<const char*>(mosaic.data()), mosaic.size() * 2), false);
}

// A NIfTI file as converters write it: the scene on a 101x67x51 grid of
// 1x1.5x2 mm, one volume a factor (its values times the factor), stored as
// 16-bit integers that SLOPE and INTERCEPT turn back into the values.
void writeNifti(const std::string& path, const std::vector<double>& factors, float slope, float intercept)
{
    const int16_t size[3] = {101, 67, 51};
    const float spacing[3] = {1.0f, 1.5f, 2.0f};
    Direction identity;
    identity.SetIdentity();
    auto grid = sampleScene({{101, 67, 51}}, spacingOf(1.0, 1.5, 2.0), identity);
    const Scene::PointType origin = grid->GetOrigin();  // in ITK's frame; the file's is x and y turned about
    std::string header(352, '\0');
    auto put = [&](size_t at, auto value) { memcpy(&header[at], &value, sizeof value); };
    put(0, int32_t{348});
    const int16_t dims[8] = {static_cast<int16_t>(factors.size() > 1 ? 4 : 3), size[0], size[1], size[2],
                             static_cast<int16_t>(factors.size()), 1, 1, 1};
    for (int i = 0; i < 8; ++i)
        put(40 + 2 * i, dims[i]);
    put(70, int16_t{4});   // signed 16 bits
    put(72, int16_t{16});
    const float pixdim[8] = {1, spacing[0], spacing[1], spacing[2], 2, 1, 1, 1};  // qfac 1, a repetition of 2 s
    for (int i = 0; i < 8; ++i)
        put(76 + 4 * i, pixdim[i]);
    put(108, 352.0f);
    put(112, slope);
    put(116, intercept);
    header[123] = 2 | 8;  // mm and seconds
    put(252, int16_t{1});  // the quaternion: a half turn about z, from ITK's frame to the file's
    put(264, 1.0f);
    put(268, static_cast<float>(-origin[0]));
    put(272, static_cast<float>(-origin[1]));
    put(276, static_cast<float>(origin[2]));
    memcpy(&header[344], "n+1", 4);
    std::string voxels;
    for (double factor : factors)
        for (const float* value = grid->GetBufferPointer(); value < grid->GetBufferPointer() + grid->GetBufferedRegion().GetNumberOfPixels(); ++value) {
            int16_t stored = static_cast<int16_t>(std::lround((factor * *value - intercept) / slope));
            voxels.append(reinterpret_cast<const char*>(&stored), 2);
        }
    writeFile(path, header + voxels);
}

// Files as today's MR scanners and converters write them: each must give the
// plain series' geometry, say what it left out, and import what it left out
// when asked.
TEST_F(Import, EnhancedFilesAndMosaicsGiveThePlainGeometryAndEveryStackImports)
{
    // Two echoes, alternating frame by frame, of magnitudes and then phases, oblique.
    const Direction turned = oblique(30);
    std::vector<Frame> frames;
    for (std::string type : {"M", "P"})
        for (int z = -60; z <= 60; z += 3)
            for (double echo : {4.92, 9.84}) {
                DicomSlice where;
                where.row = vectorOf(turned(0, 0), turned(1, 0), turned(2, 0));
                where.column = vectorOf(turned(0, 1), turned(1, 1), turned(2, 1));
                where.centre = itk::CrossProduct(where.row, where.column) * z;
                where.scale = type == "P" ? 8 : echo == 4.92 ? 1 : 0.5;
                frames.push_back({where, echo, "ORIGINAL\\PRIMARY\\" + type + "\\" + type, 1,
                                  type == "P" ? -4096.0 : 0.0});
            }
    writeMultiFrame(frames, dir + "/echoes/IM1", "1.2.826.0.1.3680043.2.1125.1.2", "2", 1, Layout::ownOrientation);

    // A field map: the magnitude at its echo time, before the map in Hz whose frames give echo time 0.
    std::vector<Frame> fieldMap;
    for (const Frame& frame : frames)
        if (frame.echoTime == 4.92)
            fieldMap.push_back({frame.where, frame.where.scale == 1 ? 1.52 : 0.0,
                                frame.where.scale == 1 ? "ORIGINAL\\PRIMARY\\M_FFE\\M_FFE" : "ORIGINAL\\PRIMARY\\B0\\B0",
                                1, frame.offset});
    writeMultiFrame(fieldMap, dir + "/fieldmap/IM1", "1.2.826.0.1.3680043.2.1125.1.7", "7", 1, Layout::ownOrientation);

    // An fMRI run of two time points, one file each, the orientation shared by all frames.
    std::vector<Frame> first, second;
    for (const Frame& frame : frames)
        if (frame.echoTime == 4.92 && frame.where.scale == 1) {  // the first echo's magnitudes
            first.push_back({frame.where, 30, "ORIGINAL\\PRIMARY\\M\\NONE", 1, 0});
            second.push_back({frame.where, 30, "ORIGINAL\\PRIMARY\\M\\NONE", 2, 0});
        }
    const std::string fmri = dir + "/session/fmri";
    writeMultiFrame(first, fmri + "/IM1", "1.2.826.0.1.3680043.2.1125.1.3", "3", 1, Layout::sharedOrientation);
    writeMultiFrame(second, fmri + "/IM2", "1.2.826.0.1.3680043.2.1125.1.3", "3", 2, Layout::sharedOrientation);
    // A classic multi-frame file: one position for all its frames, and the distance between them.
    writeMultiFrame(first, dir + "/classic/IM1", "1.2.826.0.1.3680043.2.1125.1.6", "6", 1, Layout::classic);
    // Beside it in the session, a run of more files but fewer voxels a volume.
    std::vector<DicomSlice> small;
    for (std::string time : {"1", "2"})
        for (int z = -44; z <= 44; z += 2)
            small.push_back({vectorOf(0, 0, z), vectorOf(1, 0, 0), vectorOf(0, 1, 0),
                             {{"0020|000e", "1.2.826.0.1.3680043.2.1125.1.4"}, {"0020|0011", "4"}, {"0020|0100", time}}});
    writeDicomSlices(small, dir + "/session/small", "IM", 16, 12);

    // A mosaic series of two volumes, its slices following each other against the normal of their planes.
    DicomSlice tile;
    tile.row = vectorOf(turned(0, 0), turned(1, 0), turned(2, 0));
    tile.column = vectorOf(turned(0, 1), turned(1, 1), turned(2, 1));
    const Vector down = itk::CrossProduct(tile.column, tile.row);
    tile.centre = down * -60;
    writeMosaic(tile, down, 3, 41, dir + "/mosaic/IM1", "5", 1);
    tile.scale = 0.8f;
    writeMosaic(tile, down, 3, 41, dir + "/mosaic/IM2", "5", 2);

    const struct {
        std::string input, number;
        std::vector<std::string> said;                // what the default import says
        std::vector<std::vector<std::string>> stacks;  // what --stack K says, from K = 2
    } cases[] = {
        {"echoes", "2",
         {"  41 slices of 101x67 pixels, frames of 1 multi-frame file: echo time 4.92 ms, frame type "
          "ORIGINAL\\PRIMARY\\M\\M\n",
          "  41 images of echo time 9.84 ms left out (--series 2 --stack 2 imports them)\n",
          "  41 images of frame type ORIGINAL\\PRIMARY\\P\\P left out (--series 2 --stack 3 imports them)\n"},
         {{"file: echo time 9.84 ms, frame type ORIGINAL\\PRIMARY\\M\\M\n"},
          {"file: echo time 4.92 ms, frame type ORIGINAL\\PRIMARY\\P\\P\n", "mapping: percentiles"},
          {"file: echo time 9.84 ms, frame type ORIGINAL\\PRIMARY\\P\\P\n"}}},
        {"fieldmap", "7", {"file: echo time 1.52 ms, frame type ORIGINAL\\PRIMARY\\M_FFE\\M_FFE\n"}, {}},
        {"session", "3",
         {"reading series 3\n", "  41 slices of 101x67 pixels, frames of 1 multi-frame file: temporal position 1\n",
          "  41 images of temporal position 2 left out (--series 3 --stack 2 imports them)\n"},
         {{"frames of 1 multi-frame file: temporal position 2\n"}}},
        {"classic", "6", {"  41 slices of 101x67 pixels, frames of 1 multi-frame file\n"}, {}},
        {"mosaic", "5",
         {"  41 slices of 101x67 pixels, tiles of 1 mosaic: acquisition 1\n",
          "  41 images of acquisition 2 left out (--series 5 --stack 2 imports them)\n"},
         {{"tiles of 1 mosaic: acquisition 2\n"}}},
    };
    for (const auto& series : cases) {
        std::string said;
        const std::string input = dir + "/" + series.input;
        expectSceneInPlace(imported(input, {}, &said), series.input);
        for (const std::string& line : series.said)
            EXPECT_NE(said.find(line), std::string::npos) << series.input << ": no \"" << line << "\" in:\n" << said;
        for (size_t k = 2; k < series.stacks.size() + 2; ++k) {
            const std::string which = series.input + " --stack " + std::to_string(k);
            expectSceneInPlace(imported(input, {"--series", series.number, "--stack", std::to_string(k)}, &said), which);
            for (const std::string& line : series.stacks[k - 2])
                EXPECT_NE(said.find(line), std::string::npos) << which << ": no \"" << line << "\" in:\n" << said;
        }
    }
}

// Fine stripes 2 mm apart across the ball and its markers: detail that a
// shrunk scan must not alias.
float stripedScene(const Scene::PointType& p)
{
    return sceneValue(p) + (std::sin(M_PI * (p[0] + p[1] + p[2])) > 0 ? 300.0f : 0.0f);
}

// The cube that a whole read of SCAN gives: the whole scan smoothed along
// each axis where the cube is coarser, then sampled linearly at each cube
// voxel's centre, outside it the scan's lowest value; mapped as --window LOW HIGH does.
Volume wholeRead(const Scene::Pointer& scan, double low, double high)
{
    Direction axes;  // the cube's axes in the patient frame: left, superior, anterior
    axes.Fill(0);
    axes(0, 0) = 1, axes(2, 1) = 1, axes(1, 2) = -1;
    const Scene::SizeType size = scan->GetLargestPossibleRegion().GetSize();
    Vector lowest, highest;
    lowest.Fill(HUGE_VAL), highest.Fill(-HUGE_VAL);
    for (int corner = 0; corner < 8; ++corner) {
        itk::ContinuousIndex<double, 3> index;
        for (int a = 0; a < 3; ++a)
            index[a] = (corner >> a & 1) ? size[a] - 0.5 : -0.5;
        Scene::PointType p;
        scan->TransformContinuousIndexToPhysicalPoint(index, p);
        Vector inCube = Direction(axes.GetTranspose()) * p.GetVectorFromOrigin();
        for (int a = 0; a < 3; ++a)
            lowest[a] = std::min(lowest[a], inCube[a]), highest[a] = std::max(highest[a], inCube[a]);
    }
    const double voxel = std::max({highest[0] - lowest[0], highest[1] - lowest[1], highest[2] - lowest[2]}) / side;
    Scene::PointType origin;
    origin.Fill(0);
    origin += axes * ((lowest + highest) * 0.5 - vectorOf(1, 1, 1) * ((side - 1) * 0.5 * voxel));
    Scene::Pointer smoothed = scan;
    for (int a = 0; a < 3; ++a) {
        const double s = scan->GetSpacing()[a], sigma = 0.5 * std::sqrt(std::max(0.0, voxel * voxel - s * s));
        if (sigma < 0.5 * s)
            continue;
        auto gaussian = itk::RecursiveGaussianImageFilter<Scene, Scene>::New();
        gaussian->SetInput(smoothed);
        gaussian->SetDirection(a);
        gaussian->SetSigma(sigma);
        gaussian->Update();
        smoothed = gaussian->GetOutput();
    }
    auto resample = itk::ResampleImageFilter<Scene, Scene>::New();
    resample->SetInput(smoothed);
    resample->SetSize({{side, side, side}});
    resample->SetOutputSpacing(voxel);
    resample->SetOutputOrigin(origin);
    resample->SetOutputDirection(axes);
    resample->SetDefaultPixelValue(0);  // the scene's lowest value
    resample->Update();
    const float* values = resample->GetOutput()->GetBufferPointer();
    Volume volume;
    for (size_t i = 0; i < static_cast<size_t>(side) * side * side; ++i)
        volume.bytes += static_cast<char>(std::lround(std::clamp((values[i] - low) / (high - low) * 255, 0.0, 255.0)));
    return volume;
}

// A scan shrunk along every axis (by four along the first, where the reading
// keeps every second smoothed value), read plane by plane, gives the cube
// that the whole scan smoothed and resampled gives.
TEST_F(Import, AShrunkScanReadAsAStreamGivesTheCubeOfAWholeRead)
{
    auto scan = sampleScene({{1040, 120, 100}}, spacingOf(0.1, 0.25, 0.28), oblique(20), stripedScene);
    writeImage<Scene>(scan, dir + "/shrunk.nii.gz");
    Volume streamed = imported(dir + "/shrunk.nii.gz", {"--window", "0", "1300"});
    Volume whole = wholeRead(scan, 0, 1300);
    // Compared where there is matter: the rest of the cube is empty in both.
    double difference = 0;
    size_t matter = 0;
    for (size_t i = 0; i < streamed.bytes.size(); ++i) {
        const int a = static_cast<unsigned char>(streamed.bytes[i]), b = static_cast<unsigned char>(whole.bytes[i]);
        if (a > 0 || b > 0)
            difference += std::abs(a - b), ++matter;
    }
    EXPECT_GT(matter, 500000u);
    EXPECT_LT(difference / matter, 1.0) << "levels apart on average, over " << matter << " voxels of matter";
}

// NIfTI as converters write it: stored as integers with a scale factor, and
// several volumes in one file, of which --volume K chooses.
// The scene's parts as labels: the ball 7, the markers 300 (left), 12 (top) and 40 (front).
float sceneLabel(const Scene::PointType& p)
{
    auto inside = [&](double x, double y, double z, double r) {
        return (p[0] - x) * (p[0] - x) + (p[1] - y) * (p[1] - y) + (p[2] - z) * (p[2] - z) < r * r;
    };
    return inside(markerDistance, 0, 0, markerRadius) ? 300.0f
         : inside(0, 0, markerDistance, markerRadius)  ? 12.0f
         : inside(0, -markerDistance, 0, markerRadius) ? 40.0f
         : inside(0, 0, 0, ballRadius)                  ? 7.0f
                                                        : 0.0f;
}

// A label map on a coarser, flipped and turned grid of its own lands on the
// scan's own markers, each label whole (the indices 1..4 in the order of the
// labels' values, nothing between them); maps that cannot be shown are refused.
TEST_F(Import, ALabelMapOnAnotherGridLandsOnTheScanWithItsLabelsWhole)
{
    Direction identity;
    identity.SetIdentity();
    writeImage<Scene>(sampleScene({{101, 67, 51}}, spacingOf(1.0, 1.5, 2.0), identity), dir + "/scan.nii");
    Scene::Pointer labels = sampleScene({{60, 60, 60}}, spacingOf(2, 2, 2),
                                        axesFromRows({-1, 0, 0, 0, -1, 0, 0, 0, 1}) * oblique(20), sceneLabel);
    auto stored = itk::Image<short, 3>::New();  // whole numbers in integer storage: a label map
    stored->CopyInformation(labels);
    stored->SetRegions(labels->GetLargestPossibleRegion());
    stored->Allocate();
    std::copy_n(labels->GetBufferPointer(), labels->GetLargestPossibleRegion().GetNumberOfPixels(),
                stored->GetBufferPointer());
    writeImage<itk::Image<short, 3>>(stored, dir + "/labels.nii.gz");

    Volume scan = imported(dir + "/scan.nii", {"--overlay", dir + "/labels.nii.gz", dir + "/overlay.raw"});
    Volume overlay{readFile(dir + "/overlay.raw")};
    ASSERT_EQ(overlay.bytes.size(), scan.bytes.size());
    EXPECT_EQ(readFile(dir + "/overlay.labels.lut").size(), 768u);
    std::map<int, Centroid> byIndex;
    for (int z = 0; z < side; ++z)
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                Centroid& c = byIndex[overlay.at(x, y, z)];
                c.x += x, c.y += y, c.z += z, c.count += 1;
            }
    ASSERT_EQ(byIndex.size(), 5u) << "only 0 and the four labels' indices";
    for (auto& [index, c] : byIndex)
        c.x /= c.count, c.y /= c.count, c.z /= c.count;
    // Each marker's label sits on the scan's marker, beyond the ball along its own axis.
    Centroid ball = byIndex[1];  // label 7, the first
    Centroid markers[] = {byIndex[4], byIndex[2], byIndex[3]};  // 300 left, 12 top, 40 front
    for (int axis = 0; axis < 3; ++axis) {
        const Centroid& m = markers[axis];
        int lo[3] = {0, 0, 0}, hi[3] = {side, side, side};
        double own[3] = {ball.x, ball.y, ball.z}, marker[3] = {m.x, m.y, m.z};
        lo[axis] = static_cast<int>(own[axis] + 0.7 * (marker[axis] - own[axis]));  // beyond the ball
        EXPECT_GT(marker[axis] - own[axis], 50) << "marker " << axis << " beyond the ball";
        Centroid inScan = brightCentroid(scan, lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]);
        EXPECT_NEAR(m.x, inScan.x, 1.0) << "marker " << axis;
        EXPECT_NEAR(m.y, inScan.y, 1.0) << "marker " << axis;
        EXPECT_NEAR(m.z, inScan.z, 1.0) << "marker " << axis;
    }

    // Refused in one line, the outputs left as they were.
    auto away = sampleScene({{10, 10, 10}}, spacingOf(1, 1, 1), identity);
    away->SetOrigin(itk::Point<double, 3>(vectorOf(500, 0, 0).GetDataPointer()));
    writeImage<Scene>(away, dir + "/away.nii");
    writeFile(dir + "/short.lut", std::string(700, '\x40'));
    const std::string before = readFile(dir + "/overlay.raw");
    for (auto [arguments, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{dir + "/away.nii", dir + "/overlay.raw"}, "the overlay lies outside the scan"},
             {{dir + "/labels.nii.gz", dir + "/overlay.raw", "--labels", dir + "/short.lut"}, "holds 700 bytes"},
             {{dir + "/scan.nii", dir + "/overlay.raw", "--overlay-window", "5000", "6000"}, "nothing in the overlay"},
             {{dir + "/none.nii", dir + "/overlay.raw"}, "none.nii: no such file"}}) {
        arguments.insert(arguments.begin(), {dir + "/scan.nii", dir + "/out.raw", "--overlay"});
        ImportRun run = importScan(dir, arguments);
        EXPECT_EQ(run.status, 1) << says;
        EXPECT_NE(run.errors.find(says), std::string::npos) << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_EQ(readFile(dir + "/overlay.raw"), before);
    }
}

TEST_F(Import, ScaledAndFourDimensionalNiftiImport)
{
    writeNifti(dir + "/scaled.nii", {1}, 2, -100);
    writeNifti(dir + "/series.nii", {1, 0.6}, 1, 0);
    expectSceneInPlace(imported(dir + "/scaled.nii"), "scaled");

    // The ball is 1000 in the first volume, 600 in the second.
    for (int volume : {1, 2}) {
        std::string said;
        Volume chosen = imported(dir + "/series.nii", {"--volume", std::to_string(volume)}, &said);
        expectSceneInPlace(chosen, "volume " + std::to_string(volume));
        EXPECT_NE(said.find("volume " + std::to_string(volume) + " of 2; --volume K imports another\n"),
                  std::string::npos) << said;
        EXPECT_NE(said.find(volume == 1 ? "values 0 to 1000" : "values 0 to 600"), std::string::npos) << said;
    }
    std::string said;
    imported(dir + "/series.nii", {}, &said);
    EXPECT_NE(said.find("volume 1 of 2; --volume K imports another\n"), std::string::npos) << said;
    const struct {
        std::string input, volume, cause;
    } refused[] = {
        {dir + "/series.nii", "3", "it holds 2 volumes, no volume 3"},
        {dir + "/scaled.nii", "2", "a single volume; --volume chooses within a file of several"},
        {dir, "1", "a DICOM directory; --volume chooses within a file of several volumes"},
    };
    for (const auto& bad : refused) {
        ImportRun run = importScan(dir, {bad.input, dir + "/out.raw", "--volume", bad.volume});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.errors, "import_scan: " + bad.input + ": " + bad.cause + (bad.input == dir ? " (--series and --stack choose within a directory)\n" : "\n"));
    }
}

// Slabs of air, water, soft tissue and bone in Hounsfield units.
float hounsfieldSlabs(const Scene::PointType& p)
{
    const float values[] = {-1000, 0, 40, 300, 1000, 2500};
    int slab = std::clamp(static_cast<int>((p[0] + 60) / 20), 0, 5);
    return values[slab];
}

TEST_F(Import, HounsfieldUnitsLandInTheDensityBandsAndAWindowMapsExactly)
{
    Direction identity;
    identity.SetIdentity();
    auto ct = sampleScene({{120, 40, 40}}, spacingOf(1.0, 1.0, 1.0), identity, hounsfieldSlabs);
    writeImage<Scene>(ct, dir + "/ct.nrrd");
    writeDicomSeries(ct, dir + "/ct", "CT");

    // Slab centres along x: the cube's 256 voxels span the scan's 120 mm.
    auto slabValue = [](const Volume& volume, int slab) {
        int x = static_cast<int>((slab * 20 + 10) * side / 120.0);
        return volume.at(x, side / 2, side / 2);
    };
    const char* names[] = {"air", "water", "soft tissue", "dense", "bone", "dense bone"};
    const int low[] = {0, 45, 90, 180, 230, 245}, high[] = {0, 55, 110, 200, 245, 255};
    for (std::string input : {"ct.nrrd", "ct"}) {
        Volume volume = imported(dir + "/" + input);
        for (int slab = 0; slab < 6; ++slab) {
            EXPECT_GE(slabValue(volume, slab), low[slab]) << input << ": " << names[slab];
            EXPECT_LE(slabValue(volume, slab), high[slab]) << input << ": " << names[slab];
        }
    }

    Volume windowed = imported(dir + "/ct.nrrd", {"--window", "-100", "100"});
    const int expected[] = {0, 128, 179, 255, 255, 255};  // 255 * (v + 100) / 200, rounded
    for (int slab = 0; slab < 6; ++slab)
        EXPECT_EQ(slabValue(windowed, slab), expected[slab]) << names[slab];
}

TEST_F(Import, ARealHeadComesOutCentredUprightAndFacingFront)
{
    const std::string head = "/usr/share/mricron/templates/ch2.nii.gz";
    if (!std::filesystem::exists(head))
        GTEST_SKIP() << head << " is not installed";
    auto start = std::chrono::steady_clock::now();
    Volume volume = imported(head);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "imported " << head << " in " << seconds << " s\n";

    // The head fills the cube along its longest side, front to back, and is
    // centred across: as much matter left of the middle as right of it.
    Centroid all = brightCentroid(volume, 0, side, 0, side, 0, side);
    EXPECT_NEAR(all.x, side / 2.0, 6);
    // Top up: the crown is rounded, so the upper slabs hold less matter than the lower ones
    // of the brain; and the neck is cut at the bottom of the scan, not at its top.
    auto slab = [&](int y0, int y1) { return brightCentroid(volume, 0, side, y0, y1, 0, side).count; };
    EXPECT_GT(slab(40, 80), 2 * slab(200, 240)) << "the head seems upside down";
    // Face to the front: the eyes and the face lie in front of the brain's
    // centre, low down, and the back of the head is round; in the lower
    // half, matter reaches farther forward than backward.
    Centroid lower = brightCentroid(volume, 0, side, 0, 128, 0, side);
    Centroid brain = brightCentroid(volume, 0, side, 128, side, 0, side);
    EXPECT_GT(lower.z, brain.z) << "the face seems to point backward";
}

// Bad inputs: one line naming the input and its cause, status 1, no signal,
// and an existing output untouched with nothing left beside it.
TEST_F(Import, BadInputsFailInOneLineAndLeaveTheOutputAsItWas)
{
    Direction identity;
    identity.SetIdentity();
    auto scene = sampleScene({{40, 40, 40}}, spacingOf(1.0, 1.0, 1.0), identity);
    writeImage<Scene>(scene, dir + "/good.nii.gz");
    writeImage<Scene>(scene, dir + "/good.nii");
    writeImage<Scene>(scene, dir + "/good.nrrd");
    writeImage<Scene>(scene, dir + "/good.mha");
    std::string gz = readFile(dir + "/good.nii.gz");
    std::string nii = readFile(dir + "/good.nii");
    std::string nrrd = readFile(dir + "/good.nrrd");
    std::string mha = readFile(dir + "/good.mha");

    makeDir(dir + "/in");
    auto in = [&](const std::string& name) { return dir + "/in/" + name; };
    writeFile(in("cut.nii.gz"), gz.substr(0, gz.size() / 2));
    writeFile(in("cut.nii"), nii.substr(0, nii.size() - 1000));
    writeFile(in("cut.nrrd"), nrrd.substr(0, nrrd.size() - 1000));
    writeFile(in("cut.mha"), mha.substr(0, mha.size() - 1000));
    writeFile(in("notes.nii"), std::string("these are not voxels\n"));
    std::string huge = nrrd.substr(0, nrrd.find("sizes:")) + "sizes: 100000 100000 100000\n" +
                       nrrd.substr(nrrd.find('\n', nrrd.find("sizes:")) + 1);
    writeFile(in("huge.nrrd"), huge);
    auto flat = itk::Image<float, 2>::New();
    flat->SetRegions(itk::Size<2>{{32, 32}});
    flat->Allocate(true);
    writeImage<itk::Image<float, 2>>(flat, in("flat.nii"));
    auto complex = itk::Image<std::complex<float>, 3>::New();
    complex->SetRegions(itk::Size<3>{{8, 8, 8}});
    complex->Allocate(true);
    writeImage<itk::Image<std::complex<float>, 3>>(complex, in("complex.nii"));
    auto colour = itk::Image<itk::RGBPixel<unsigned char>, 3>::New();
    colour->SetRegions(itk::Size<3>{{8, 8, 8}});
    colour->Allocate(true);
    writeImage<itk::Image<itk::RGBPixel<unsigned char>, 3>>(colour, in("colour.mha"));
    makeDir(in("empty"));
    // DICOM whose geometry cannot be made right.
    std::vector<DicomSlice> wideGap = axialSlices(), offLine = axialSlices(), twice = axialSlices(), halves;
    wideGap.erase(wideGap.begin() + 30, wideGap.begin() + 35);
    offLine[20].centre[0] += 5;
    twice.push_back(twice[10]);
    twice.back().scale = 0.5f;
    for (int k = 0; k < 30; ++k) {
        halves.push_back(axialSlices()[k]);
        halves.push_back({vectorOf(-30 + 2 * k, 0, 0), vectorOf(0, 1, 0), vectorOf(0, 0, -1), {}});
    }
    writeDicomSlices(wideGap, in("wide-gap"), "IM");
    writeDicomSlices(offLine, in("off-line"), "IM");
    writeDicomSlices(twice, in("twice"), "IM");
    writeDicomSlices(halves, in("halves"), "IM");
    std::vector<Frame> frames;  // one file of frames that does not say how far apart they lie
    for (const DicomSlice& slice : axialSlices())
        frames.push_back({slice, 30, "ORIGINAL\\PRIMARY\\M\\NONE", 1, 0});
    writeMultiFrame(frames, in("unspaced/IM1"), "1.2.826.0.1.3680043.2.1125.1.2", "2", 1, Layout::classicUnspaced);

    // Damaged files, each refused at once: headers whose fields cannot be read or
    // claim absurd counts, compressed data that does not inflate whole, and DICOM
    // whose element lengths or transfer syntax do not fit the bytes.
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    writeFile(in("sizes.nrrd"), replaced(nrrd, "sizes: 40 40 40", "sizes: a b c"));
    writeFile(in("axes.mha"), replaced(mha, "TransformMatrix = 1 0 0 0 1 0 0 0 1", "TransformMatrix = 1 0 0 1 0 0 0 0 1"));
    writeFile(in("pattern.nrrd"), nrrd.substr(0, nrrd.find("\n\n")) + "\ndata file: slice%03d.raw 1 2147483648 1 2\n\n");
    writeFile(in("type.mha"), replaced(mha, "MET_FLOAT", "MET_QUATERNION"));
    writeImage<Scene>(scene, dir + "/zipped.mha", true);
    std::string zipped = readFile(dir + "/zipped.mha");
    writeFile(in("halved.mha"), zipped.substr(0, zipped.size() / 2 + 400));
    zipped[zipped.size() / 2] = static_cast<char>(zipped[zipped.size() / 2] ^ 0x5a);
    writeFile(in("flipped.mha"), zipped);
    writeMultiFrame(frames, dir + "/frames", "1.2.826.0.1.3680043.2.1125.1.2", "2", 1, Layout::ownOrientation);
    const std::string enhanced = readFile(dir + "/frames");
    const std::string littleEndian("1.2.840.10008.1.2.1\0", 20);
    makeDir(in("endian"));
    for (int k = 1; k <= 3; ++k)
        writeFile(in("endian/IM" + std::to_string(k)), replaced(enhanced, littleEndian, std::string("1.2.840.10008.1.2.2\0", 20)));
    writeFile(in("header.dcm"), enhanced.substr(0, 232));
    writeFile(in("rle.dcm"), replaced(enhanced, littleEndian, std::string("1.2.840.10008.1.2.5\0", 20)));

    const struct {
        std::string input, cause;
    } cases[] = {
        {in("missing.nii"), "no such file"},
        {in("notes.nii"), "not an image"},
        {in("flat.nii"), "2D"},
        {in("cut.nii.gz"), "cut short"},
        {in("cut.nii"), "cut short"},
        {in("cut.nrrd"), "cut short"},
        {in("cut.mha"), "cut short"},
        {in("huge.nrrd"), "more than can be allocated"},
        {in("empty"), "empty directory"},
        {in("complex.nii"), "complex"},
        {in("colour.mha"), "components"},
        {in("wide-gap"), "a gap of 12 mm between slices 30 and 31 (at -2 and 10 mm), where they lie 2 mm apart "
                         "beside it: about 5 slices missing, too many to fill in"},
        {in("off-line"), "slice 21 (" + in("off-line") + "/IM21) lies 5 mm off the line the others follow"},
        {in("twice"), "lie at the same position and nothing in their headers tells them apart"},
        {in("halves"), "no orientation holds a majority"},
        {in("unspaced"), "61 of its 61 slices have no position or orientation"},
        {in("sizes.nrrd"), "not a readable NRRD header: its field \"sizes\" cannot be read from \"a b c\""},
        {in("pattern.nrrd"), "its data file pattern names 2147483648 files"},
        {in("axes.mha"), "its axes do not span a volume"},
        {in("type.mha"), "a voxel type this tool does not read"},
        {in("halved.mha"), "cut short"},
        {in("flipped.mha"), "its compressed data "},
        {in("endian"), "all its 3 DICOM files are damaged"},
        {in("header.dcm"), "cut short at byte 232"},
        {in("rle.dcm"), "its pixels cannot be decoded as its transfer syntax says"},
    };
    const std::string output = dir + "/out/volume.raw";
    makeDir(dir + "/out");
    const std::string before = "the volume the user had";
    writeFile(output, before);
    for (const auto& bad : cases) {
        auto start = std::chrono::steady_clock::now();
        ImportRun run = importScan(dir, {bad.input, output});
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 30) << bad.input << ": refused only after a long search";
        EXPECT_EQ(run.status, 1) << bad.input << ": " << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_EQ(run.errors.rfind("import_scan: " + bad.input + ": ", 0), 0u) << run.errors;
        EXPECT_NE(run.errors.find(bad.cause), std::string::npos) << run.errors;
        EXPECT_TRUE(readFile(output) == before) << bad.input << ": the output was changed";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/out"), {}), 1) << bad.input;
    }
}

}  // namespace
