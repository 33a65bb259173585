// import_scan: turns a real CT or MRI scan (NIfTI, NRRD, MetaImage, or a
// directory holding a DICOM series) into the viewer's volume: 256^3 unsigned
// bytes, x fastest, with the patient's left at +x, superior at +y and anterior
// at +z, so that a head faces the viewer in its default view.
//
//   import_scan INPUT OUTPUT [--window LOW HIGH]
#include "itkGDCMImageIO.h"
#include "itkGDCMSeriesFileNames.h"
#include "itkImageFileReader.h"
#include "itkImageIOFactory.h"
#include "itkImageSeriesReader.h"
#include "itkCommand.h"
#include "itkLinearInterpolateImageFunction.h"
#include "itkMetaDataObject.h"
#include "itkRecursiveGaussianImageFilter.h"
#include "itkResampleImageFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using ScanImage = itk::Image<float, 3>;
using Direction = ScanImage::DirectionType;

static const int cubeSide = 256;                      // the viewer's fixed volume
static const double mostVoxels = 1024.0 * 1024 * 1024;  // 4 GiB as floats: beyond that, refuse
static const size_t percentileSamples = 4000000;     // voxels looked at for the percentiles

// A failure to report: one line on standard error that names the input and the cause.
struct ImportError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How scan values become bytes: linear from low (0) to high (255), or the
// Hounsfield table.
struct Mapping {
    bool hounsfield = false;
    double low = 0, high = 1;
};

// Hounsfield units to bytes, piecewise linear. The bytes fall in the viewer's
// density bands: air 0, lung and fat below the default threshold or just above
// it, fluid near 0.20, soft tissue near 0.39, dense structures (contrast,
// calcification, spongy bone) near 0.75, cortical bone near 0.94.
static const double hounsfieldTable[][2] = {
    {-1000, 0}, {-400, 8}, {-100, 30}, {0, 50}, {40, 100},
    {100, 120}, {300, 190}, {1000, 240}, {2000, 255}};

static std::string oneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? text : text.substr(0, end + 1);
}

// The direction of an image axis in patient words (ITK's physical frame is
// x to the left, y to the back, z to the top).
static std::string axisWord(const Direction& direction, int axis)
{
    static const char* words[3][2] = {{"left", "right"}, {"posterior", "anterior"}, {"superior", "inferior"}};
    int dominant = 0;
    for (int row = 1; row < 3; ++row)
        if (std::fabs(direction(row, axis)) > std::fabs(direction(dominant, axis)))
            dominant = row;
    std::string word = words[dominant][direction(dominant, axis) < 0 ? 1 : 0];
    return std::fabs(direction(dominant, axis)) < 0.999 ? "about " + word : word;
}

// Reads a file's header before any voxel, so that images this tool cannot use
// are refused with their reason rather than converted.
static itk::ImageIOBase::Pointer readHeader(const std::string& path)
{
    itk::ImageIOBase::Pointer io =
        itk::ImageIOFactory::CreateImageIO(path.c_str(), itk::ImageIOFactory::FileModeEnum::ReadMode);
    if (io.IsNull())
        throw ImportError("not an image in a format this tool reads (NIfTI, NRRD, MetaImage, DICOM)");
    io->SetFileName(path);
    io->ReadImageInformation();
    if (io->GetPixelType() == itk::IOPixelEnum::COMPLEX)
        throw ImportError("complex pixels; a volume of real values is needed");
    if (io->GetNumberOfComponents() != 1)
        throw ImportError(std::to_string(io->GetNumberOfComponents()) +
                          " components per voxel (colour or vectors); a volume of single values is needed");
    return io;
}

// Refuses a size that is not one volume, or too big to hold; slices > 1 for a series of 2D files.
static void checkSize(const itk::ImageIOBase* io, size_t slices = 1)
{
    unsigned dimensions = io->GetNumberOfDimensions();
    std::vector<size_t> sizes;
    for (unsigned axis = 0; axis < dimensions; ++axis)
        sizes.push_back(io->GetDimensions(axis));
    if (slices > 1)
        sizes.resize(2, 1), sizes.push_back(slices);
    std::string size;
    double voxels = 1;
    for (size_t axis = 0; axis < sizes.size(); ++axis) {
        size += (axis ? "x" : "") + std::to_string(sizes[axis]);
        voxels *= sizes[axis];
    }
    if (voxels == 0)
        throw ImportError("the header gives a size of " + size + " voxels");
    if (sizes.size() < 3 || sizes[2] == 1)
        throw ImportError("a 2D image (" + size + " pixels); a volume is needed");
    for (size_t axis = 3; axis < sizes.size(); ++axis)
        if (sizes[axis] > 1)
            throw ImportError("a series of volumes (" + size + "); a single volume is needed");
    if (voxels > mostVoxels)
        throw ImportError("the header claims " + size + " voxels, more than can be allocated");
}

