// read_file: a scan in one file (NIfTI, NRRD, MetaImage). The toolkit reads
// its header and places it; the voxels are then read plane by plane from
// where the format keeps them, inflated on the way where they are compressed,
// so that no more than a plane of the scan is held at a time. Data kept in a
// way not read here (text, several files) is read whole by the toolkit.
#include "import.h"

#include "itkImageFileReader.h"
#include "itkImageIOFactory.h"
#include "itkMetaDataObject.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <zlib.h>

// Where and how a file keeps its voxels, as far as read here.
struct DataLayout {
    std::string file;          // empty: the toolkit reads the voxels
    long long offset = 0;      // where the data begins in the file
    bool compressed = false;   // gzip or zlib from there on
    long long skip = 0;        // bytes of the inflated data before the voxels
    itk::IOComponentEnum type = itk::IOComponentEnum::UNKNOWNCOMPONENTTYPE;  // as stored
    bool swap = false;         // stored in the other byte order
    double slope = 1, intercept = 0;
};

// What the toolkit found wrong with a header, in this tool's words: the
// field that could not be read, where its NRRD reader names it.
static std::string headerTrouble(const std::string& format, const std::string& description)
{
    const std::string kind = format == "NrrdImageIO" ? "NRRD" : format == "MetaImageIO" ? "MetaImage"
                             : format == "NiftiImageIO" ? "NIfTI" : "image";
    const size_t field = description.find("trouble parsing ");
    const size_t open = description.find(" info |", field), close = description.find('|', open + 7);
    if (field != std::string::npos && open != std::string::npos && close != std::string::npos)
        return "not a readable " + kind + " header: its field \"" + description.substr(field + 16, open - field - 16) +
               "\" cannot be read from \"" + description.substr(open + 7, close - open - 7) + "\"";
    return "not a readable " + kind + " header";
}

