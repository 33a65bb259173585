// import_scan: turns a real CT or MRI scan (NIfTI, NRRD, MetaImage, or a
// directory holding DICOM series, to any depth) into the viewer's volume: 256^3 unsigned
// bytes, x fastest, with the patient's left at +x, superior at +y and anterior
// at +z, so that a head faces the viewer in its default view.
//
//   import_scan INPUT OUTPUT [--window LOW HIGH] [--series N] [--stack K] [--volume K]
#include "dicom_series.h"

#include "itkExtractImageFilter.h"
#include "itkImageFileReader.h"
#include "itkImageIOFactory.h"
#include "itkLinearInterpolateImageFunction.h"
#include "itkMetaDataObject.h"
#include "itkRecursiveGaussianImageFilter.h"
#include "itkResampleImageFilter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using Direction = ScanImage::DirectionType;

static const int cubeSide = 256;                      // the viewer's fixed volume
static const size_t percentileSamples = 4000000;     // voxels looked at for the percentiles

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

// A library's message as one line, without the name and address of the object that raised it.
static std::string oneLine(std::string text)
{
    if (text.rfind("ITK ERROR: ", 0) == 0 && text.find("): ") != std::string::npos)
        text = text.substr(text.find("): ") + 3);
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

// Refuses a size that is not a volume or a series of volumes, or too big to
// hold; returns how many volumes the file holds.
static size_t checkSize(const itk::ImageIOBase* io)
{
    unsigned dimensions = io->GetNumberOfDimensions();
    std::vector<size_t> sizes;
    for (unsigned axis = 0; axis < dimensions; ++axis)
        sizes.push_back(io->GetDimensions(axis));
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
    for (size_t axis = 4; axis < sizes.size(); ++axis)
        if (sizes[axis] > 1)
            throw ImportError("volumes along " + std::to_string(sizes.size() - 3) + " axes (" + size +
                              "); a single volume or a series of them is needed");
    if (voxels > mostVoxels)
        throw ImportError("the header claims " + size + " voxels, more than can be allocated");
    return sizes.size() > 3 ? sizes[3] : 1;
}

// Bytes that a (possibly gzip-compressed) file holds once decompressed; -1 if
// the compressed stream is cut short or corrupt.
static long long dataLength(const std::string& path)
{
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0) {
        std::error_code error;
        auto size = std::filesystem::file_size(path, error);
        return error ? -1 : static_cast<long long>(size);
    }
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr)
        return -1;
    long long total = 0;
    std::vector<char> buffer(1 << 20);
    for (int count; (count = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0;)
        total += count;
    int status = Z_OK;
    gzerror(file, &status);
    gzclose(file);
    return status == Z_OK ? total : -1;
}

// Where the voxels of a NIfTI file begin (its vox_offset) and the bits each
// takes as stored (its bitpix, before any scale factor), from the header of
// either version; false if the header cannot be read.
static bool niftiLayout(const std::string& path, long long* offset, int* bits)
{
    gzFile file = gzopen(path.c_str(), "rb");
    unsigned char header[176] = {};
    int count = file != nullptr ? gzread(file, header, sizeof header) : 0;
    if (file != nullptr)
        gzclose(file);
    if (count < static_cast<int>(sizeof header))
        return false;
    int32_t size;
    memcpy(&size, header, 4);
    bool swapped = size != 348 && size != 540;
    auto field = [&](int at, int length, void* value) {
        if (swapped)
            std::reverse(header + at, header + at + length);
        memcpy(value, header + at, length);
    };
    field(0, 4, &size);
    int16_t bitpix;
    if (size == 348) {
        float start;
        field(108, 4, &start);
        field(72, 2, &bitpix);
        *offset = static_cast<long long>(start);
    } else if (size == 540) {
        int64_t start;
        field(168, 8, &start);
        field(14, 2, &bitpix);
        *offset = start;
    } else {
        return false;
    }
    *bits = bitpix;
    return true;
}

