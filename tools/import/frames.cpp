// frames: the images within one DICOM file, and the reading of its tags. An
// enhanced multi-frame file holds many frames, each placed and described by
// its own functional groups (or by the groups all frames share); a mosaic
// holds all slices of one volume tiled in one picture, described by the
// scanner's private header. Each frame and each tile becomes an image like a
// classic slice, so that the series reading sorts, places and refuses them by
// the same rules.
#include "import.h"

#include <gdcmCSAHeader.h>
#include <gdcmMrProtocol.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmSplitMosaicFilter.h>
#include <gdcmStringFilter.h>

#include <cmath>
#include <sstream>

// The functional groups: those every frame shares, and one item a frame.
static const gdcm::Tag sharedGroups(0x5200, 0x9229), perFrameGroups(0x5200, 0x9230);
static const gdcm::Tag spacingBetweenSlices(0x0018, 0x0088), rescaleIntercept(0x0028, 0x1052),
    rescaleSlope(0x0028, 0x1053), bValue(0x0018, 0x9087), gradientDirection(0x0018, 0x9089),
    frameOffsets(0x3004, 0x000c);
static const double parallel = 0.99;  // least cosine between a mosaic's slice normal and its planes' normal

std::vector<gdcm::Tag> frameTags()
{
    std::vector<gdcm::Tag> tags = {sharedGroups, perFrameGroups, spacingBetweenSlices, rescaleIntercept,
                                   rescaleSlope, bValue, gradientDirection, frameOffsets};
    // The private header of a mosaic: its creator's reservation and the image and series parts.
    for (uint16_t block : {0x10, 0x11, 0x12}) {
        tags.emplace_back(0x0029, block);
        tags.emplace_back(0x0029, static_cast<uint16_t>(block << 8 | 0x10));
        tags.emplace_back(0x0029, static_cast<uint16_t>(block << 8 | 0x20));
    }
    return tags;
}

std::string trimmed(std::string text)
{
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(text.find_last_not_of(std::string(" \t\r\n\0", 5)) + 1);  // values are padded with a space or a zero
    return text;
}

std::vector<double> numbers(const std::string& text)
{
    std::vector<double> values;
    std::stringstream parts(text);
    for (std::string part; std::getline(parts, part, '\\');) {
        char* end = nullptr;
        double value = strtod(part.c_str(), &end);
        if (end == part.c_str() || !std::isfinite(value))
            return {};
        values.push_back(value);
    }
    return values;
}

static Vector vector(const double* values)
{
    Vector v;
    v[0] = values[0], v[1] = values[1], v[2] = values[2];
    return v;
}

void placeImage(Slice* slice, const std::string& position, const std::string& orientation,
                const std::string& pixelSpacing)
{
    std::vector<double> at = numbers(position), axes = numbers(orientation), pixel = numbers(pixelSpacing);
    slice->placed = false;
    if (at.size() == 3 && axes.size() == 6) {
        slice->position = vector(at.data());
        slice->row = vector(axes.data());
        slice->column = vector(axes.data() + 3);
        slice->placed = slice->row.GetNorm() > 0.5 && slice->column.GetNorm() > 0.5;
        if (slice->placed) {
            slice->row.Normalize();
            slice->column.Normalize();
        }
    }
    if (pixel.size() == 2 && pixel[0] > 0 && pixel[1] > 0)
        slice->spacing[0] = pixel[1], slice->spacing[1] = pixel[0];  // the tag gives rows' spacing first
}

std::string tagText(const gdcm::File& file, const gdcm::DataSet& set, const gdcm::Tag& tag)
{
    if (!set.FindDataElement(tag) || set.GetDataElement(tag).IsEmpty())
        return "";
    gdcm::StringFilter filter;
    filter.SetFile(file);
    return trimmed(filter.ToString(set.GetDataElement(tag)));
}

// The first item of SEQUENCE in SET, copied (a sequence read from an unknown
// encoding is parsed anew on each look, so no pointer into it would last).
static bool firstItem(const gdcm::DataSet& set, const gdcm::Tag& sequence, gdcm::DataSet* item)
{
    if (!set.FindDataElement(sequence) || set.GetDataElement(sequence).IsEmpty())
        return false;
    gdcm::SmartPointer<gdcm::SequenceOfItems> items = set.GetDataElement(sequence).GetValueAsSQ();
    if (!items || items->GetNumberOfItems() == 0)
        return false;
    *item = items->GetItem(1).GetNestedDataSet();
    return true;
}

// A value of a frame's functional groups: TAG within the group SEQUENCE, from
// the frame's own groups, else from those all frames share.
static std::string groupValue(const gdcm::File& file, const gdcm::DataSet& frame, const gdcm::DataSet& shared,
                              const gdcm::Tag& sequence, const gdcm::Tag& tag)
{
    for (const gdcm::DataSet* groups : {&frame, &shared}) {
        gdcm::DataSet group;
        if (firstItem(*groups, sequence, &group) && group.FindDataElement(tag))
            return tagText(file, group, tag);
    }
    return "";
}

