#include "tools/record/NexusWriter.h"

#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace {

// Room kept for the metadata that the next flush and the close may add.
constexpr uint64_t kMetadataReserve = 1u << 20;
// Rows per chunk of the small per-frame datasets: a few kilobytes each.
constexpr hsize_t kRowChunk = 512;

herr_t CollectError(unsigned, const H5E_error2_t* e, void* text) {
    auto* out = static_cast<std::string*>(text);
    if (e->desc != nullptr && e->desc[0] != '\0') {
        if (!out->empty())
            *out += ": ";
        *out += e->desc;
    }
    return 0;
}

// A scalar attribute holding `text`; fixed-length when `fixed`, so that rewriting it
// stays in place.
bool PutText(hid_t object, const char* name, const std::string& text, bool fixed = false) {
    hid_t type = H5Tcopy(H5T_C_S1);
    hid_t space = H5Screate(H5S_SCALAR);
    bool ok = false;
    if (fixed) {
        H5Tset_size(type, text.size() + 1);
        H5Tset_cset(type, H5T_CSET_ASCII);
    } else {
        H5Tset_size(type, H5T_VARIABLE);
        H5Tset_cset(type, H5T_CSET_UTF8);
    }
    hid_t attr = H5Aexists(object, name) > 0
                     ? H5Aopen(object, name, H5P_DEFAULT)
                     : H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    if (attr >= 0) {
        const char* p = text.c_str();
        ok = (fixed ? H5Awrite(attr, type, p) : H5Awrite(attr, type, &p)) >= 0;
        H5Aclose(attr);
    }
    H5Sclose(space);
    H5Tclose(type);
    return ok;
}

bool PutTextList(hid_t object, const char* name, const std::vector<const char*>& texts) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    const hsize_t n = texts.size();
    hid_t space = H5Screate_simple(1, &n, nullptr);
    hid_t attr = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = attr >= 0 && H5Awrite(attr, type, texts.data()) >= 0;
    if (attr >= 0)
        H5Aclose(attr);
    H5Sclose(space);
    H5Tclose(type);
    return ok;
}

bool PutInt(hid_t object, const char* name, int64_t value) {
    hid_t space = H5Screate(H5S_SCALAR);
    hid_t attr = H5Acreate2(object, name, H5T_STD_I64LE, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = attr >= 0 && H5Awrite(attr, H5T_NATIVE_INT64, &value) >= 0;
    if (attr >= 0)
        H5Aclose(attr);
    H5Sclose(space);
    return ok;
}

bool PutNumbers(hid_t object, const char* name, const std::vector<double>& values, bool integers) {
    if (H5Aexists(object, name) > 0 && H5Adelete(object, name) < 0)
        return false;
    const hsize_t n = values.size();
    hid_t space = n == 1 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr);
    hid_t attr = H5Acreate2(object, name, integers ? H5T_STD_I64LE : H5T_IEEE_F64LE, space,
                            H5P_DEFAULT, H5P_DEFAULT);
    bool ok = attr >= 0;
    if (ok && integers) {
        const std::vector<int64_t> whole(values.begin(), values.end());
        ok = H5Awrite(attr, H5T_NATIVE_INT64, whole.data()) >= 0;
    } else if (ok) {
        ok = H5Awrite(attr, H5T_NATIVE_DOUBLE, values.data()) >= 0;
    }
    if (attr >= 0)
        H5Aclose(attr);
    H5Sclose(space);
    return ok;
}

bool PutAll(hid_t object, const std::vector<Hdf5Attribute>& attributes) {
    for (const Hdf5Attribute& a : attributes) {
        if (a.numbers.empty() ? !PutText(object, a.name.c_str(), a.text)
                              : !PutNumbers(object, a.name.c_str(), a.numbers, a.integers))
            return false;
    }
    return true;
}

hid_t Group(hid_t parent, const char* name, const char* nxClass) {
    hid_t g = H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (g >= 0 && !PutText(g, "NX_class", nxClass)) {
        H5Gclose(g);
        return -1;
    }
    return g;
}

