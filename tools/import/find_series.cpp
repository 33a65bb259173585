// find_series: the DICOM images under a folder (a patient CD, an export),
// searched to any depth whatever their names, grouped into series, and the
// chosen series split into stacks of one orientation and one slice a
// position. Whatever cannot be told apart is refused, never imported mixed.
#include "import.h"

#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

static const double sameDirection = 0.01;   // largest difference of direction cosines within one stack
static const double samePlace = 0.01;       // mm: slices nearer than this lie at one position
static const double reportEverySeconds = 1;  // a long search says how far it has got
static const double longestHeaderSeconds = 2;  // a file whose header takes longer is passed over
static const size_t mostStacksListed = 20;  // beyond, the stacks left out are summed up in one line
static const size_t mostDamagedListed = 3;  // damaged files named one a line; the rest counted

// A series and the stacks it is split into.
struct Series {
    std::string uid, number, description, modality;
    std::vector<Slice> slices;
};

// A cheap look at the first two data elements, so that the DICOM library,
// which can abort or run away on arbitrary bytes, sees only files that begin
// as DICOM does: after the preamble's mark (or without a preamble), elements
// of the meta information or identifying group, in order and within the file.
bool looksLikeDicom(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> head(4096);
    file.read(reinterpret_cast<char*>(head.data()), head.size());
    size_t size = static_cast<size_t>(file.gcount()), at = 0;
    if (size >= 132 && std::string(head.begin() + 128, head.begin() + 132) == "DICM")
        at = 132;
    auto u16 = [&](size_t i) { return static_cast<unsigned>(head[i] | head[i + 1] << 8); };
    auto u32 = [&](size_t i) { return static_cast<size_t>(u16(i)) | static_cast<size_t>(u16(i + 2)) << 16; };
    // Where the element at I ends; 0 if it does not fit.
    auto elementEnd = [&](size_t i) -> size_t {
        if (i + 8 > size)
            return 0;
        bool explicitVr = isupper(head[i + 4]) && isupper(head[i + 5]);
        std::string vr(head.begin() + i + 4, head.begin() + i + 6);
        bool longLength = vr == "OB" || vr == "OW" || vr == "OF" || vr == "SQ" || vr == "UT" || vr == "UN";
        size_t end = !explicitVr ? i + 8 + u32(i + 4) : longLength ? i + 12 + u32(i + 8) : i + 8 + u16(i + 6);
        return end <= size ? end : 0;
    };
    unsigned group = u16(at);
    size_t second = elementEnd(at);
    if ((group != 0x0002 && group != 0x0008) || second == 0 || second + 4 > size)
        return false;
    return u16(second) == group && u16(second + 2) > u16(at + 2);
}

// The element structure of a DICOM file, walked without reading any value:
// every element, item and fragment must lie within the file, and within the
// sequence or item it belongs to. Returns what is wrong, in words, or "" for
// a sound file. The DICOM library trusts the lengths it reads, and a length
// beyond the file (a damaged header, or a transfer syntax that says big
// endian over little-endian data) has it allocate gigabytes and read for
// minutes; such a file is damage, known at once.
struct ElementWalk {
    int file = -1;
    long long size = 0;
    bool bigEndian = false, explicitVr = true;
    std::string syntax;  // the transfer syntax's UID, from the meta information
    bool pixelsCutShort = false;  // the pixels' length runs past the file's end

