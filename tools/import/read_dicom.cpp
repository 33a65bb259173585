// read_dicom: the pixels of a placed DICOM stack. A thread of its own reads
// and decodes the slices in the order they follow each other, a few ahead,
// while the caller's thread makes each plane of the grid from the two slices
// around it and hands it on; so each slice is read once, and no more than a
// few slices are held at a time, however long the series.
#include "import.h"

#include <gdcmBoxRegion.h>
#include <gdcmImageHelper.h>
#include <gdcmImageReader.h>
#include <gdcmImageRegionReader.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

static const size_t slicesAhead = 4;  // decoded and waiting to be used

// Stored values to scan values, as the pixel format says they are kept.
template <typename Stored>
static void rescale(const char* bytes, const Slice& slice, float* values, size_t count)
{
    const Stored* stored = reinterpret_cast<const Stored*>(bytes);
    for (size_t i = 0; i < count; ++i)
        values[i] = static_cast<float>(stored[i] * slice.slope + slice.intercept);
}

static void toValues(const char* bytes, const gdcm::PixelFormat& format, const Slice& slice, float* values)
{
    const size_t count = static_cast<size_t>(slice.columns) * slice.rows;
    const bool sign = format.GetPixelRepresentation() == 1;
    switch (format.GetBitsAllocated()) {
    case 8: sign ? rescale<int8_t>(bytes, slice, values, count) : rescale<uint8_t>(bytes, slice, values, count); break;
    case 16: sign ? rescale<int16_t>(bytes, slice, values, count) : rescale<uint16_t>(bytes, slice, values, count); break;
    case 32: sign ? rescale<int32_t>(bytes, slice, values, count) : rescale<uint32_t>(bytes, slice, values, count); break;
    default:
        throw ImportError(slice.path + ": pixels of " + std::to_string(format.GetBitsAllocated()) +
                          " bits, which this tool does not read");
    }
}

static void checkSingleValues(const gdcm::PixelFormat& format)
{
    if (format.GetSamplesPerPixel() != 1)
        throw ImportError(std::to_string(format.GetSamplesPerPixel()) +
                          " components per pixel (colour); a volume of single values is needed");
}

// The reading of one thread: a classic file whole, a frame or a tile as a
// region of its file, which stays open from one frame to the next (the
// frames of a stack come mostly from one file, and its header can be long).
struct SliceReader {
    std::unique_ptr<gdcm::ImageRegionReader> regions;
    std::string open;
    std::vector<char> bytes;

    // The library throws its own exceptions where pixels are not what the transfer syntax says.
    void read(const Slice& slice, float* values)
    {
        try {
            if (slice.frame < 0 && slice.tile < 0)
                readWhole(slice, values);
            else
                readRegion(slice, values);
        } catch (const ImportError&) {
            throw;
        } catch (const std::exception&) {
            throw ImportError(slice.path + ": its pixels cannot be decoded as its transfer syntax says");
        }
    }

    void readWhole(const Slice& slice, float* values)
    {
        gdcm::ImageReader reader;
        reader.SetFileName(slice.path.c_str());
        if (!reader.Read())
            throw ImportError(slice.path + ": its pixels cannot be read");
        const gdcm::Image& image = reader.GetImage();
        const gdcm::PixelFormat& format = image.GetPixelFormat();
        checkSingleValues(format);
        const size_t count = static_cast<size_t>(slice.columns) * slice.rows;
        if (image.GetDimension(0) != static_cast<unsigned>(slice.columns) ||
            image.GetDimension(1) != static_cast<unsigned>(slice.rows))
            throw ImportError(slice.path + " holds " + std::to_string(image.GetDimension(0)) + "x" +
                              std::to_string(image.GetDimension(1)) + " pixels, its header says " +
                              std::to_string(slice.columns) + "x" + std::to_string(slice.rows));
        bytes.resize(image.GetBufferLength());
        if (bytes.size() < count * format.GetPixelSize() || !image.GetBuffer(bytes.data()))
            throw ImportError(slice.path + ": its pixels cannot be read");
        toValues(bytes.data(), format, slice, values);
    }

