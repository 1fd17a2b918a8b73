#pragma once

#include <hdf5.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// What the file says about the camera; taken from the first frame.
struct RecordGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitsPerPixel = 8;
    double frameRate = 0;
};

// One frame's values beside its pixels.
struct FrameRow {
    uint32_t frameNumber = 0;
    double timestamp = 0;  // seconds since 1970-01-01 UTC
    double scale = 0;
    double spot[4] = {-1, -1, -1, -1};  // x, y, sx, sy
    // The beam as the server's analysis measures it; NaN where it found none.
    uint8_t beamValid = 0;
    double centroid[2] = {NAN, NAN};
    double sigma[3] = {NAN, NAN, NAN};  // σx, σy (px), σxy (px², signed)
    double d4sigma[2] = {NAN, NAN};     // major, minor (px)
    double angle = NAN;                 // degrees of the major axis from +x towards +y
    double total = NAN;
};

// A named attribute: numbers (stored as 64-bit integers when `integers`), or a text when
// `numbers` is empty.
struct Hdf5Attribute {
    std::string name;
    std::vector<double> numbers;
    std::string text;
    bool integers = false;
};

enum class WriteResult { kOk, kFull, kError };

// Writes one recording as an HDF5 file in the NeXus layout:
//   /entry (NXentry) / data (NXdata): data [N, height, width] uint8, one chunk per frame,
//   frame_number, timestamp, scale, spot [N, 4]; /entry/beam (NXcollection): centroid [N, 2],
//   sigma [N, 3], D4sigma [N, 2], angle, total, valid; /entry/instrument/camera (NXdetector).
// Every dataset grows by one row per frame; Flush makes what is written readable by
// others, so the caller flushes at least once a second. Before each frame the room left
// (free space of the file system, the process's file-size limit) is checked against the
// frame plus a reserve for the metadata, so a full disk ends the recording with a file
// that is still whole instead of one whose metadata points past its end.
// One object per recording, used on one thread.
class CNexusWriter {
  public:
    CNexusWriter();
    ~CNexusWriter();
    CNexusWriter(const CNexusWriter&) = delete;
    CNexusWriter& operator=(const CNexusWriter&) = delete;

    // Creates `path`; an existing file is refused unless `overwrite`. `deflate` 0 stores
    // frames as they are, 1 to 9 compresses each chunk with that level.
    // `beam` becomes the attributes of /entry/beam.
    bool Create(const std::string& path, bool overwrite, int deflate, const RecordGeometry& g,
                const std::string& server, const std::string& program,
                const std::vector<Hdf5Attribute>& beam, std::string& error);
    // Appends one frame: `gray` (width x height bytes), or its deflated form `packed` from
    // DeflateFrame when that is non-empty.
    WriteResult Append(const uint8_t* gray, const std::vector<uint8_t>* packed, const FrameRow& row,
                       std::string& error);
    // Writes the end time and every cached byte (by closing the file and opening it again).
    bool Flush(std::string& error);
    // Adds (or replaces) attributes of the group at `path`, e.g. "/entry/beam".
    bool PutAttributes(const char* path, const std::vector<Hdf5Attribute>& attributes,
                       std::string& error);
    // Flushes and closes; harmless when nothing is open.
    bool Close(std::string& error);

    uint64_t Frames() const { return frames_; }
    // Bytes of frame data handed to the file (after compression).
    uint64_t DataBytes() const { return dataBytes_; }

  private:
    // A dataset that grows by one row of FrameRow values per frame.
    struct RowSet {
        const char* path;
        hid_t fileType;
        hid_t memType;
        hsize_t columns;
        const char* units;
        const char* columnNames;  // the "columns" attribute; null for none
        const void* (*value)(const FrameRow&);
        hid_t id = -1;
    };

    void CloseObjects();
    WriteResult RoomFor(uint64_t bytes, std::string& error) const;
    bool AppendRow(hid_t dataset, hid_t type, const void* values, hsize_t columns);

    std::string path_;
    int deflate_ = 0;
    RecordGeometry geometry_;
    hid_t file_ = -1;
    hid_t entry_ = -1;
    hid_t data_ = -1;
    std::vector<RowSet> rows_;
    uint64_t frames_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t sizeLimit_ = 0;  // RLIMIT_FSIZE, 0 for none
};

// The chunk of a frame for a deflate level: false when deflate does not shrink it.
bool DeflateFrame(const uint8_t* gray, size_t bytes, int level, std::vector<uint8_t>& packed);
// The texts of the HDF5 error stack, innermost first, for a message.
std::string Hdf5ErrorText();
// "YYYY-MM-DDTHH:MM:SS.mmmZ" for `seconds` since 1970-01-01 UTC.
std::string IsoTime(double seconds);