    unsigned u16(const unsigned char* p, bool big) const { return big ? p[0] << 8 | p[1] : p[1] << 8 | p[0]; }
    unsigned long u32(const unsigned char* p, bool big) const
    {
        return static_cast<unsigned long>(u16(p + (big ? 0 : 2), big)) << 16 | u16(p + (big ? 2 : 0), big);
    }
    static std::string tagName(unsigned group, unsigned element)
    {
        char name[16];
        snprintf(name, sizeof name, "(%04x,%04x)", group, element);
        return name;
    }
    // Walks the elements from AT up to END (or to a delimiter, for a container
    // of undefined length); returns where it stopped.
    long long walk(long long at, long long end, bool meta, int depth)
    {
        if (depth > 32)
            throw ImportError("sequences nested more than 32 deep");
        const bool big = !meta && bigEndian, explicitVr_ = meta || explicitVr;
        while (at < end) {
            unsigned char head[12];
            if (at + 8 > size || pread(file, head, 8, at) != 8)
                throw ImportError("cut short at byte " + std::to_string(size) + ", within the header of an element");
            const unsigned group = u16(head, big), element = u16(head + 2, big);
            if (meta && group != 0x0002)
                return at;
            if (group == 0xFFFE) {  // an item, or the end of an item or sequence
                const unsigned long length = u32(head + 4, big);
                at += 8;
                if (element == 0xE00D || element == 0xE0DD)
                    return at;
                at = length == 0xFFFFFFFFul ? walk(at, size, false, depth + 1) : within(at, length, end, group, element);
                continue;
            }
            unsigned long length;
            std::string vr;
            if (explicitVr_) {
                if (at + 12 > size || pread(file, head, 12, at) != 12)
                    throw ImportError("cut short at byte " + std::to_string(size) + ", within the header of element " +
                                      tagName(group, element));
                vr.assign(reinterpret_cast<char*>(head) + 4, 2);
                const bool longLength = vr == "OB" || vr == "OD" || vr == "OF" || vr == "OL" || vr == "OV" ||
                                        vr == "OW" || vr == "SQ" || vr == "SV" || vr == "UC" || vr == "UN" ||
                                        vr == "UR" || vr == "UT" || vr == "UV";
                length = longLength ? u32(head + 8, big) : u16(head + 6, big);
                at += longLength ? 12 : 8;
            } else {
                length = u32(head + 4, big);
                at += 8;
            }
            if (length == 0xFFFFFFFFul) {  // a sequence, or compressed pixels, until its delimiter
                at = walk(at, size, false, depth + 1);
                continue;
            }
            if (depth == 0 && group == 0x7FE0 && element == 0x0010) {  // the pixels: told as a slice cut short
                pixelsCutShort = at + static_cast<long long>(length) > size;
                return at;
            }
            const long long start = at;
            at = within(at, length, end, group, element);
            if (meta && element == 0x0010 && length < 256) {
                syntax.assign(length, '\0');
                if (pread(file, &syntax[0], length, start) != static_cast<ssize_t>(length))
                    syntax.clear();
            }
            if (vr == "SQ")
                walk(start, at, false, depth + 1);
        }
        return at;
    }
    // Where a value of LENGTH bytes from AT ends, if it lies within the file and within END.
    long long within(long long at, unsigned long length, long long end, unsigned group, unsigned element) const
    {
        const long long last = at + static_cast<long long>(length);
        if (static_cast<long long>(length) > size)
            throw ImportError("element " + tagName(group, element) + " claims " + std::to_string(length) +
                              " bytes, more than the whole file holds (" + std::to_string(size) + ")");
        if (last > size)
            throw ImportError("cut short at byte " + std::to_string(size) + ", within element " + tagName(group, element));
        if (last > end)
            throw ImportError("element " + tagName(group, element) + " runs past the end of the sequence it lies in");
        return last;
    }
};

static std::string damage(const std::string& path, bool* pixelsCutShort)
{
    ElementWalk walk;
    walk.file = open(path.c_str(), O_RDONLY);
    if (walk.file < 0)
        return std::string("cannot be read: ") + strerror(errno);
    walk.size = lseek(walk.file, 0, SEEK_END);
    try {
        unsigned char mark[4] = {};
        long long at = pread(walk.file, mark, 4, 128) == 4 && memcmp(mark, "DICM", 4) == 0 ? 132 : 0;
        unsigned char first[6] = {};
        if (pread(walk.file, first, 6, at) == 6 && first[0] == 0x02 && first[1] == 0) {
            // The meta information, always explicit little endian, names the transfer syntax.
            long long metaEnd = walk.walk(at, walk.size, true, 0);
            std::string syntax = trimmed(walk.syntax);
            if (syntax == "1.2.840.10008.1.2.1.99")
                return "";  // deflated: its elements are read inflated, by the library
            walk.explicitVr = syntax != "1.2.840.10008.1.2";
            walk.bigEndian = syntax == "1.2.840.10008.1.2.2";
            at = metaEnd;
        } else {
            walk.explicitVr = isupper(first[4]) && isupper(first[5]);
        }
        walk.walk(at, walk.size, false, 0);
        *pixelsCutShort = walk.pixelsCutShort;
    } catch (const ImportError& error) {
        close(walk.file);
        return error.what();
    }
    close(walk.file);
    return "";
}