static ScanImage::Pointer readFile(const std::string& path, std::string* modality)
{
    itk::ImageIOBase::Pointer io = readHeader(path);
    checkSize(io);
    auto reader = itk::ImageFileReader<ScanImage>::New();
    reader->SetImageIO(io);
    reader->SetFileName(path);
    reader->Update();
    itk::ExposeMetaData<std::string>(io->GetMetaDataDictionary(), "0008|0060", *modality);
    return reader->GetOutput();
}

// Reports the share of a long read that is done, in fifths.
static void reportProgress(itk::ProcessObject* reader)
{
    auto observer = itk::CStyleCommand::New();
    observer->SetCallback([](itk::Object* caller, const itk::EventObject&, void*) {
        static int reported = 0;
        int fifths = static_cast<int>(static_cast<itk::ProcessObject*>(caller)->GetProgress() * 5.0f);
        if (fifths > reported && fifths < 5) {
            reported = fifths;
            printf("  %d%% read\n", fifths * 20);
            fflush(stdout);
        }
    });
    reader->AddObserver(itk::ProgressEvent(), observer);
}

// A directory: the DICOM series in it with the most slices.
static ScanImage::Pointer readDicomDirectory(const std::string& path, std::string* modality)
{
    printf("looking for DICOM series in %s\n", path.c_str());
    fflush(stdout);
    auto names = itk::GDCMSeriesFileNames::New();
    names->SetUseSeriesDetails(true);
    names->SetDirectory(path);
    const std::vector<std::string>& series = names->GetSeriesUIDs();
    if (series.empty())
        throw ImportError(std::filesystem::is_empty(path) ? "an empty directory"
                                                          : "a directory without a DICOM series");
    std::string chosen = series[0];
    for (const std::string& uid : series)
        if (names->GetFileNames(uid).size() > names->GetFileNames(chosen).size())
            chosen = uid;
    std::vector<std::string> files = names->GetFileNames(chosen);
    printf("%zu series found; reading series %s, %zu slices\n", series.size(), chosen.c_str(), files.size());
    fflush(stdout);
    if (files.size() == 1)  // one file may still hold a whole volume (multi-frame)
        return readFile(files[0], modality);

    checkSize(readHeader(files[0]), files.size());
    auto io = itk::GDCMImageIO::New();
    auto reader = itk::ImageSeriesReader<ScanImage>::New();
    reader->SetImageIO(io);
    reader->SetFileNames(files);
    reportProgress(reader);
    reader->Update();
    io->GetValueFromTag("0008|0060", *modality);
    return reader->GetOutput();
}

static double percentile(std::vector<float>& values, double share)
{
    size_t rank = static_cast<size_t>(share * (values.size() - 1));
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[rank];
}

// Chooses how values become bytes: the window the user gave; the Hounsfield
// table for a CT (by its DICOM modality, or because a good share of it sits at
// the value of air); otherwise robust percentiles, so that a few extreme voxels
// do not squeeze the tissues into a narrow band.
static Mapping chooseMapping(const ScanImage* scan, const std::string& modality, const double* window)
{
    const float* voxels = scan->GetBufferPointer();
    size_t count = scan->GetBufferedRegion().GetNumberOfPixels();
    size_t stride = std::max<size_t>(1, count / percentileSamples);
    std::vector<float> values;
    values.reserve(count / stride + 1);
    for (size_t i = 0; i < count; i += stride)
        if (std::isfinite(voxels[i]))
            values.push_back(voxels[i]);
    if (values.empty())
        throw ImportError("no finite values");
    double lowest = *std::min_element(values.begin(), values.end());
    double highest = *std::max_element(values.begin(), values.end());
    double low = percentile(values, 0.005), high = percentile(values, 0.995);
    printf("  values %g to %g (0.5%% and 99.5%% percentiles %g and %g)\n", lowest, highest, low, high);

    Mapping mapping;
    if (window != nullptr) {
        mapping.low = window[0];
        mapping.high = window[1];
        printf("mapping: window %g to %g onto 0 to 255\n", mapping.low, mapping.high);
    } else if (modality == "CT" || (low <= -900 && lowest >= -4096)) {
        mapping.hounsfield = true;
        printf("mapping: Hounsfield units (%s) through the table", modality == "CT" ? "DICOM modality CT"
                                                                                       : "values of a CT");
        for (const auto& entry : hounsfieldTable)
            printf(" %g->%g", entry[0], entry[1]);
        printf("\n");
    } else {
        if (!(high > low)) {  // nearly uniform: use the whole range, if there is one
            low = lowest;
            high = highest > lowest ? highest : lowest + 1;
        }
        mapping.low = low;
        mapping.high = high;
        printf("mapping: percentiles, %g (0.5%%) onto 0 and %g (99.5%%) onto 255\n", low, high);
    }
    fflush(stdout);
    return mapping;
}