// A scalar dataset of the detector group.
bool PutScalar(hid_t group, const char* name, hid_t fileType, hid_t memType, const void* value,
               const char* units) {
    hid_t space = H5Screate(H5S_SCALAR);
    hid_t d = H5Dcreate2(group, name, fileType, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    bool ok = d >= 0 && H5Dwrite(d, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, value) >= 0;
    if (ok && units != nullptr)
        ok = PutText(d, "units", units);
    if (d >= 0)
        H5Dclose(d);
    H5Sclose(space);
    return ok;
}

// An empty dataset of `rank` dimensions that grows along the first.
hid_t Growing(hid_t group, const char* name, hid_t type, int rank, const hsize_t* rowShape,
              const hsize_t* chunk, int deflate) {
    hsize_t dims[3] = {0, 0, 0}, maxDims[3] = {H5S_UNLIMITED, 0, 0};
    for (int i = 1; i < rank; ++i)
        dims[i] = maxDims[i] = rowShape[i - 1];
    hid_t space = H5Screate_simple(rank, dims, maxDims);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, rank, chunk);
    // Every element is written; filling chunks first would only cost time.
    H5Pset_fill_time(dcpl, H5D_FILL_TIME_NEVER);
    if (deflate > 0)
        H5Pset_deflate(dcpl, static_cast<unsigned>(deflate));
    hid_t d = H5Dcreate2(group, name, type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    H5Pclose(dcpl);
    H5Sclose(space);
    return d;
}

void CloseId(hid_t& id, herr_t (*close)(hid_t)) {
    if (id >= 0)
        close(id);
    id = -1;
}

}  // namespace

std::string Hdf5ErrorText() {
    std::string text;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, CollectError, &text);
    H5Eclear2(H5E_DEFAULT);
    return text.empty() ? "HDF5 library error" : text;
}

std::string IsoTime(double seconds) {
    const time_t whole = static_cast<time_t>(std::floor(seconds));
    int ms = static_cast<int>(std::lround((seconds - static_cast<double>(whole)) * 1000));
    tm t{};
    const time_t shown = whole + (ms == 1000 ? 1 : 0);
    gmtime_r(&shown, &t);
    char text[96];  // room for any year the compiler can imagine
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms % 1000);
    return text;
}

CNexusWriter::CNexusWriter() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        sizeLimit_ = limit.rlim_cur;
}

CNexusWriter::~CNexusWriter() {
    std::string ignored;
    Close(ignored);
}