// Reads the tags of a DICOM file that place and sort its images, up to its
// pixels, into IMAGES (one for a classic file, one a frame or tile for the
// others); false for anything that is not an image (a DICOMDIR, a report).
static bool readImages(const std::string& path, bool pixelsCutShort, std::vector<Slice>* images)
{
    const gdcm::Tag imageType(0x0008, 0x0008), instanceUid(0x0008, 0x0018), modality(0x0008, 0x0060),
        description(0x0008, 0x103e), echo(0x0018, 0x0086), seriesUid(0x0020, 0x000e),
        seriesNumber(0x0020, 0x0011), acquisition(0x0020, 0x0012), instance(0x0020, 0x0013),
        position(0x0020, 0x0032), orientation(0x0020, 0x0037), temporal(0x0020, 0x0100),
        samples(0x0028, 0x0002), frames(0x0028, 0x0008), rows(0x0028, 0x0010), columns(0x0028, 0x0011),
        spacing(0x0028, 0x0030), bits(0x0028, 0x0100);
    std::set<gdcm::Tag> wanted = {imageType, instanceUid, modality, description, echo, seriesUid, seriesNumber,
                                  acquisition, instance, position, orientation, temporal, samples, frames, rows,
                                  columns, spacing, bits};
    for (const gdcm::Tag& tag : frameTags())
        wanted.insert(tag);
    gdcm::Reader reader;
    reader.SetFileName(path.c_str());
    if (!reader.ReadSelectedTags(wanted))
        return false;
    const gdcm::File& file = reader.GetFile();
    auto value = [&](const gdcm::Tag& tag) { return tagText(file, file.GetDataSet(), tag); };
    Slice slice;
    slice.path = path;
    slice.seriesUid = value(seriesUid);
    slice.rows = atoi(value(rows).c_str());
    slice.columns = atoi(value(columns).c_str());
    if (slice.seriesUid.empty() || slice.rows <= 0 || slice.columns <= 0)
        return false;
    slice.seriesNumber = value(seriesNumber);
    slice.description = value(description);
    slice.modality = value(modality);
    slice.instanceUid = value(instanceUid);
    slice.imageType = value(imageType);
    slice.echoOrder = atof(value(echo).c_str());
    slice.echo = value(echo).empty() ? "" : "echo " + value(echo);
    slice.acquisition = value(acquisition);
    slice.temporal = value(temporal);
    slice.instance = atoi(value(instance).c_str());
    slice.frames = std::max(1, atoi(value(frames).c_str()));
    placeImage(&slice, value(position), value(orientation), value(spacing));

    // The library reads a file cut short in its pixels as if it were whole; where
    // they are not compressed, the file must hold at least all of them.
    const gdcm::TransferSyntax syntax = file.GetHeader().GetDataSetTransferSyntax();
    if (syntax == gdcm::TransferSyntax::ImplicitVRLittleEndian || syntax == gdcm::TransferSyntax::ExplicitVRLittleEndian ||
        syntax == gdcm::TransferSyntax::ExplicitVRBigEndian) {
        double pixelBytes = static_cast<double>(slice.rows) * slice.columns * slice.frames *
                            std::max(1, atoi(value(samples).c_str())) * std::max(8, atoi(value(bits).c_str())) / 8;
        std::error_code error;
        double length = static_cast<double>(std::filesystem::file_size(path, error));
        const double elementHeader = 12;  // the reader may have stopped past the pixels' tag and length
        slice.complete = !error && !pixelsCutShort && length + elementHeader >= reader.GetStreamCurrentPosition() + pixelBytes;
    } else if (static_cast<double>(slice.frames) > static_cast<double>(std::filesystem::file_size(path))) {
        slice.complete = false;  // compressed, yet more frames than the file holds bytes
    }
    if (!slice.complete) {  // left out whole: its frames are not worth counting
        images->push_back(slice);
        return true;
    }
    for (Slice& image : imagesOf(file, slice))
        images->push_back(image);
    return true;
}