// A number in the plain words of a report (9.84, not 9.8399999999999999).
static std::string shortNumber(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

static std::string diffusionWords(const std::string& bValueText, const std::string& directionText)
{
    if (bValueText.empty())
        return "";
    std::string words = "b-value " + bValueText;
    std::vector<double> direction = numbers(directionText);
    if (direction.size() == 3)
        words += ", direction " + shortNumber(direction[0]) + " " + shortNumber(direction[1]) + " " +
                 shortNumber(direction[2]);
    return words;
}

static void readRescale(const gdcm::File& file, const gdcm::DataSet& set, Slice* slice)
{
    std::vector<double> slope = numbers(tagText(file, set, rescaleSlope)),
                        intercept = numbers(tagText(file, set, rescaleIntercept));
    if (slope.size() == 1 && slope[0] != 0)
        slice->slope = slope[0];
    if (intercept.size() == 1)
        slice->intercept = intercept[0];
}

// Each frame of an enhanced multi-frame file as an image of its own.
static std::vector<Slice> enhancedFrames(const gdcm::File& file, const Slice& whole)
{
    const gdcm::DataSet& top = file.GetDataSet();
    gdcm::DataSet shared;
    firstItem(top, sharedGroups, &shared);
    gdcm::SmartPointer<gdcm::SequenceOfItems> frames = top.GetDataElement(perFrameGroups).GetValueAsSQ();
    if (!frames)
        return {whole};
    const gdcm::Tag planePosition(0x0020, 0x9113), planeOrientation(0x0020, 0x9116), pixelMeasures(0x0028, 0x9110),
        mrEcho(0x0018, 0x9114), frameContent(0x0020, 0x9111), mrFrameType(0x0018, 0x9226),
        ctFrameType(0x0018, 0x9329), mrDiffusion(0x0018, 0x9117), gradient(0x0018, 0x9076),
        valueTransformation(0x0028, 0x9145);
    std::vector<Slice> images;
    const int count = std::min<int>(whole.frames, static_cast<int>(frames->GetNumberOfItems()));
    for (int f = 0; f < count; ++f) {
        const gdcm::DataSet& own = frames->GetItem(f + 1).GetNestedDataSet();
        auto value = [&](const gdcm::Tag& sequence, const gdcm::Tag& tag) {
            return groupValue(file, own, shared, sequence, tag);
        };
        Slice image = whole;
        image.frame = f;
        image.frames = 1;
        placeImage(&image, value(planePosition, gdcm::Tag(0x0020, 0x0032)),
                   value(planeOrientation, gdcm::Tag(0x0020, 0x0037)), value(pixelMeasures, gdcm::Tag(0x0028, 0x0030)));
        std::vector<double> echoTime = numbers(value(mrEcho, gdcm::Tag(0x0018, 0x9082)));
        if (echoTime.size() == 1) {
            image.echo = "echo time " + shortNumber(echoTime[0]) + " ms";
            image.echoOrder = echoTime[0];
        }
        std::string temporal = value(frameContent, gdcm::Tag(0x0020, 0x9128));
        if (!temporal.empty())
            image.temporal = temporal;
        image.stackId = value(frameContent, gdcm::Tag(0x0020, 0x9056));
        for (const gdcm::Tag& kind : {mrFrameType, ctFrameType}) {
            std::string type = value(kind, gdcm::Tag(0x0008, 0x9007));
            if (!type.empty())
                image.imageType = type;
        }
        // The direction lies one sequence deeper, within the diffusion group.
        std::string direction;
        for (const gdcm::DataSet* groups : {&own, static_cast<const gdcm::DataSet*>(&shared)}) {
            gdcm::DataSet diffusion, inner;
            if (direction.empty() && firstItem(*groups, mrDiffusion, &diffusion) &&
                firstItem(diffusion, gradient, &inner))
                direction = tagText(file, inner, gradientDirection);
        }
        std::string b = value(mrDiffusion, bValue);
        if (!b.empty())
            image.diffusion = diffusionWords(b, direction);
        for (const gdcm::DataSet* groups : {static_cast<const gdcm::DataSet*>(&shared), &own}) {  // the frame's own overrides the shared
            gdcm::DataSet transformation;
            if (firstItem(*groups, valueTransformation, &transformation))
                readRescale(file, transformation, &image);
        }
        images.push_back(image);
    }
    return images;
}

// A value of the mosaic's private image header, by name; empty if it has none.
static std::string csaValue(gdcm::CSAHeader& csa, const char* name)
{
    if (!csa.FindCSAElementByName(name))
        return "";
    const gdcm::CSAElement& element = csa.GetCSAElementByName(name);
    if (element.IsEmpty())
        return "";
    const gdcm::ByteValue* bytes = element.GetByteValue();
    return trimmed(std::string(bytes->GetPointer(), bytes->GetLength()).c_str());
}

// The distance between a mosaic's slices: the standard tag where the scanner
// wrote it, else from the centres of the first and last slice in its protocol.
static double mosaicSliceSpacing(const gdcm::File& file, const Slice& whole, unsigned slices)
{
    if (whole.frameSpacing > 0)
        return whole.frameSpacing;
    gdcm::CSAHeader csa;
    gdcm::MrProtocol protocol;
    gdcm::MrProtocol::SliceArray array;
    if (slices < 2 || !csa.GetMrProtocol(file.GetDataSet(), protocol) || !protocol.GetSliceArray(array) ||
        array.Slices.size() != slices)
        return 0;
    const auto& first = array.Slices.front().Position;
    const auto& last = array.Slices.back().Position;
    double dx = last.dSag - first.dSag, dy = last.dCor - first.dCor, dz = last.dTra - first.dTra;
    return std::sqrt(dx * dx + dy * dy + dz * dz) / (slices - 1);
}

// Each tile of a mosaic as an image of its own. How many tiles there are and
// which way the slices follow each other come from the scanner's private
// header, read by the DICOM library; the mosaic's position is that of its
// top-left pixel as if the whole picture were one slice around the first
// tile's centre, so the first tile's corner lies half the picture's surplus
// in from it. Whatever cannot be read leaves the mosaic one image, refused
// if it is chosen.
static std::vector<Slice> mosaicTiles(const gdcm::File& file, const Slice& whole)
{
    gdcm::CSAHeader csa;
    const gdcm::DataSet& top = file.GetDataSet();
    const gdcm::PrivateTag& imageHeader = gdcm::CSAHeader::GetCSAImageHeaderInfoTag();
    if (!whole.placed || whole.spacing[0] == 0 || !top.FindDataElement(imageHeader) ||
        !csa.LoadFromDataElement(top.GetDataElement(imageHeader)) || csaValue(csa, "NumberOfImagesInMosaic").empty())
        return {whole};  // without the header's count the library would guess it from the matrix
    gdcm::SplitMosaicFilter split;
    split.SetFile(file);
    unsigned tile[3];
    std::vector<double> normal = numbers(csaValue(csa, "SliceNormalVector"));
    if (!split.ComputeMOSAICDimensions(tile) || tile[0] == 0 || tile[1] == 0 || tile[2] == 0 || normal.size() != 3)
        return {whole};
    const unsigned across = static_cast<unsigned>(std::ceil(std::sqrt(static_cast<double>(tile[2]))));
    Vector along = vector(normal.data());
    if (along.GetNorm() < 0.5 || tile[0] * across > static_cast<unsigned>(whole.columns) ||
        tile[1] * across > static_cast<unsigned>(whole.rows))
        return {whole};
    along.Normalize();
    if (std::fabs(along * itk::CrossProduct(whole.row, whole.column)) < parallel)
        return {whole};  // slices that do not follow each other across their planes
    const double step = mosaicSliceSpacing(file, whole, tile[2]);
    if (tile[2] > 1 && !(step > 0))
        return {whole};
    const Vector corner = whole.position + whole.row * (whole.spacing[0] * (whole.columns - tile[0]) / 2.0) +
                          whole.column * (whole.spacing[1] * (whole.rows - tile[1]) / 2.0);
    std::vector<Slice> tiles;
    for (unsigned k = 0; k < tile[2]; ++k) {
        Slice image = whole;
        image.tile = static_cast<int>(k);
        image.tilesAcross = static_cast<int>(across);
        image.columns = static_cast<int>(tile[0]);
        image.rows = static_cast<int>(tile[1]);
        image.position = corner + along * (k * step);
        tiles.push_back(image);
    }
    return tiles;
}

// Each frame of a classic multi-frame file (one position and orientation for
// the file) as an image of its own: the frames follow each other across their
// planes, as far apart as the file says, or at the offsets it lists. Where it
// says neither, they are left without a place and refused if chosen.
static std::vector<Slice> classicFrames(const gdcm::File& file, const Slice& whole)
{
    std::vector<double> offsets = numbers(tagText(file, file.GetDataSet(), frameOffsets));
    const bool listed = offsets.size() == static_cast<size_t>(whole.frames);
    const Vector normal = itk::CrossProduct(whole.row, whole.column);
    std::vector<Slice> frames;
    for (int f = 0; f < whole.frames; ++f) {
        Slice image = whole;
        image.frame = f;
        image.frames = 1;
        image.placed = whole.placed && (listed || whole.frameSpacing > 0);
        image.position = whole.position + normal * (listed ? offsets[f] : f * whole.frameSpacing);
        frames.push_back(image);
    }
    return frames;
}

std::vector<Slice> imagesOf(const gdcm::File& file, const Slice& whole)
{
    const gdcm::DataSet& top = file.GetDataSet();
    Slice image = whole;
    readRescale(file, top, &image);
    image.diffusion = diffusionWords(tagText(file, top, bValue), tagText(file, top, gradientDirection));
    std::vector<double> between = numbers(tagText(file, top, spacingBetweenSlices));
    if (between.size() == 1 && between[0] > 0)
        image.frameSpacing = between[0];
    if (top.FindDataElement(perFrameGroups))
        return enhancedFrames(file, image);
    if (image.imageType.find("MOSAIC") != std::string::npos)
        return mosaicTiles(file, image);
    if (image.frames > 1)
        return classicFrames(file, image);
    return {image};
}