static unsigned char toByte(float value, const Mapping& mapping)
{
    double byte;
    if (!std::isfinite(value)) {
        byte = 0;
    } else if (mapping.hounsfield) {
        const int last = sizeof hounsfieldTable / sizeof hounsfieldTable[0] - 1;
        int i = 0;
        while (i < last - 1 && value > hounsfieldTable[i + 1][0])
            ++i;
        double share = (value - hounsfieldTable[i][0]) / (hounsfieldTable[i + 1][0] - hounsfieldTable[i][0]);
        byte = hounsfieldTable[i][1] + std::clamp(share, 0.0, 1.0) * (hounsfieldTable[i + 1][1] - hounsfieldTable[i][1]);
    } else {
        byte = (value - mapping.low) / (mapping.high - mapping.low) * 255.0;
    }
    return static_cast<unsigned char>(std::lround(std::clamp(byte, 0.0, 255.0)));
}

// The viewer's axes in ITK's physical frame: +x toward the patient's left,
// +y superior, +z anterior (ITK's y points to the back).
static Direction viewerAxes()
{
    Direction axes;
    axes.Fill(0.0);
    axes(0, 0) = 1.0;
    axes(2, 1) = 1.0;
    axes(1, 2) = -1.0;
    return axes;
}

// Fits the scan's whole extent, voxel edges included, into the cube with
// isotropic voxels: the longest side spans all 256, the others are centred.
// Where the scan is shrunk it is smoothed first so that fine detail does not
// alias into false structure.
static ScanImage::Pointer resample(ScanImage::Pointer scan)
{
    const Direction axes = viewerAxes();
    const ScanImage::SizeType size = scan->GetLargestPossibleRegion().GetSize();
    const ScanImage::SpacingType spacing = scan->GetSpacing();
    for (int axis = 0; axis < 3; ++axis)
        if (!(spacing[axis] > 0) || !std::isfinite(spacing[axis]))
            throw ImportError("the header gives a voxel spacing of " + std::to_string(spacing[axis]));

    itk::Vector<double, 3> lowest, highest;
    lowest.Fill(HUGE_VAL);
    highest.Fill(-HUGE_VAL);
    for (int corner = 0; corner < 8; ++corner) {
        itk::ContinuousIndex<double, 3> index;
        for (int axis = 0; axis < 3; ++axis)
            index[axis] = (corner >> axis & 1) ? size[axis] - 0.5 : -0.5;
        ScanImage::PointType point;
        scan->TransformContinuousIndexToPhysicalPoint(index, point);
        itk::Vector<double, 3> inViewer = Direction(axes.GetTranspose()) * point.GetVectorFromOrigin();
        for (int axis = 0; axis < 3; ++axis) {
            lowest[axis] = std::min(lowest[axis], inViewer[axis]);
            highest[axis] = std::max(highest[axis], inViewer[axis]);
        }
    }
    itk::Vector<double, 3> extent = highest - lowest;
    double voxel = std::max({extent[0], extent[1], extent[2]}) / cubeSide;
    itk::Vector<double, 3> firstCentre = (lowest + highest) * 0.5;
    for (int axis = 0; axis < 3; ++axis)
        firstCentre[axis] -= (cubeSide - 1) * 0.5 * voxel;
    ScanImage::PointType origin;
    origin.Fill(0.0);
    origin += axes * firstCentre;

    printf("resampling %gx%gx%g mm into %d^3 voxels of %g mm\n", extent[0], extent[1], extent[2], cubeSide, voxel);
    ScanImage::Pointer smoothed = scan;
    for (int axis = 0; axis < 3; ++axis) {
        // A Gaussian that brings the scan's resolution along this axis down to the cube's.
        double sigma = 0.5 * std::sqrt(std::max(0.0, voxel * voxel - spacing[axis] * spacing[axis]));
        if (sigma < 0.5 * spacing[axis])
            continue;  // too little shrinking to alias
        printf("  smoothing along scan axis %d, sigma %g mm\n", axis, sigma);
        auto gaussian = itk::RecursiveGaussianImageFilter<ScanImage, ScanImage>::New();
        gaussian->SetInput(smoothed);
        gaussian->SetDirection(axis);
        gaussian->SetSigma(sigma);
        gaussian->SetZeroOrder();
        gaussian->Update();
        smoothed = gaussian->GetOutput();
    }
    fflush(stdout);

    float air = std::numeric_limits<float>::max();  // outside the scan: its lowest value
    const float* voxels = scan->GetBufferPointer();
    for (size_t i = 0, n = scan->GetBufferedRegion().GetNumberOfPixels(); i < n; ++i)
        if (std::isfinite(voxels[i]))
            air = std::min(air, voxels[i]);

    auto resampler = itk::ResampleImageFilter<ScanImage, ScanImage>::New();
    resampler->SetInput(smoothed);
    resampler->SetInterpolator(itk::LinearInterpolateImageFunction<ScanImage, double>::New());
    resampler->SetSize({{cubeSide, cubeSide, cubeSide}});
    resampler->SetOutputSpacing(voxel);
    resampler->SetOutputOrigin(origin);
    resampler->SetOutputDirection(axes);
    resampler->SetDefaultPixelValue(air);
    resampler->Update();
    return resampler->GetOutput();
}