// A slice's header as one line of tab-separated fields, and back.
static std::string toLine(const Slice& s)
{
    std::ostringstream line;
    line.precision(17);
    for (const std::string* text : {&s.seriesUid, &s.seriesNumber, &s.description, &s.modality, &s.instanceUid,
                                    &s.imageType, &s.echo, &s.acquisition, &s.temporal, &s.diffusion, &s.stackId}) {
        std::string field = *text;
        std::replace_if(field.begin(), field.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
        line << field << '\t';
    }
    line << s.echoOrder << '\t' << s.rows << '\t' << s.columns << '\t' << s.frames << '\t' << s.instance << '\t'
         << s.frame << '\t' << s.tile << '\t' << s.tilesAcross << '\t' << s.placed << '\t' << s.complete;
    for (const Vector* v : {&s.position, &s.row, &s.column})
        for (int i = 0; i < 3; ++i)
            line << '\t' << (*v)[i];
    for (double number : {s.spacing[0], s.spacing[1], s.frameSpacing, s.slope, s.intercept})
        line << '\t' << number;
    return line.str();
}

static Slice fromLine(const std::string& path, const std::string& line)
{
    Slice s;
    s.path = path;
    std::istringstream fields(line);
    for (std::string* text : {&s.seriesUid, &s.seriesNumber, &s.description, &s.modality, &s.instanceUid,
                              &s.imageType, &s.echo, &s.acquisition, &s.temporal, &s.diffusion, &s.stackId})
        std::getline(fields, *text, '\t');
    fields >> s.echoOrder >> s.rows >> s.columns >> s.frames >> s.instance >> s.frame >> s.tile >> s.tilesAcross >>
        s.placed >> s.complete;
    for (Vector* v : {&s.position, &s.row, &s.column})
        for (int i = 0; i < 3; ++i)
            fields >> (*v)[i];
    fields >> s.spacing[0] >> s.spacing[1] >> s.frameSpacing >> s.slope >> s.intercept;
    return s;
}

// Reads the header of every file that looks like DICOM into SLICES, each
// image in it (each frame, each tile) a slice. The reading runs in a child
// process, as the DICOM library can abort on a malformed file or take seconds
// on it: such a file is passed over (the count is returned) and the reading
// goes on from the next one. A file whose elements do not fit it is named in
// *DAMAGED with the cause, and not given to the library at all.
static size_t readHeaders(const std::vector<std::string>& paths, std::vector<Slice>* slices,
                          std::vector<std::string>* damaged)
{
    size_t next = 0, passedOver = 0;
    auto reported = std::chrono::steady_clock::now();
    while (next < paths.size()) {
        int channel[2];
        if (pipe(channel) != 0)
            throw ImportError(std::string("cannot start reading the files: ") + strerror(errno));
        fflush(stdout);
        pid_t child = fork();
        if (child < 0)
            throw ImportError(std::string("cannot start reading the files: ") + strerror(errno));
        if (child == 0) {  // one line a file: its number, and its header if it is a DICOM image
            close(channel[0]);
            int quiet = open("/dev/null", O_WRONLY);  // what the library says as it aborts is not ours
            dup2(quiet, STDERR_FILENO);
            FILE* out = fdopen(channel[1], "w");
            for (size_t i = next; i < paths.size(); ++i) {
                std::vector<Slice> images;
                std::string damaged;
                bool pixelsCutShort = false;
                if (looksLikeDicom(paths[i]) && (damaged = damage(paths[i], &pixelsCutShort)).empty())
                    readImages(paths[i], pixelsCutShort, &images);
                if (!damaged.empty())
                    fprintf(out, "%zu\t!%s\n", i, damaged.c_str());
                else if (images.empty())
                    fprintf(out, "%zu\t\n", i);
                for (const Slice& image : images)
                    fprintf(out, "%zu\t%s\n", i, toLine(image).c_str());
                fflush(out);
            }
            _exit(0);
        }
        close(channel[1]);
        std::string pending;
        bool stalled = false;
        for (;;) {
            pollfd ready = {channel[0], POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(1000 * longestHeaderSeconds)) == 0) {
                stalled = true;  // a file that takes too long
                break;
            }
            char buffer[65536];
            ssize_t count = read(channel[0], buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;  // done, or the child died on a file
            pending.append(buffer, static_cast<size_t>(count));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::string line = pending.substr(0, end);
                size_t tab = line.find('\t');
                next = std::stoul(line.substr(0, tab)) + 1;
                if (tab + 1 < line.size() && line[tab + 1] == '!')
                    damaged->push_back(paths[next - 1] + ": " + line.substr(tab + 2));
                else if (tab + 1 < line.size())
                    slices->push_back(fromLine(paths[next - 1], line.substr(tab + 1)));
            }
            if (std::chrono::steady_clock::now() - reported > std::chrono::duration<double>(reportEverySeconds)) {
                reported = std::chrono::steady_clock::now();
                printf("  %zu of %zu files looked at, %zu DICOM images so far\n", next, paths.size(), slices->size());
                fflush(stdout);
            }
        }
        close(channel[0]);
        if (stalled)
            kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (next < paths.size() && (stalled || !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
            ++next;  // the file it was reading
            ++passedOver;
        }
    }
    return passedOver;
}

// Every DICOM image under DIRECTORY, to any depth, in the order of their
// paths; or those of one DICOM file.
static std::vector<Slice> searchDirectory(const std::string& directory)
{
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::error_code error;
    const bool oneFile = !fs::is_directory(directory, error);
    if (oneFile) {
        paths.push_back(directory);
    } else {
        printf("looking for DICOM images in %s and every folder within it\n", directory.c_str());
        fflush(stdout);
        for (fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error))
            if (it->is_regular_file(error))
                paths.push_back(it->path().string());
        std::sort(paths.begin(), paths.end());
    }

    std::vector<Slice> slices;
    std::vector<std::string> damaged;
    size_t passedOver = readHeaders(paths, &slices, &damaged);
    if (oneFile && !damaged.empty())
        throw ImportError(damaged[0].substr(directory.size() + 2));
    if (slices.empty() && !damaged.empty())
        throw ImportError((damaged.size() == 1 ? std::string("its one DICOM file is damaged (")
                                               : "all its " + std::to_string(damaged.size()) +
                                                     " DICOM files are damaged (") + damaged[0] + ")");
    for (size_t i = 0; i < damaged.size() && i < mostDamagedListed; ++i)
        printf("  passed over %s\n", damaged[i].c_str());
    if (damaged.size() > mostDamagedListed)
        printf("  and %zu more damaged files passed over\n", damaged.size() - mostDamagedListed);
    passedOver += damaged.size();
    std::set<std::string> files;
    for (const Slice& slice : slices)
        files.insert(slice.path);
    if (files.size() == slices.size())
        printf("%zu files looked at, %zu DICOM images among them", paths.size(), slices.size());
    else
        printf("%zu files looked at, %zu DICOM files among them holding %zu images (frames and mosaic tiles)",
               paths.size(), files.size(), slices.size());
    if (passedOver > 0)
        printf("; %zu file%s passed over, being malformed", passedOver, passedOver == 1 ? "" : "s");
    printf("\n");

    auto cut = std::stable_partition(slices.begin(), slices.end(), [](const Slice& s) { return s.complete; });
    if (cut != slices.end())
        printf("  %zu image%s cut short left out (%s%s)\n", slices.end() - cut, slices.end() - cut == 1 ? "" : "s",
               cut->path.c_str(), slices.end() - cut > 1 ? ", ..." : "");
    if (cut == slices.begin() && cut != slices.end())
        throw ImportError("all its " + std::to_string(slices.size()) + " DICOM images are cut short (" + cut->path +
                          (slices.size() > 1 ? ", ...)" : ")"));
    slices.erase(cut, slices.end());
    return slices;
}