    void readRegion(const Slice& slice, float* values)
    {
        if (!regions || open != slice.path) {
            open.clear();
            regions = std::make_unique<gdcm::ImageRegionReader>();
            regions->SetFileName(slice.path.c_str());
            if (!regions->ReadInformation())
                throw ImportError(slice.path + ": its pixels cannot be read");
            open = slice.path;
        }
        unsigned x0 = 0, y0 = 0, z = slice.frame >= 0 ? static_cast<unsigned>(slice.frame) : 0;
        if (slice.tile >= 0) {
            x0 = static_cast<unsigned>(slice.tile % slice.tilesAcross * slice.columns);
            y0 = static_cast<unsigned>(slice.tile / slice.tilesAcross * slice.rows);
        }
        gdcm::BoxRegion box;
        box.SetDomain(x0, x0 + slice.columns - 1, y0, y0 + slice.rows - 1, z, z);
        regions->SetRegion(box);
        const gdcm::PixelFormat format = gdcm::ImageHelper::GetPixelFormatValue(regions->GetFile());
        checkSingleValues(format);
        const size_t count = static_cast<size_t>(slice.columns) * slice.rows;
        bytes.resize(regions->ComputeBufferLength());
        if (bytes.size() != count * format.GetPixelSize() || !regions->ReadIntoBuffer(bytes.data(), bytes.size()))
            throw ImportError(slice.path + ": the pixels of its frame " + std::to_string(z + 1) + " cannot be read");
        toValues(bytes.data(), format, slice, values);
    }
};

// The slices decoded ahead of their use, in order, and what stopped the reading.
struct Ahead {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<float>> ready;
    std::vector<std::vector<float>> spare;  // slices used, their memory to be filled again
    std::exception_ptr failure;
    bool stop = false;
};

static void stopReading(Ahead* ahead, std::thread* reading)
{
    {
        std::lock_guard<std::mutex> hold(ahead->lock);
        ahead->stop = true;
        ahead->changed.notify_all();
    }
    reading->join();
}

void readPlacedSlices(const Placement& placement, const PlaneSink& sink)
{
    const Stack& slices = placement.slices;
    const size_t plane = placement.grid.size[0] * placement.grid.size[1];
    Ahead ahead;
    std::thread reading([&] {
        SliceReader reader;
        try {
            for (const Slice& slice : slices) {
                std::vector<float> values;
                {
                    std::lock_guard<std::mutex> hold(ahead.lock);
                    if (!ahead.spare.empty()) {
                        values = std::move(ahead.spare.back());
                        ahead.spare.pop_back();
                    }
                }
                values.resize(plane);
                reader.read(slice, values.data());
                std::unique_lock<std::mutex> hold(ahead.lock);
                ahead.changed.wait(hold, [&] { return ahead.stop || ahead.ready.size() < slicesAhead; });
                if (ahead.stop)
                    return;
                ahead.ready.push_back(std::move(values));
                ahead.changed.notify_all();
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(ahead.lock);
            ahead.failure = std::current_exception();
            ahead.changed.notify_all();
        }
    });
    // The next slice in order, once it is read.
    auto next = [&] {
        std::unique_lock<std::mutex> hold(ahead.lock);
        ahead.changed.wait(hold, [&] { return !ahead.ready.empty() || ahead.failure; });
        if (ahead.ready.empty())
            std::rethrow_exception(ahead.failure);
        std::vector<float> values = std::move(ahead.ready.front());
        ahead.ready.pop_front();
        ahead.changed.notify_all();
        return values;
    };
    try {
        std::vector<float> lower = next(), upper = next(), between(plane);
        size_t below = 0;
        int reported = 0;
        for (size_t k = 0; k < placement.below.size(); ++k) {
            while (below < placement.below[k]) {
                ++below;
                {
                    std::lock_guard<std::mutex> hold(ahead.lock);
                    ahead.spare.push_back(std::move(lower));
                }
                lower = std::move(upper);
                upper = next();
            }
            const double share = placement.share[k];
            if (share == 0) {
                sink(lower.data());
            } else if (share == 1) {
                sink(upper.data());
            } else {
                for (size_t i = 0; i < plane; ++i)
                    between[i] = static_cast<float>(lower[i] + share * (upper[i] - lower[i]));
                sink(between.data());
            }
            int fifths = static_cast<int>(5 * (below + 1) / slices.size());
            if (fifths > reported && fifths < 5) {
                reported = fifths;
                printf("  %d%% read\n", fifths * 20);
                fflush(stdout);
            }
        }
    } catch (...) {
        stopReading(&ahead, &reading);
        throw;
    }
    stopReading(&ahead, &reading);
}