// Writes beside OUTPUT and renames, so a failure never leaves a partial file
// and an existing OUTPUT stays as it was until the new one is whole.
static void writeVolume(const std::string& output, const std::vector<unsigned char>& bytes)
{
    printf("writing %s\n", output.c_str());
    fflush(stdout);
    std::string temporary = output + ".XXXXXX";
    int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0)
        throw ImportError(std::string("cannot write beside it: ") + strerror(errno));
    mode_t mask = umask(0);  // mkstemp makes the file private; give it the usual permissions
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    FILE* file = fdopen(descriptor, "wb");
    bool written = file != nullptr && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = (file != nullptr ? fclose(file) == 0 : close(descriptor) == 0) && written;
    if (!written || rename(temporary.c_str(), output.c_str()) != 0) {
        std::string cause = strerror(errno);
        unlink(temporary.c_str());
        throw ImportError("cannot write it: " + cause);
    }
}

static void printScan(const std::string& input, const ScanImage* scan)
{
    const ScanImage::SizeType size = scan->GetLargestPossibleRegion().GetSize();
    const ScanImage::SpacingType spacing = scan->GetSpacing();
    const Direction direction = scan->GetDirection();
    printf("read %s: %lux%lux%lu voxels of %gx%gx%g mm, axes toward %s, %s, %s\n", input.c_str(), size[0],
           size[1], size[2], spacing[0], spacing[1], spacing[2], axisWord(direction, 0).c_str(),
           axisWord(direction, 1).c_str(), axisWord(direction, 2).c_str());
}

int main(int argc, char** argv)
{
    double window[2];
    bool windowGiven = argc == 6 && std::string(argv[3]) == "--window";
    char* end0 = nullptr;
    char* end1 = nullptr;
    if (windowGiven) {
        window[0] = strtod(argv[4], &end0);
        window[1] = strtod(argv[5], &end1);
    }
    if (!(argc == 3 || windowGiven) ||
        (windowGiven && (*end0 != '\0' || *end1 != '\0' || !(window[1] > window[0])))) {
        fprintf(stderr, "usage: import_scan INPUT OUTPUT [--window LOW HIGH]  (LOW below HIGH)\n");
        return 1;
    }
    const std::string input = argv[1];
    const std::string output = argv[2];
    std::string failing = input;  // what a failure names: the input, until writing starts
    try {
        std::error_code error;
        if (!std::filesystem::exists(input, error))
            throw ImportError("no such file or directory");
        std::string modality;
        ScanImage::Pointer scan = std::filesystem::is_directory(input, error) ? readDicomDirectory(input, &modality)
                                                                              : readFile(input, &modality);
        printScan(input, scan);
        Mapping mapping = chooseMapping(scan, modality, windowGiven ? window : nullptr);
        ScanImage::Pointer cube = resample(scan);
        scan = nullptr;

        const float* values = cube->GetBufferPointer();
        std::vector<unsigned char> bytes(static_cast<size_t>(cubeSide) * cubeSide * cubeSide);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = toByte(values[i], mapping);
        failing = output;
        writeVolume(output, bytes);
    } catch (const ImportError& error) {
        fprintf(stderr, "import_scan: %s: %s\n", failing.c_str(), error.what());
        return 1;
    } catch (const itk::ExceptionObject& error) {
        fprintf(stderr, "import_scan: %s: %s\n", failing.c_str(), oneLine(error.GetDescription()).c_str());
        return 1;
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "import_scan: %s: not enough memory to import it\n", failing.c_str());
        return 1;
    } catch (const std::exception& error) {
        fprintf(stderr, "import_scan: %s: %s\n", failing.c_str(), oneLine(error.what()).c_str());
        return 1;
    }
    return 0;
}