// The images grouped by series, ordered by series number.
static std::vector<Series> groupSeries(const std::vector<Slice>& slices)
{
    std::map<std::string, Series> byUid;
    for (const Slice& slice : slices) {
        Series& series = byUid[slice.seriesUid];
        if (series.slices.empty())
            series = {slice.seriesUid, slice.seriesNumber, slice.description, slice.modality, {}};
        series.slices.push_back(slice);
    }
    std::vector<Series> all;
    for (auto& entry : byUid)
        all.push_back(entry.second);
    std::stable_sort(all.begin(), all.end(), [](const Series& a, const Series& b) {
        return atoi(a.number.c_str()) < atoi(b.number.c_str());
    });
    return all;
}

// What names a series to the user and to --series: its number, or its UID where it has none.
static std::string seriesKey(const Series& series)
{
    return series.number.empty() ? series.uid : series.number;
}

static std::string seriesName(const Series& series)
{
    return "series " + seriesKey(series);
}

static std::vector<Stack> splitIntoStacks(const Series& series, size_t* copies = nullptr);

// The series the user asked for, or the one whose volume would hold the most voxels.
static const Series& chooseSeries(const std::vector<Series>& all, const std::string& wanted)
{
    for (const Series& series : all) {
        std::string line = "  " + seriesName(series);
        if (!series.description.empty())
            line += ", \"" + series.description + "\"";
        line += ", " + (series.modality.empty() ? std::string("modality not given") : series.modality);
        printf("%s, %zu images\n", line.c_str(), series.slices.size());
    }
    if (wanted.empty()) {  // the one that makes the largest volume: a session's T1 rather than its fMRI run
        const Series* largest = nullptr;
        double most = -1;
        for (const Series& series : all) {
            const Stack stack = splitIntoStacks(series)[0];
            double voxels = static_cast<double>(stack.size()) * stack[0].rows * stack[0].columns;
            if (voxels > most)
                largest = &series, most = voxels;
        }
        return *largest;
    }
    std::vector<const Series*> matching;
    std::string numbers;
    for (const Series& series : all) {
        if (series.uid == wanted || series.number == wanted)
            matching.push_back(&series);
        numbers += (numbers.empty() ? "" : ", ") + seriesKey(series);
    }
    if (matching.empty())
        throw ImportError("no series " + wanted + " in it; the series found: " + numbers);
    if (matching.size() > 1) {
        std::string uids;
        for (const Series* series : matching)
            uids += " " + series->uid;
        throw ImportError("several series are numbered " + wanted + " (of different studies); choose one by its UID:" +
                          uids);
    }
    return *matching[0];
}