// A NRRD header may name its data files by a pattern and a range of numbers;
// a range of more files than any scan is kept in is damage, refused before
// the toolkit lists them all.
static void checkNrrdDataFiles(const std::string& path)
{
    std::ifstream header(path, std::ios::binary);
    std::string line;
    for (int count = 0; count < 1000 && std::getline(header, line) && !line.empty() && line != "\r"; ++count) {
        if (line.rfind("data file:", 0) != 0 && line.rfind("datafile:", 0) != 0)
            continue;
        char pattern[1024];
        double first, last, step;
        if (line.find('%') == std::string::npos ||
            sscanf(line.c_str() + line.find(':') + 1, " %1023s %lf %lf %lf", pattern, &first, &last, &step) != 4)
            return;
        const double files = step != 0 ? std::floor((last - first) / step) + 1 : HUGE_VAL;
        if (!(files >= 1 && files <= 100000))
            throw ImportError("its data file pattern names " + (std::isfinite(files) ? std::to_string(static_cast<long long>(files)) : std::string("endless")) +
                              " files, more than a scan is kept in");
        return;
    }
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
    const std::string format = io->GetNameOfClass();
    if (format == "NrrdImageIO")
        checkNrrdDataFiles(path);
    try {
        io->ReadImageInformation();
    } catch (const itk::ExceptionObject& error) {
        throw ImportError(headerTrouble(format, error.GetDescription()));
    }
    if (io->GetComponentType() == itk::IOComponentEnum::UNKNOWNCOMPONENTTYPE)
        throw ImportError("its header gives a voxel type this tool does not read");
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

// The stored type of a NIfTI datatype code.
static itk::IOComponentEnum niftiType(int code)
{
    using C = itk::IOComponentEnum;
    switch (code) {
    case 2: return C::UCHAR;
    case 4: return C::SHORT;
    case 8: return C::INT;
    case 16: return C::FLOAT;
    case 64: return C::DOUBLE;
    case 256: return C::CHAR;
    case 512: return C::USHORT;
    case 768: return C::UINT;
    case 1024: return C::LONGLONG;
    case 1280: return C::ULONGLONG;
    default: return C::UNKNOWNCOMPONENTTYPE;
    }
}

// A NIfTI file's layout from its header, of either version; the toolkit
// reads the voxels where the header cannot be read here.
static DataLayout niftiLayout(const std::string& path)
{
    DataLayout layout;
    gzFile file = gzopen(path.c_str(), "rb");
    unsigned char header[540] = {};
    int count = file != nullptr ? gzread(file, header, sizeof header) : 0;
    if (file != nullptr)
        gzclose(file);
    if (count < 348)
        return layout;
    int32_t size;
    memcpy(&size, header, 4);
    layout.swap = size != 348 && size != 540;
    auto field = [&](int at, int length, void* value) {
        unsigned char bytes[8];
        memcpy(bytes, header + at, length);
        if (layout.swap)
            std::reverse(bytes, bytes + length);
        memcpy(value, bytes, length);
    };
    field(0, 4, &size);
    int16_t datatype;
    if (size == 348) {
        float start, slope, intercept;
        field(70, 2, &datatype);
        field(108, 4, &start);
        field(112, 4, &slope);
        field(116, 4, &intercept);
        layout.skip = static_cast<long long>(start);
        layout.slope = slope, layout.intercept = intercept;
    } else if (size == 540 && count == 540) {
        int64_t start;
        double slope, intercept;
        field(12, 2, &datatype);
        field(168, 8, &start);
        field(176, 8, &slope);
        field(184, 8, &intercept);
        layout.skip = start;
        layout.slope = slope, layout.intercept = intercept;
    } else {
        return layout;
    }
    if (!(layout.slope != 0) || !std::isfinite(layout.slope) || !std::isfinite(layout.intercept))
        layout.slope = 1, layout.intercept = 0;  // no scaling, as the format says of a zero slope
    layout.type = niftiType(datatype);
    layout.file = path;
    const size_t hdr = path.rfind(".hdr");
    if (hdr != std::string::npos)  // a header and image pair
        layout.file = path.substr(0, hdr) + ".img" + path.substr(hdr + 4);
    layout.compressed = layout.file.size() > 3 && layout.file.compare(layout.file.size() - 3, 3, ".gz") == 0;
    if (!layout.compressed)
        layout.offset = layout.skip, layout.skip = 0;
    if (layout.type == itk::IOComponentEnum::UNKNOWNCOMPONENTTYPE)
        layout.file.clear();
    return layout;
}

// A header's lines as "key" and "value" pairs, up to its data (MetaImage: ElementDataFile; NRRD: a blank line).
static std::vector<std::pair<std::string, std::string>> headerFields(std::ifstream& header, char separator,
                                                                     const std::string& lastKey)
{
    std::vector<std::pair<std::string, std::string>> fields;
    std::string line;
    while (std::getline(header, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() && separator == ':')
            break;
        const size_t at = line.find(separator);
        std::string key = line.substr(0, at), value = at == std::string::npos ? "" : line.substr(at + 1);
        if (separator == ':' && !value.empty() && value[0] == '=')
            value.erase(0, 1);  // a NRRD key/value pair
        key.erase(key.find_last_not_of(" \t") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        fields.emplace_back(key, value);
        if (key == lastKey)
            break;
    }
    return fields;
}

static DataLayout metaImageLayout(const std::string& path, const itk::ImageIOBase* io)
{
    DataLayout layout;
    std::ifstream header(path, std::ios::binary);
    std::string data;
    bool other = false;
    for (const auto& [key, value] : headerFields(header, '=', "ElementDataFile")) {
        if (key == "CompressedData")
            layout.compressed = value == "True" || value == "true";
        other = other || (key == "HeaderSize" && value != "0");
        if (key == "ElementDataFile")
            data = value;
    }
    if (other || data.empty() || data == "LIST" || data.find('%') != std::string::npos ||
        data.find(' ') != std::string::npos)
        return layout;
    layout.file = data == "LOCAL" ? path : (std::filesystem::path(path).parent_path() / data).string();
    layout.offset = data == "LOCAL" ? static_cast<long long>(header.tellg()) : 0;
    layout.type = io->GetComponentType();
    layout.swap = io->GetByteOrder() == itk::IOByteOrderEnum::BigEndian;
    return layout;
}

static DataLayout nrrdLayout(const std::string& path, const itk::ImageIOBase* io)
{
    DataLayout layout;
    std::ifstream header(path, std::ios::binary);
    std::string magic, data, encoding = "raw";
    std::getline(header, magic);
    long long byteSkip = 0, lineSkip = 0;
    for (const auto& [key, value] : headerFields(header, ':', "")) {
        if (key == "data file" || key == "datafile")
            data = value;
        if (key == "encoding")
            encoding = value;
        if (key == "byte skip" || key == "byteskip")
            byteSkip = atoll(value.c_str());
        if (key == "line skip" || key == "lineskip")
            lineSkip = atoll(value.c_str());
    }
    if (magic.rfind("NRRD", 0) != 0 || lineSkip != 0 || byteSkip < 0 || data.find(' ') != std::string::npos ||
        data == "LIST" || (encoding != "raw" && encoding != "gzip" && encoding != "gz"))
        return layout;
    layout.compressed = encoding != "raw";
    if (data.empty()) {
        layout.file = path;
        layout.offset = static_cast<long long>(header.tellg());
    } else {
        layout.file = (std::filesystem::path(path).parent_path() / data).string();
    }
    if (layout.compressed)
        layout.skip = byteSkip;
    else
        layout.offset += byteSkip;
    layout.type = io->GetComponentType();
    layout.swap = io->GetByteOrder() == itk::IOByteOrderEnum::BigEndian;
    return layout;
}

ScanFile openScanFile(const std::string& path, size_t volume)
{
    ScanFile scan;
    scan.path = path;
    itk::ImageIOBase::Pointer io = readHeader(path);
    scan.header = io;
    scan.volumes = checkSize(io);
    if (volume > 0 && scan.volumes == 1)
        throw ImportError("a single volume; --volume chooses within a file of several");
    if (volume > scan.volumes)
        throw ImportError("it holds " + std::to_string(scan.volumes) + " volumes, no volume " + std::to_string(volume));
    scan.volume = std::max<size_t>(volume, 1);
    itk::ExposeMetaData<std::string>(io->GetMetaDataDictionary(), "0008|0060", scan.modality);
    Grid& grid = scan.grid;
    for (unsigned axis = 0; axis < 3; ++axis) {
        grid.size[axis] = io->GetDimensions(axis);
        grid.spacing[axis] = io->GetSpacing(axis);
        grid.origin[axis] = io->GetOrigin(axis);
        std::vector<double> direction = io->GetDirection(axis);
        for (unsigned row = 0; row < 3; ++row)
            grid.axes(row, axis) = direction[row];
    }
    if (scan.volumes > 1) {  // the chosen volume's place along the fourth axis
        std::vector<double> fourth = io->GetDirection(3);
        for (unsigned row = 0; row < 3; ++row)
            grid.origin[row] += fourth[row] * io->GetSpacing(3) * (scan.volume - 1);
    }
    return scan;
}

static DataLayout layoutOf(const std::string& path, const itk::ImageIOBase* io)
{
    const std::string name = io->GetNameOfClass();
    if (name == "NiftiImageIO")
        return niftiLayout(path);
    if (name == "MetaImageIO")
        return metaImageLayout(path, io);
    if (name == "NrrdImageIO")
        return nrrdLayout(path, io);
    return {};
}

// The bytes of a file from an offset on, inflated where they are compressed
// (gzip or zlib, told apart by their own header).
struct ByteStream {
    FILE* file = nullptr;
    bool compressed = false, ended = false, damaged = false;
    z_stream zip = {};
    std::vector<unsigned char> input = std::vector<unsigned char>(1 << 16);
    long long delivered = 0;

    ByteStream(const DataLayout& layout)
    {
        file = fopen(layout.file.c_str(), "rb");
        if (file == nullptr || fseeko(file, layout.offset, SEEK_SET) != 0)
            throw ImportError("cannot read its data file " + layout.file + ": " + strerror(errno));
        compressed = layout.compressed;
        if (compressed && inflateInit2(&zip, 15 + 32) != Z_OK)
            throw ImportError("cannot start inflating its data");
    }
    ~ByteStream()
    {
        if (compressed)
            inflateEnd(&zip);
        if (file != nullptr)
            fclose(file);
    }
    // Up to COUNT bytes into OUT (null: passed over); how many there were.
    size_t read(unsigned char* out, size_t count)
    {
        std::vector<unsigned char> scratch;
        if (out == nullptr) {
            scratch.resize(std::min<size_t>(count, 1 << 20));
            size_t total = 0;
            while (total < count) {
                size_t got = read(scratch.data(), std::min(scratch.size(), count - total));
                total += got;
                if (got == 0)
                    break;
            }
            return total;
        }
        if (!compressed) {
            size_t got = fread(out, 1, count, file);
            delivered += static_cast<long long>(got);
            return got;
        }
        zip.next_out = out;
        zip.avail_out = static_cast<uInt>(count);
        while (zip.avail_out > 0 && !ended && !damaged) {
            if (zip.avail_in == 0) {
                zip.avail_in = static_cast<uInt>(fread(input.data(), 1, input.size(), file));
                zip.next_in = input.data();
            }
            int status = inflate(&zip, Z_NO_FLUSH);
            ended = status == Z_STREAM_END || (status == Z_BUF_ERROR && zip.avail_in == 0 && feof(file));
            damaged = status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR;
        }
        size_t got = count - zip.avail_out;
        delivered += static_cast<long long>(got);
        return got;
    }
};

template <typename Stored>
static void toValues(const unsigned char* bytes, size_t count, const DataLayout& layout, float* values)
{
    for (size_t i = 0; i < count; ++i) {
        unsigned char raw[sizeof(Stored)];
        memcpy(raw, bytes + i * sizeof(Stored), sizeof(Stored));
        if (layout.swap)
            std::reverse(raw, raw + sizeof(Stored));
        Stored stored;
        memcpy(&stored, raw, sizeof(Stored));
        values[i] = static_cast<float>(stored * layout.slope + layout.intercept);
    }
}

static void convert(const unsigned char* bytes, size_t count, const DataLayout& layout, float* values)
{
    using C = itk::IOComponentEnum;
    switch (layout.type) {
    case C::UCHAR: toValues<uint8_t>(bytes, count, layout, values); break;
    case C::CHAR: toValues<int8_t>(bytes, count, layout, values); break;
    case C::USHORT: toValues<uint16_t>(bytes, count, layout, values); break;
    case C::SHORT: toValues<int16_t>(bytes, count, layout, values); break;
    case C::UINT: toValues<uint32_t>(bytes, count, layout, values); break;
    case C::INT: toValues<int32_t>(bytes, count, layout, values); break;
    case C::ULONG: case C::ULONGLONG: toValues<uint64_t>(bytes, count, layout, values); break;
    case C::LONG: case C::LONGLONG: toValues<int64_t>(bytes, count, layout, values); break;
    case C::FLOAT: toValues<float>(bytes, count, layout, values); break;
    case C::DOUBLE: toValues<double>(bytes, count, layout, values); break;
    default: throw ImportError("voxels of a type this tool does not read");
    }
}

static size_t bytesPerValue(itk::IOComponentEnum type)
{
    using C = itk::IOComponentEnum;
    switch (type) {
    case C::UCHAR: case C::CHAR: return 1;
    case C::USHORT: case C::SHORT: return 2;
    case C::UINT: case C::INT: case C::FLOAT: return 4;
    default: return 8;
    }
}

// The voxels read by the toolkit, whole, for data kept in a way not read here.
static void readWhole(const ScanFile& scan, itk::ImageIOBase* io, const PlaneSink& sink)
{
    const size_t plane = scan.grid.size[0] * scan.grid.size[1];
    auto reader = itk::ImageFileReader<itk::Image<float, 4>>::New();
    reader->SetImageIO(io);
    reader->SetFileName(scan.path);
    reader->Update();
    const float* values = reader->GetOutput()->GetBufferPointer() + (scan.volume - 1) * plane * scan.grid.size[2];
    for (size_t k = 0; k < scan.grid.size[2]; ++k)
        sink(values + k * plane);
}

void readScanFile(const ScanFile& scan, const PlaneSink& sink)
{
    itk::ImageIOBase* io = scan.header;
    DataLayout layout = layoutOf(scan.path, io);
    if (layout.file.empty())
        return readWhole(scan, io, sink);
    const size_t plane = scan.grid.size[0] * scan.grid.size[1], size = bytesPerValue(layout.type);
    const long long volumeBytes = static_cast<long long>(plane * scan.grid.size[2] * size);
    const long long needed = layout.skip + volumeBytes * static_cast<long long>(scan.volumes);
    if (!layout.compressed) {  // a file cut short is known by its size
        std::error_code error;
        long long length = static_cast<long long>(std::filesystem::file_size(layout.file, error));
        if (error)
            throw ImportError("cannot read its data file " + layout.file + ": " + error.message());
        if (length < layout.offset + needed)
            throw ImportError("the file is cut short: its voxels need " + std::to_string(layout.offset + needed) +
                              " bytes, it holds " + std::to_string(length));
    }
    ByteStream stream(layout);
    auto cutShort = [&] {
        if (stream.damaged)
            return ImportError("its compressed data is damaged: it does not inflate whole to the " +
                               std::to_string(needed) + " bytes its header gives");
        return ImportError("the file is cut short: its compressed data ends after " +
                           std::to_string(stream.delivered) + " of the " + std::to_string(needed) +
                           " bytes its header gives");
    };
    const long long before = layout.skip + volumeBytes * static_cast<long long>(scan.volume - 1);
    if (stream.read(nullptr, static_cast<size_t>(before)) != static_cast<size_t>(before))
        throw cutShort();
    std::vector<unsigned char> bytes(plane * size);
    std::vector<float> values(plane);
    for (size_t k = 0; k < scan.grid.size[2]; ++k) {
        if (stream.read(bytes.data(), bytes.size()) != bytes.size())
            throw cutShort();
        convert(bytes.data(), plane, layout, values.data());
        sink(values.data());
    }
    if (layout.compressed) {  // the rest must inflate whole, to exactly the size the header gives
        const long long after = needed - stream.delivered;
        if (stream.read(nullptr, static_cast<size_t>(after)) != static_cast<size_t>(after))
            throw cutShort();
        unsigned char beyond;
        if (stream.read(&beyond, 1) == 1)
            throw ImportError("its compressed data inflates to more than the " + std::to_string(needed) +
                              " bytes its header gives");
        if (stream.damaged || !stream.ended)
            throw cutShort();
    }
}
