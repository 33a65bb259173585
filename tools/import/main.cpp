// import_scan: turns a real CT or MRI scan (NIfTI, NRRD, MetaImage, or a
// directory holding DICOM series, to any depth) into the viewer's volume: 256^3 unsigned
// bytes, x fastest, with the patient's left at +x, superior at +y and anterior
// at +z, so that a head faces the viewer in its default view.
//
//   import_scan INPUT OUTPUT [--window LOW HIGH] [--series N] [--stack K] [--volume K]
//               [--overlay MAP OVERLAY_OUTPUT [--labels LUT] [--overlay-window LOW HIGH]]
//
// With --overlay, MAP (a label map or a continuous map) is placed in exactly
// OUTPUT's cube and written to OVERLAY_OUTPUT, its colours beside it.
//
// The import is a stream: the scan is found and placed from its headers, then
// read plane by plane, each plane resampled into the cube as it comes; the
// values are mapped to bytes on the cube alone.
#include "import.h"

#include "itkMacro.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <filesystem>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

static void writeBytes(const std::string& path, const unsigned char* bytes, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file != nullptr && fwrite(bytes, 1, size, file) == size;
    if (file == nullptr || fclose(file) != 0 || !written)
        throw ImportError(std::string("cannot write it: ") + strerror(errno));
}