static bool sameOrientation(const Slice& a, const Slice& b)
{
    if (a.placed != b.placed)
        return false;
    for (int i = 0; i < 3; ++i)
        if (std::fabs(a.row[i] - b.row[i]) > sameDirection || std::fabs(a.column[i] - b.column[i]) > sameDirection)
            return false;
    return true;
}

static bool sameSpacing(const Slice& a, const Slice& b)
{
    return std::fabs(a.spacing[0] - b.spacing[0]) <= 1e-3 * a.spacing[0] &&
           std::fabs(a.spacing[1] - b.spacing[1]) <= 1e-3 * a.spacing[1];
}

// What tells two stacks of one series apart, in the words of the stack that is left out.
static std::string difference(const Slice& left, const Slice& kept)
{
    auto plane = [](const Slice& slice) -> std::string {
        if (!slice.placed)
            return "no orientation given";
        Vector normal = itk::CrossProduct(slice.row, slice.column);
        const char* names[3] = {"sagittal", "coronal", "axial"};
        for (int axis = 0; axis < 3; ++axis)
            if (std::fabs(normal[axis]) > 0.9)
                return names[axis];
        return "oblique";
    };
    if (!sameOrientation(left, kept))
        return "of another orientation (" +
               (left.imageType.find("LOCALIZER") != std::string::npos ? std::string("localizer") : plane(left)) + ")";
    if (left.rows != kept.rows || left.columns != kept.columns)
        return "of another size (" + std::to_string(left.columns) + "x" + std::to_string(left.rows) + " pixels)";
    if (!sameSpacing(left, kept))
        return "of another pixel spacing";
    if (left.frames != kept.frames)
        return "of " + std::to_string(left.frames) + " frames each";
    if (left.echo != kept.echo)
        return left.echo.empty() ? "without an echo" : "of " + left.echo;
    if (left.temporal != kept.temporal)
        return "of temporal position " + left.temporal;
    if (left.diffusion != kept.diffusion)
        return left.diffusion.empty() ? "without diffusion weighting" : "of diffusion " + left.diffusion;
    if (left.stackId != kept.stackId)
        return "of stack ID " + left.stackId;
    if (left.acquisition != kept.acquisition)
        return "of acquisition " + left.acquisition;
    return std::string(left.frame >= 0 ? "of frame type " : "of image type ") + left.imageType;
}

// Where the slice lies along the normal of its plane.
static double depth(const Slice& slice)
{
    return slice.position * itk::CrossProduct(slice.row, slice.column);
}

// True if two slices of the stack lie at one position.
static bool repeatsAPosition(const Stack& stack)
{
    std::vector<double> depths;
    for (const Slice& slice : stack)
        if (slice.placed)
            depths.push_back(depth(slice));
    std::sort(depths.begin(), depths.end());
    return std::adjacent_find(depths.begin(), depths.end(),
                              [](double a, double b) { return b - a < samePlace; }) != depths.end();
}

// Splits STACK by the value of a tag where it repeats a position; a part that
// still repeats one is refused if it is chosen.
static std::vector<Stack> splitWhereItRepeats(const Stack& stack, std::string Slice::*tag)
{
    if (!repeatsAPosition(stack))
        return {stack};
    std::vector<Stack> parts;
    std::map<std::string, size_t> byValue;
    for (const Slice& slice : stack) {
        auto found = byValue.find(slice.*tag);
        if (found == byValue.end()) {
            found = byValue.emplace(slice.*tag, parts.size()).first;
            parts.emplace_back();
        }
        parts[found->second].push_back(slice);
    }
    return parts;
}