bool CNexusWriter::Create(const std::string& path, bool overwrite, int deflate,
                          const RecordGeometry& g, const std::string& server,
                          const std::string& program, const std::vector<Hdf5Attribute>& beam,
                          std::string& error) {
    path_ = path;
    deflate_ = deflate;
    geometry_ = g;
    if (!overwrite && access(path.c_str(), F_OK) == 0) {
        error = path + " exists (--overwrite replaces it)";
        return false;
    }
    file_ =
        H5Fcreate(path.c_str(), overwrite ? H5F_ACC_TRUNC : H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT);
    if (file_ < 0) {
        error = "cannot create " + path + ": " + Hdf5ErrorText();
        return false;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string start = IsoTime(static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
    bool ok = PutText(file_, "default", "entry") && PutText(file_, "creator", program);
    entry_ = Group(file_, "entry", "NXentry");
    hid_t data = Group(entry_, "data", "NXdata");
    hid_t beamGroup = Group(entry_, "beam", "NXcollection");
    hid_t instrument = Group(entry_, "instrument", "NXinstrument");
    hid_t camera = instrument >= 0 ? Group(instrument, "camera", "NXdetector") : -1;
    ok = ok && entry_ >= 0 && data >= 0 && camera >= 0 && PutText(entry_, "default", "data") &&
         PutText(entry_, "start_time", start, true) && PutText(entry_, "end_time", start, true) &&
         PutText(entry_, "server", server) && PutText(entry_, "program", program) &&
         PutText(data, "signal", "data") && PutTextList(data, "axes", {"frame_number", ".", "."}) &&
         PutInt(data, "frame_number_indices", 0) && beamGroup >= 0 && PutAll(beamGroup, beam);
    const hid_t u32 = H5T_STD_U32LE, f64 = H5T_IEEE_F64LE, u8 = H5T_STD_U8LE;
    const hid_t nu32 = H5T_NATIVE_UINT32, nf64 = H5T_NATIVE_DOUBLE, nu8 = H5T_NATIVE_UINT8;
    using R = const FrameRow&;
    rows_ = {
        {"data/frame_number", u32, nu32, 1, nullptr, nullptr,
         [](R r) -> const void* { return &r.frameNumber; }},
        {"data/timestamp", f64, nf64, 1, "s", nullptr,
         [](R r) -> const void* { return &r.timestamp; }},
        {"data/scale", f64, nf64, 1, nullptr, nullptr, [](R r) -> const void* { return &r.scale; }},
        {"data/spot", f64, nf64, 4, "pixel", "x y sx sy; -1 where no spot was found",
         [](R r) -> const void* { return r.spot; }},
        {"beam/centroid", f64, nf64, 2, "pixel", "x y",
         [](R r) -> const void* { return r.centroid; }},
        {"beam/sigma", f64, nf64, 3, "pixel", "x y (pixel) xy (pixel^2, signed)",
         [](R r) -> const void* { return r.sigma; }},
        {"beam/D4sigma", f64, nf64, 2, "pixel", "major minor",
         [](R r) -> const void* { return r.d4sigma; }},
        {"beam/angle", f64, nf64, 1, "degree", nullptr,
         [](R r) -> const void* { return &r.angle; }},
        {"beam/total", f64, nf64, 1, nullptr, nullptr, [](R r) -> const void* { return &r.total; }},
        {"beam/valid", u8, nu8, 1, nullptr, nullptr,
         [](R r) -> const void* { return &r.beamValid; }},
    };
    for (RowSet& row : rows_) {
        if (!ok)
            break;
        const hsize_t shape[1] = {row.columns};
        const hsize_t chunk[2] = {kRowChunk, row.columns};
        const std::string name = row.path;
        hid_t group = name.starts_with("data/") ? data : beamGroup;
        row.id = Growing(group, name.substr(name.find('/') + 1).c_str(), row.fileType,
                         row.columns > 1 ? 2 : 1, shape, chunk, 0);
        ok = ok && row.id >= 0 && (row.units == nullptr || PutText(row.id, "units", row.units)) &&
             (row.columnNames == nullptr || PutText(row.id, "columns", row.columnNames));
    }
    if (ok) {
        const hsize_t frameShape[2] = {g.height, g.width};
        const hsize_t frameChunk[3] = {1, g.height, g.width};
        data_ = Growing(data, "data", H5T_STD_U8LE, 3, frameShape, frameChunk, deflate);
        const uint32_t size[2] = {g.height, g.width};
        const hsize_t two = 2;
        hid_t sizeSpace = H5Screate_simple(1, &two, nullptr);
        hid_t sizeSet = H5Dcreate2(camera, "frame_size", H5T_STD_U32LE, sizeSpace, H5P_DEFAULT,
                                   H5P_DEFAULT, H5P_DEFAULT);
        ok = data_ >= 0 && sizeSet >= 0 &&
             H5Dwrite(sizeSet, H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, size) >= 0 &&
             PutText(sizeSet, "columns", "height width") &&
             PutScalar(camera, "bits_per_pixel", H5T_STD_U32LE, H5T_NATIVE_UINT32, &g.bitsPerPixel,
                       nullptr) &&
             PutScalar(camera, "frame_rate", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &g.frameRate, "Hz");
        if (sizeSet >= 0)
            H5Dclose(sizeSet);
        H5Sclose(sizeSpace);
    }
    if (camera >= 0)
        H5Gclose(camera);
    if (instrument >= 0)
        H5Gclose(instrument);
    if (beamGroup >= 0)
        H5Gclose(beamGroup);
    if (data >= 0)
        H5Gclose(data);
    if (!ok || H5Fflush(file_, H5F_SCOPE_LOCAL) < 0) {
        error = "cannot write the layout of " + path + ": " + Hdf5ErrorText();
        std::string ignored;
        Close(ignored);
        return false;
    }
    return true;
}

WriteResult CNexusWriter::RoomFor(uint64_t bytes, std::string& error) const {
    hsize_t size = 0;
    H5Fget_filesize(file_, &size);
    const uint64_t needed = size + bytes + kMetadataReserve;
    if (sizeLimit_ != 0 && needed > sizeLimit_) {
        error = "file size limit reached (" + std::to_string(sizeLimit_) + " bytes)";
        return WriteResult::kFull;
    }
    std::string dir = path_.substr(0, path_.find_last_of('/') + 1);
    struct statvfs fs {};
    if (statvfs(dir.empty() ? "." : dir.c_str(), &fs) == 0 &&
        uint64_t{fs.f_bavail} * fs.f_frsize < bytes + kMetadataReserve) {
        error = "disk full";
        return WriteResult::kFull;
    }
    return WriteResult::kOk;
}

bool CNexusWriter::AppendRow(hid_t dataset, hid_t type, const void* values, hsize_t columns) {
    const int rank = columns > 1 ? 2 : 1;
    hsize_t dims[2] = {frames_ + 1, columns};
    if (H5Dset_extent(dataset, dims) < 0)
        return false;
    hid_t fileSpace = H5Dget_space(dataset);
    const hsize_t start[2] = {frames_, 0}, count[2] = {1, columns};
    hid_t memSpace = H5Screate_simple(rank, count, nullptr);
    const bool ok =
        H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
        H5Dwrite(dataset, type, memSpace, fileSpace, H5P_DEFAULT, values) >= 0;
    H5Sclose(memSpace);
    H5Sclose(fileSpace);
    return ok;
}

bool DeflateFrame(const uint8_t* gray, size_t bytes, int level, std::vector<uint8_t>& packed) {
    uLongf packedBytes = compressBound(bytes);
    packed.resize(packedBytes);
    if (compress2(packed.data(), &packedBytes, gray, bytes, level) != Z_OK || packedBytes >= bytes)
        return false;
    packed.resize(packedBytes);
    return true;
}

WriteResult CNexusWriter::Append(const uint8_t* gray, const std::vector<uint8_t>* packed,
                                 const FrameRow& row, std::string& error) {
    const size_t frameBytes = size_t{geometry_.width} * geometry_.height;
    const bool deflated = packed != nullptr && !packed->empty();
    const uint8_t* chunk = deflated ? packed->data() : gray;
    const size_t chunkBytes = deflated ? packed->size() : frameBytes;
    // A frame that deflate does not shrink is stored as it is, marked so that readers
    // skip the filter for its chunk.
    const uint32_t filterMask = deflate_ > 0 && !deflated ? 1 : 0;
    WriteResult room = RoomFor(chunkBytes, error);
    if (room != WriteResult::kOk)
        return room;

    const hsize_t dims[3] = {frames_ + 1, geometry_.height, geometry_.width};
    const hsize_t offset[3] = {frames_, 0, 0};
    bool ok = H5Dset_extent(data_, dims) >= 0 &&
              H5Dwrite_chunk(data_, H5P_DEFAULT, filterMask, offset, chunkBytes, chunk) >= 0;
    for (const RowSet& r : rows_)
        ok = ok && AppendRow(r.id, r.memType, r.value(row), r.columns);
    if (!ok) {
        const std::string text = Hdf5ErrorText();
        error = "cannot write frame " + std::to_string(row.frameNumber) + ": " + text;
        // The library's message carries the errno of the failed write.
        const bool full = text.find("errno = 28") != std::string::npos ||
                          text.find("errno = 27") != std::string::npos;
        return full ? WriteResult::kFull : WriteResult::kError;
    }
    ++frames_;
    dataBytes_ += chunkBytes;
    return WriteResult::kOk;
}

bool CNexusWriter::Flush(std::string& error) {
    if (file_ < 0)
        return true;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const bool ok = PutText(entry_, "end_time",
                            IsoTime(static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9), true);
    // Closed and opened again rather than flushed: the library keeps a few hundred bytes
    // per chunk written for as long as the file stays open, which a long recording would
    // feel; a closed file is also the most complete state a crash can find.
    CloseObjects();
    const herr_t closed = H5Fclose(file_);
    file_ = -1;
    if (!ok || closed < 0) {
        error = "cannot flush " + path_ + ": " + Hdf5ErrorText();
        return false;
    }
    file_ = H5Fopen(path_.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    if (file_ >= 0) {
        entry_ = H5Gopen2(file_, "/entry", H5P_DEFAULT);
        data_ = H5Dopen2(file_, "/entry/data/data", H5P_DEFAULT);
    }
    bool reopened = file_ >= 0 && entry_ >= 0 && data_ >= 0;
    for (RowSet& r : rows_) {
        r.id = reopened ? H5Dopen2(entry_, r.path, H5P_DEFAULT) : -1;
        reopened = reopened && r.id >= 0;
    }
    if (!reopened) {
        error = "cannot open " + path_ + " again: " + Hdf5ErrorText();
        std::string ignored;
        Close(ignored);
        return false;
    }
    return true;
}

void CNexusWriter::CloseObjects() {
    CloseId(data_, H5Dclose);
    for (RowSet& r : rows_)
        CloseId(r.id, H5Dclose);
    CloseId(entry_, H5Gclose);
}

bool CNexusWriter::PutAttributes(const char* path, const std::vector<Hdf5Attribute>& attributes,
                                 std::string& error) {
    hid_t group = file_ >= 0 ? H5Gopen2(file_, path, H5P_DEFAULT) : -1;
    const bool ok = group >= 0 && PutAll(group, attributes);
    if (group >= 0)
        H5Gclose(group);
    if (!ok)
        error = std::string("cannot write the attributes of ") + path + ": " + Hdf5ErrorText();
    return ok;
}

bool CNexusWriter::Close(std::string& error) {
    if (file_ < 0)
        return true;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    bool ok =
        entry_ < 0 || PutText(entry_, "end_time",
                              IsoTime(static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9), true);
    CloseObjects();
    ok = H5Fclose(file_) >= 0 && ok;
    file_ = -1;
    if (!ok)
        error = "cannot close " + path_ + ": " + Hdf5ErrorText();
    return ok;
}