static void printScan(const std::string& input, const Grid& grid)
{
    printf("read %s: %zux%zux%zu voxels of %gx%gx%g mm, axes toward %s, %s, %s\n", input.c_str(), grid.size[0],
           grid.size[1], grid.size[2], grid.spacing[0], grid.spacing[1], grid.spacing[2],
           axisWord(grid.axes, 0).c_str(), axisWord(grid.axes, 1).c_str(), axisWord(grid.axes, 2).c_str());
    fflush(stdout);
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

// What the import writes: each output, and the temporary file beside it that
// is written first and renamed over it once everything is whole.
struct Outputs {
    std::string scan, overlay, scanTemporary, overlayTemporary, tableTemporary;
};

// Every temporary renamed over its output, the overlay's colour table named
// for its kind and a table of the other kind removed, so that the files of one
// import are all there or, where one cannot be written, named in the failure.
static void putInPlace(const Outputs& out, bool labels, std::string* failing)
{
    auto move = [&](const std::string& from, const std::string& to) {
        *failing = to;
        if (rename(from.c_str(), to.c_str()) != 0)
            throw ImportError(std::string("cannot write it: ") + strerror(errno));
    };
    move(out.scanTemporary, out.scan);
    if (out.overlay.empty())
        return;
    move(out.overlayTemporary, out.overlay);
    move(out.tableTemporary, colourTablePath(out.overlay, labels));
    unlink(colourTablePath(out.overlay, !labels).c_str());
}

// The whole import, stage after stage, from reading INPUT to writing the
// bytes into the temporaries and renaming them over the outputs. Returns the exit status.
static int importScan(const std::string& input, const Outputs& out, const double* window, const DicomChoice& dicom,
                      size_t volume, const OverlayRequest& overlayRequest)
{
    std::string failing = input;  // what a failure names: the input, until writing starts
    try {
        std::error_code error;
        if (!std::filesystem::exists(input, error))
            throw ImportError("no such file or directory");
        std::filesystem::path folder = input;
        if (folder.filename() == "DICOMDIR")  // it stands for the folder it lies in
            folder = folder.parent_path().empty() ? "." : folder.parent_path();
        const bool isFolder = std::filesystem::is_directory(folder, error);
        if (isFolder && volume > 0)
            throw ImportError("a DICOM directory; --volume chooses within a file of several volumes "
                              "(--series and --stack choose within a directory)");
        if (!isFolder && (!dicom.series.empty() || dicom.stack > 0))
            throw ImportError("a file; --series and --stack choose within a DICOM directory");

        // Finding the scan and placing it: a DICOM stack, or a file.
        Placement placement;
        ScanFile file;
        std::string modality;
        const bool isDicom = isFolder || looksLikeDicom(input);
        if (isDicom) {
            placement = placeSlices(findStack(isFolder ? folder.string() : input, dicom, &modality));
        } else {
            file = openScanFile(input, volume);
            modality = file.modality;
            if (file.volumes > 1)
                printf("volume %zu of %zu; --volume K imports another\n", file.volume, file.volumes);
        }
        const Grid& grid = isDicom ? placement.grid : file.grid;
        printScan(input, grid);

        // Reading it plane by plane, each counted and resampled into the cube as it comes.
        Cube cube;
        ValueCount count;
        startCount(&count, static_cast<double>(grid.size[0]) * grid.size[1] * grid.size[2]);
        const CubeFrame frame = fitCube(grid);
        PlaneSink resample = resampleInto(grid, frame, &cube);
        const size_t plane = grid.size[0] * grid.size[1];
        PlaneSink sink = [&](const float* values) {
            countPlane(&count, values, plane);
            resample(values);
        };
        if (isDicom)
            readPlacedSlices(placement, sink);
        else
            readScanFile(file, sink);

        // Mapping the cube's values to bytes, and writing them.
        std::vector<unsigned char> bytes = mapToBytes(cube, count, modality, window);
        cube.values = std::vector<float>();
        failing = out.scan;
        printf("writing %s\n", out.scan.c_str());
        fflush(stdout);
        writeBytes(out.scanTemporary, bytes.data(), bytes.size());

        // The overlay, in the same cube.
        Overlay overlay;
        if (!overlayRequest.map.empty()) {
            failing = overlayRequest.map;
            overlay = importOverlay(overlayRequest, frame);
            failing = out.overlay;
            printf("writing %s and its colours %s\n", out.overlay.c_str(),
                   colourTablePath(out.overlay, overlay.labels).c_str());
            fflush(stdout);
            writeBytes(out.overlayTemporary, overlay.levels.data(), overlay.levels.size());
            writeBytes(out.tableTemporary, overlay.colours, sizeof overlay.colours);
        }
        putInPlace(out, overlay.labels, &failing);
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
    Outputs out;
    OverlayRequest overlay;
    double overlayWindow[2];
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
        } else if (option == "--overlay" && i + 2 < argc && argv[i + 1][0] != '\0' && argv[i + 2][0] != '\0') {
            overlay.map = argv[i + 1];
            out.overlay = argv[i + 2];
            i += 2;
        } else if (option == "--labels" && i + 1 < argc && argv[i + 1][0] != '\0') {
            overlay.labels = argv[++i];
        } else if (option == "--overlay-window" && i + 2 < argc) {
            overlayWindow[0] = strtod(argv[i + 1], &end0);
            overlayWindow[1] = strtod(argv[i + 2], &end1);
            overlay.window = overlayWindow;
            understood = *end0 == '\0' && *end1 == '\0' && overlayWindow[1] > overlayWindow[0];
            i += 2;
        } else {
            understood = false;
        }
    }
    // The colour table and the window belong to an overlay, and each tells its kind.
    if ((!overlay.labels.empty() || overlay.window != nullptr) && overlay.map.empty())
        understood = false;
    if (!overlay.labels.empty() && overlay.window != nullptr)
        understood = false;
    if (!understood) {
        fprintf(stderr, "usage: import_scan INPUT OUTPUT [--window LOW HIGH] [--series N] [--stack K] [--volume K] "
                        "[--overlay MAP OVERLAY_OUTPUT [--labels LUT | --overlay-window LOW HIGH]]  "
                        "(LOW below HIGH; N a DICOM series number or UID; K from 1)\n");
        return 1;
    }
    const std::string input = argv[1];
    const std::string output = argv[2];
    // Blocks of a slice's size, taken and given back for every slice, stay
    // with the program rather than going back to the system and being
    // faulted in again page by page.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    itk::Object::GlobalWarningDisplayOff();  // failures are reported in one line of our own

    // Each output is written beside itself and renamed over it only when
    // every one is whole, so a failed import leaves existing outputs as they
    // were and no stray file.
    out.scan = output;
    std::vector<std::string*> temporaries = {&out.scanTemporary};
    std::vector<std::string> besides = {output};
    if (!out.overlay.empty()) {
        temporaries.insert(temporaries.end(), {&out.overlayTemporary, &out.tableTemporary});
        besides.insert(besides.end(), {out.overlay, out.overlay});
    }
    mode_t mask = umask(0);  // mkstemp makes a file private; give it the usual permissions
    umask(mask);
    for (size_t t = 0; t < temporaries.size(); ++t) {
        std::string temporary = besides[t] + ".XXXXXX";
        int descriptor = mkstemp(&temporary[0]);
        if (descriptor < 0) {
            fprintf(stderr, "import_scan: %s: cannot write beside it: %s\n", besides[t].c_str(), strerror(errno));
            for (size_t made = 0; made < t; ++made)
                unlink(temporaries[made]->c_str());
            return 1;
        }
        fchmod(descriptor, 0666 & ~mask);
        close(descriptor);
        *temporaries[t] = temporary;
    }

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
        int status = importScan(input, out, windowGiven ? window : nullptr, dicom, volume, overlay);
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
    if (!imported)
        for (const std::string* temporary : temporaries)
            unlink(temporary->c_str());
    return imported ? 0 : 1;
}