// True for an original image of magnitudes; false for a derived image
// (by the first value of its image or frame type), or one of phases, real or
// imaginary parts, or a computed map such as a field map (by the values
// after the first two): such stacks come after the magnitudes.
static bool originalMagnitude(const Slice& slice)
{
    std::stringstream parts(slice.imageType);
    std::string part;
    for (int i = 0; std::getline(parts, part, '\\'); ++i)
        if ((i == 0 && part == "DERIVED") ||
            (i >= 2 && (part == "P" || part == "PHASE" || part == "R" || part == "REAL" || part == "I" ||
                        part == "IMAGINARY" || part == "B0" || part.find("MAP") != std::string::npos)))
            return false;
    return true;
}

// The series split into stacks of one orientation, image size, pixel spacing,
// echo, temporal position, diffusion weighting and stack; acquisitions and
// image (or frame) types apart where they repeat a position. The largest
// first; of stacks as large, original magnitudes before phases and derived
// maps, then the lowest echo, the first temporal position, then as they came.
static std::vector<Stack> splitIntoStacks(const Series& series, size_t* copies)
{
    Stack slices = series.slices;
    std::stable_sort(slices.begin(), slices.end(), [](const Slice& a, const Slice& b) {
        return std::tie(a.instance, a.frame, a.tile) < std::tie(b.instance, b.frame, b.tile);
    });
    // The same image twice (copied into two folders of a CD) is one image.
    std::set<std::string> seen;
    size_t before = slices.size();
    slices.erase(std::remove_if(slices.begin(), slices.end(),
                                [&](const Slice& s) {
                                    return !s.instanceUid.empty() &&
                                           !seen.insert(s.instanceUid + "/" + std::to_string(s.frame) + "/" +
                                                        std::to_string(s.tile)).second;
                                }),
                 slices.end());
    if (copies != nullptr)
        *copies = before - slices.size();

    std::vector<Stack> stacks;
    for (const Slice& slice : slices) {
        auto alike = std::find_if(stacks.begin(), stacks.end(), [&](const Stack& stack) {
            const Slice& first = stack[0];
            return sameOrientation(first, slice) && first.rows == slice.rows && first.columns == slice.columns &&
                   sameSpacing(first, slice) && first.frames == slice.frames && first.echo == slice.echo &&
                   first.temporal == slice.temporal && first.diffusion == slice.diffusion &&
                   first.stackId == slice.stackId;
        });
        if (alike == stacks.end())
            stacks.push_back({slice});
        else
            alike->push_back(slice);
    }
    for (auto tag : {&Slice::acquisition, &Slice::imageType}) {
        std::vector<Stack> split;
        for (const Stack& stack : stacks)
            for (Stack& part : splitWhereItRepeats(stack, tag))
                split.push_back(std::move(part));
        stacks = std::move(split);
    }
    std::stable_sort(stacks.begin(), stacks.end(), [](const Stack& a, const Stack& b) {
        if (a.size() != b.size())
            return a.size() > b.size();
        double temporalA = atof(a[0].temporal.c_str()), temporalB = atof(b[0].temporal.c_str());
        return std::make_tuple(!originalMagnitude(a[0]), a[0].echoOrder, temporalA) <
               std::make_tuple(!originalMagnitude(b[0]), b[0].echoOrder, temporalB);
    });
    return stacks;
}