// The data file of a MetaImage header, and where its voxels begin in it; an
// empty name where the header lists its data in a way not checked here.
static std::string metaImageData(const std::string& path, long long* offset, bool* compressed)
{
    std::ifstream header(path, std::ios::binary);
    std::string line;
    *compressed = false;
    while (std::getline(header, line)) {
        std::string key = line.substr(0, line.find('='));
        std::string value = line.find('=') == std::string::npos ? "" : line.substr(line.find('=') + 1);
        key.erase(key.find_last_not_of(" \t\r") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (key == "CompressedData")
            *compressed = value == "True" || value == "true";
        if (key == "ElementDataFile") {
            *offset = value == "LOCAL" ? static_cast<long long>(header.tellg()) : 0;
            if (value == "LOCAL")
                return path;
            if (value == "LIST" || value.find('%') != std::string::npos || value.find(' ') != std::string::npos)
                return "";
            return (std::filesystem::path(path).parent_path() / value).string();
        }
    }
    return "";
}

// Some readers fill what is missing with zeros and report success: a file cut
// short must be caught here, before it turns into a scan with its end blank.
static void checkComplete(const std::string& path, const itk::ImageIOBase* io)
{
    std::string name = io->GetNameOfClass();
    std::string data;
    long long offset = 0;
    long long needed = static_cast<long long>(io->GetImageSizeInBytes());
    bool compressed = false;
    if (name == "NiftiImageIO") {
        data = path;
        std::string base = path.substr(0, path.rfind(".hdr"));
        if (path.rfind(".hdr") != std::string::npos)  // a header and image pair
            data = base + ".img" + path.substr(path.rfind(".hdr") + 4);
        int bits = 0;
        if (!niftiLayout(path, &offset, &bits) || bits <= 0)
            return;
        // As stored: a file scaled to floats on reading holds its integers.
        needed = static_cast<long long>(io->GetImageSizeInPixels() * io->GetNumberOfComponents()) * bits / 8;
    } else if (name == "MetaImageIO") {
        data = metaImageData(path, &offset, &compressed);
        if (compressed)
            needed = 1;  // the compressed length is not known beforehand; at least something
    } else {
        return;  // the other readers report a short file themselves
    }
    if (data.empty() || offset < 0)
        return;
    long long length = dataLength(data);
    if (length < 0)
        throw ImportError("the file is corrupt or cut short (its compressed data ends too soon)");
    if (length < offset + needed)
        throw ImportError("the file is cut short: its voxels need " + std::to_string(offset + needed) +
                          " bytes, it holds " + std::to_string(length));
}

// Reads the scan in a file; of a file of several volumes (fMRI, diffusion),
// the one asked for, or the first.
static ScanImage::Pointer readFile(const std::string& path, size_t wanted, std::string* modality)
{
    itk::ImageIOBase::Pointer io = readHeader(path);
    size_t volumes = checkSize(io);
    checkComplete(path, io);
    if (wanted > 0 && volumes == 1)
        throw ImportError("a single volume; --volume chooses within a file of several");
    if (wanted > volumes)
        throw ImportError("it holds " + std::to_string(volumes) + " volumes, no volume " + std::to_string(wanted));
    itk::ExposeMetaData<std::string>(io->GetMetaDataDictionary(), "0008|0060", *modality);
    if (volumes == 1) {
        auto reader = itk::ImageFileReader<ScanImage>::New();
        reader->SetImageIO(io);
        reader->SetFileName(path);
        reader->Update();
        return reader->GetOutput();
    }
    using Series = itk::Image<float, 4>;
    auto reader = itk::ImageFileReader<Series>::New();
    reader->SetImageIO(io);
    reader->SetFileName(path);
    reader->UpdateOutputInformation();
    Series::RegionType region = reader->GetOutput()->GetLargestPossibleRegion();
    const size_t chosen = std::max<size_t>(wanted, 1);
    region.SetIndex(3, static_cast<itk::IndexValueType>(chosen - 1));
    region.SetSize(3, 0);  // the fourth axis collapses: one volume
    auto extract = itk::ExtractImageFilter<Series, ScanImage>::New();
    extract->SetInput(reader->GetOutput());
    extract->SetExtractionRegion(region);
    extract->SetDirectionCollapseToSubmatrix();
    extract->Update();
    printf("volume %zu of %zu; --volume K imports another\n", chosen, volumes);
    return extract->GetOutput();
}

// The lowest and highest finite value of the scan.
static void valueRange(const ScanImage* scan, float* lowest, float* highest)
{
    *lowest = std::numeric_limits<float>::max();
    *highest = std::numeric_limits<float>::lowest();
    const float* voxels = scan->GetBufferPointer();
    for (size_t i = 0, n = scan->GetBufferedRegion().GetNumberOfPixels(); i < n; ++i)
        if (std::isfinite(voxels[i])) {
            *lowest = std::min(*lowest, voxels[i]);
            *highest = std::max(*highest, voxels[i]);
        }
    if (*lowest > *highest)
        throw ImportError("no finite values");
}

static double percentile(std::vector<float>& values, double share)
{
    size_t rank = static_cast<size_t>(share * (values.size() - 1));
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[rank];
}

// Chooses how values become bytes: the window the user gave; the Hounsfield
// table for a CT (by its DICOM modality, or where no modality is given because
// a good share of it sits at the value of air: an MR phase map can look like
// that too); otherwise robust percentiles, so that a few extreme voxels
// do not squeeze the tissues into a narrow band.
static Mapping chooseMapping(const ScanImage* scan, float lowest, float highest, const std::string& modality,
                             const double* window)
{
    const float* voxels = scan->GetBufferPointer();
    size_t count = scan->GetBufferedRegion().GetNumberOfPixels();
    size_t stride = std::max<size_t>(1, count / percentileSamples);
    std::vector<float> values;
    values.reserve(count / stride + 1);
    for (size_t i = 0; i < count; i += stride)
        if (std::isfinite(voxels[i]))
            values.push_back(voxels[i]);
    if (values.empty())  // the finite values fell between the samples
        values = {lowest, highest};
    double low = percentile(values, 0.005), high = percentile(values, 0.995);
    printf("  values %g to %g (0.5%% and 99.5%% percentiles %g and %g)\n", lowest, highest, low, high);

    Mapping mapping;
    if (window != nullptr) {
        mapping.low = window[0];
        mapping.high = window[1];
        printf("mapping: window %g to %g onto 0 to 255\n", mapping.low, mapping.high);
    } else if (modality == "CT" || (modality.empty() && low <= -900 && lowest >= -4096)) {
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
static ScanImage::Pointer resample(ScanImage::Pointer scan, float air)
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

    auto resampler = itk::ResampleImageFilter<ScanImage, ScanImage>::New();
    resampler->SetInput(smoothed);
    resampler->SetInterpolator(itk::LinearInterpolateImageFunction<ScanImage, double>::New());
    resampler->SetSize({{cubeSide, cubeSide, cubeSide}});
    resampler->SetOutputSpacing(voxel);
    resampler->SetOutputOrigin(origin);
    resampler->SetOutputDirection(axes);
    resampler->SetDefaultPixelValue(air);  // outside the scan: its lowest value
    resampler->Update();
    return resampler->GetOutput();
}

static void writeVolume(const std::string& path, const std::vector<unsigned char>& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file != nullptr && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file == nullptr || fclose(file) != 0 || !written)
        throw ImportError(std::string("cannot write it: ") + strerror(errno));
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

// The lines of a child's standard error that are this tool's own reports.
static std::string ownReports(const std::string& errors)
{
    std::string reports;
    for (size_t start = 0, end; (end = errors.find('\n', start)) != std::string::npos; start = end + 1)
        if (errors.compare(start, 13, "import_scan: ") == 0)
            reports += errors.substr(start, end + 1 - start);
    return reports;
}

// The whole import, from reading INPUT to writing the bytes into TEMPORARY.
// Returns the exit status.
static int importScan(const std::string& input, const std::string& output, const std::string& temporary,
                      const double* window, const DicomChoice& dicom, size_t volume)
{
    std::string failing = input;  // what a failure names: the input, until writing starts
    try {
        std::error_code error;
        if (!std::filesystem::exists(input, error))
            throw ImportError("no such file or directory");
        std::string modality;
        std::filesystem::path folder = input;
        if (folder.filename() == "DICOMDIR")  // it stands for the folder it lies in
            folder = folder.parent_path().empty() ? "." : folder.parent_path();
        ScanImage::Pointer scan;
        if (std::filesystem::is_directory(folder, error)) {
            if (volume > 0)
                throw ImportError("a DICOM directory; --volume chooses within a file of several volumes "
                                  "(--series and --stack choose within a directory)");
            scan = readDicomDirectory(folder.string(), dicom, &modality);
        } else if (!dicom.series.empty() || dicom.stack > 0) {
            throw ImportError("a file; --series and --stack choose within a DICOM directory");
        } else {
            scan = readFile(input, volume, &modality);
        }
        printScan(input, scan);
        float lowest, highest;
        valueRange(scan, &lowest, &highest);
        Mapping mapping = chooseMapping(scan, lowest, highest, modality, window);
        ScanImage::Pointer cube = resample(scan, lowest);
        scan = nullptr;

        const float* values = cube->GetBufferPointer();
        std::vector<unsigned char> bytes(static_cast<size_t>(cubeSide) * cubeSide * cubeSide);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = toByte(values[i], mapping);
        failing = output;
        printf("writing %s\n", output.c_str());
        fflush(stdout);
        writeVolume(temporary, bytes);
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

int main(int argc, char** argv)
{
    double window[2];
    bool windowGiven = false, understood = argc >= 3;
    DicomChoice dicom;
    long volume = 0;
    for (int i = 3; i < argc && understood; ++i) {
        std::string option = argv[i];
        char* end0 = nullptr;
        char* end1 = nullptr;
        if (option == "--window" && i + 2 < argc) {
            window[0] = strtod(argv[i + 1], &end0);
            window[1] = strtod(argv[i + 2], &end1);
            windowGiven = true;
            understood = *end0 == '\0' && *end1 == '\0' && window[1] > window[0];
            i += 2;
        } else if (option == "--series" && i + 1 < argc && argv[i + 1][0] != '\0') {
            dicom.series = argv[++i];
        } else if (option == "--stack" && i + 1 < argc) {
            dicom.stack = static_cast<int>(strtol(argv[i + 1], &end0, 10));
            understood = *end0 == '\0' && dicom.stack > 0;
            ++i;
        } else if (option == "--volume" && i + 1 < argc) {
            volume = strtol(argv[i + 1], &end0, 10);
            understood = *end0 == '\0' && volume > 0;
            ++i;
        } else {
            understood = false;
        }
    }
    if (!understood) {
        fprintf(stderr, "usage: import_scan INPUT OUTPUT [--window LOW HIGH] [--series N] [--stack K] [--volume K]  "
                        "(LOW below HIGH; N a DICOM series number or UID; K from 1)\n");
        return 1;
    }
    const std::string input = argv[1];
    const std::string output = argv[2];
    itk::Object::GlobalWarningDisplayOff();  // failures are reported in one line of our own

    // The volume is written beside OUTPUT and renamed over it only when whole,
    // so a failed import leaves an existing OUTPUT as it was and no stray file.
    std::string temporary = output + ".XXXXXX";
    int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0) {
        fprintf(stderr, "import_scan: %s: cannot write beside it: %s\n", output.c_str(), strerror(errno));
        return 1;
    }
    mode_t mask = umask(0);  // mkstemp makes the file private; give it the usual permissions
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    close(descriptor);

    // The import runs in a child process: the DICOM library aborts on some
    // malformed files, and such a failure must still be one line and no file.
    // Its standard error comes through a pipe, so that what such a library
    // prints as it dies does not reach the user in place of the one line.
    fflush(stdout);
    int errors[2] = {-1, -1};
    pid_t child = pipe(errors) == 0 ? fork() : -1;
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        close(errors[0]);
        int status = importScan(input, output, temporary, windowGiven ? window : nullptr, dicom, volume);
        fflush(nullptr);
        _exit(status);
    }
    signal(SIGINT, SIG_IGN);  // an interrupt ends the child; the parent still cleans up
    signal(SIGTERM, SIG_IGN);
    close(errors[1]);
    std::string childErrors;
    char buffer[4096];
    while (child > 0) {
        ssize_t count = read(errors[0], buffer, sizeof buffer);
        if (count > 0)
            childErrors.append(buffer, static_cast<size_t>(count));
        else if (count == 0 || errno != EINTR)
            break;
    }
    close(errors[0]);
    int status = 0;
    bool imported = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    if (child < 0)
        fprintf(stderr, "import_scan: %s: cannot start the import: %s\n", input.c_str(), strerror(errno));
    else if (!WIFSIGNALED(status))  // its own report; what the libraries printed is left out
        fputs(ownReports(childErrors).c_str(), stderr);
    else
        fprintf(stderr, "import_scan: %s: the reader failed on malformed data (%s)\n", input.c_str(),
                strsignal(WTERMSIG(status)));
    if (imported && rename(temporary.c_str(), output.c_str()) != 0) {
        fprintf(stderr, "import_scan: %s: cannot write it: %s\n", output.c_str(), strerror(errno));
        imported = false;
    }
    if (!imported)
        unlink(temporary.c_str());
    return imported ? 0 : 1;
}