// The stack the user asked for, or the largest, if its orientation holds a
// majority of the series; the others are reported as left out.
static const Stack& chooseStack(const Series& series, const std::vector<Stack>& stacks, int wanted)
{
    if (wanted > static_cast<int>(stacks.size()))
        throw ImportError(seriesName(series) + " has " + std::to_string(stacks.size()) + " stack" +
                          (stacks.size() == 1 ? "" : "s") + ", no stack " + std::to_string(wanted));
    const Stack& chosen = stacks[wanted > 0 ? wanted - 1 : 0];
    size_t alike = 0, total = 0;
    for (const Stack& stack : stacks) {
        total += stack.size();
        if (sameOrientation(stack[0], chosen[0]))
            alike += stack.size();
    }
    if (wanted == 0 && 2 * alike <= total)
        throw ImportError("no orientation holds a majority of " + seriesName(series) + "'s " + std::to_string(total) +
                          " images (the largest stack has " + std::to_string(chosen.size()) +
                          "); choose one with --stack K");
    size_t listed = 0;
    for (size_t i = 0; i < stacks.size(); ++i) {
        if (&stacks[i] == &chosen)
            continue;
        if (++listed > mostStacksListed) {  // an fMRI run is hundreds of volumes: sum up the rest
            size_t images = 0;
            for (size_t j = i; j < stacks.size(); ++j)
                images += &stacks[j] == &chosen ? 0 : stacks[j].size();
            printf("  and %zu more stacks of %zu images in all left out (--series %s --stack K, K up to %zu, "
                   "imports one)\n", stacks.size() - i - (&chosen > &stacks[i] ? 1 : 0), images,
                   seriesKey(series).c_str(), stacks.size());
            break;
        }
        std::string how = stacks[i].size() > 1 ? " (--series " + seriesKey(series) +
                                                     " --stack " + std::to_string(i + 1) + " imports them)"
                                               : "";
        printf("  %zu image%s %s left out%s\n", stacks[i].size(), stacks[i].size() == 1 ? "" : "s",
               difference(stacks[i][0], chosen[0]).c_str(), how.c_str());
    }
    return chosen;
}

// Where the images of a stack come from, in words: "", or the kind and count of the files.
static std::string origin(const Stack& stack)
{
    std::set<std::string> files;
    for (const Slice& slice : stack)
        files.insert(slice.path);
    std::string count = std::to_string(files.size());
    if (stack[0].tile >= 0)
        return ", tiles of " + count + (files.size() == 1 ? " mosaic" : " mosaics");
    if (stack[0].frame >= 0)
        return ", frames of " + count + " multi-frame file" + (files.size() == 1 ? "" : "s");
    return "";
}

// What sets the chosen stack apart from the others of its series, in words:
// its echo, temporal position, diffusion, stack, acquisition and image type,
// as far as they differ between the stacks.
static std::string whichStack(const Stack& chosen, const std::vector<Stack>& stacks)
{
    const Slice& kept = chosen[0];
    std::string words;
    auto add = [&](std::string Slice::*field, const std::string& name) {
        bool differs = std::any_of(stacks.begin(), stacks.end(), [&](const Stack& s) { return s[0].*field != kept.*field; });
        if (differs && !(kept.*field).empty())
            words += (words.empty() ? ": " : ", ") + name + kept.*field;
    };
    add(&Slice::echo, "");
    add(&Slice::temporal, "temporal position ");
    add(&Slice::diffusion, "diffusion ");
    add(&Slice::stackId, "stack ID ");
    add(&Slice::acquisition, "acquisition ");
    add(&Slice::imageType, kept.frame >= 0 ? "frame type " : "image type ");
    return words;
}

Stack findStack(const std::string& directory, const DicomChoice& choice, std::string* modality)
{
    gdcm::Trace::WarningOff();  // failures are reported in one line of our own
    gdcm::Trace::ErrorOff();
    std::vector<Slice> slices = searchDirectory(directory);
    if (slices.empty())
        throw ImportError(std::filesystem::is_empty(directory) ? "an empty directory"
                                                               : "a directory without DICOM images, at any depth");
    std::vector<Series> all = groupSeries(slices);
    printf("%zu series:\n", all.size());
    const Series& series = chooseSeries(all, choice.series);
    size_t copies = 0;
    std::vector<Stack> stacks = splitIntoStacks(series, &copies);
    printf("reading %s\n", seriesName(series).c_str());
    if (copies > 0)
        printf("  %zu images are copies of others (the same instance UID), counted once\n", copies);
    const Stack& stack = chooseStack(series, stacks, choice.stack);
    printf("  %zu slice%s of %dx%d pixels%s%s\n", stack.size(), stack.size() == 1 ? "" : "s", stack[0].columns,
           stack[0].rows, origin(stack).c_str(), whichStack(stack, stacks).c_str());
    fflush(stdout);
    *modality = series.modality;
    if (stack[0].tile < 0 && stack[0].imageType.find("MOSAIC") != std::string::npos)
        throw ImportError("a mosaic whose private header does not say how many slices it holds, which way they "
                          "follow each other and how far apart, so where its tiles lie is not known");
    if (stack.size() == 1)
        throw ImportError("a 2D image (" + std::to_string(stack[0].columns) + "x" + std::to_string(stack[0].rows) +
                          "x1 pixels); a volume is needed");
    return stack;
}
