// Image files: identification, the ".mti" format, raw frames with an INI
// sidecar, and the helpers the PNG and JPEG code share (QiPng.cpp, QiJpeg.cpp).
#include "QiCLocale.h"
#include "QiImage.h"
#include "QiImageFileIo.h"
#include "QiOutput.h"

// The sidecar is read as bytes: no wide-character build of SimpleIni is needed.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace qiimagefile {

bool sizeOk(const char* func, uint64_t width, uint64_t height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide ||
        width * height > kMaxPixels) {
        gOutput->trace(QiOutput::Warning, "%s: image size %llux%llu refused\n", func,
                       static_cast<unsigned long long>(width),
                       static_cast<unsigned long long>(height));
        return false;
    }
    return true;
}

bool bitsOk(const char* func, int bits) {
    if (bits < 8 || bits > 16) {
        gOutput->trace(QiOutput::Warning, "%s: %d bits per component not supported\n", func, bits);
        return false;
    }
    return true;
}

QiImage* newImage(const char* func, uint64_t width, uint64_t height, int bits) {
    if (!sizeOk(func, width, height)) return nullptr;
    QiImage* image = nullptr;
    try {
        image = new QiImage(static_cast<int>(width), static_cast<int>(height), bits);
    } catch (const std::bad_alloc&) {
        gOutput->trace(QiOutput::Warning, "%s: no memory for %llux%llu pixels\n", func,
                       static_cast<unsigned long long>(width),
                       static_cast<unsigned long long>(height));
        return nullptr;
    }
    image->clear(0);
    return image;
}

int openForReading(const char* func, const char* path, uint64_t& size, bool quietEmpty) {
    size = 0;
    if (!path || !*path) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking: opening a FIFO does not wait for a writer, and a file
    // whose reads would wait (a kernel log) fails them instead.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        gOutput->trace(QiOutput::Warning, "%s: %s is not a regular file\n", func, path);
        errno = EINVAL;
        return -1;
    }
    if (st.st_size <= 0) {
        ::close(fd);
        if (!quietEmpty) gOutput->trace(QiOutput::Warning, "%s: %s is empty\n", func, path);
        errno = ENODATA;
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

std::FILE* fopenForReading(const char* func, const char* path, uint64_t* size) {
    uint64_t n = 0;
    int fd = openForReading(func, path, n);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    if (size) *size = n;
    return f;
}

long readUpTo(const char* func, const char* path, int fd, uint8_t* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::read(fd, data + got, length - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            gOutput->trace(QiOutput::Warning, "%s: reading %s would block\n", func, path);
        return -1;
    }
    return static_cast<long>(got);
}

namespace {

// Follows `path` while it names a symbolic link (a relative target counts from
// the link's folder), so that writing replaces the target, not the link. A
// dangling link leads to the name that the file is to take. False (errno
// ELOOP) for a chain that does not end.
bool resolveLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::vector<char> buf(4096);
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n <= 0 || size_t(n) >= buf.size()) return true; // written as named
        std::string target(buf.data(), size_t(n));
        const size_t slash = path.rfind('/');
        if (target[0] != '/' && slash != std::string::npos)
            target = path.substr(0, slash + 1) + target;
        path = target;
    }
    errno = ELOOP;
    return false;
}

} // namespace

std::FILE* SafeFile::open(const char* path) {
    abandon();
    final_ = path ? path : "";
    temp_.clear();
    sync_ = false;
    if (final_.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (!resolveLinks(final_)) return nullptr;
    struct stat st;
    const bool exists = ::stat(final_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        file_ = std::fopen(final_.c_str(), "wb");
        return file_;
    }
    // A name no other writer uses: process id, a counter and a retry on clash.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%u", static_cast<long>(::getpid()),
                      counter.fetch_add(1));
        std::string name = final_ + suffix;
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            // A folder that takes no new file may still hold a file we may
            // write: that one is rewritten in place.
            if (exists && (errno == EACCES || errno == EPERM)) return openInPlace();
            return nullptr;
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            int saved = errno;
            ::close(fd);
            ::unlink(name.c_str());
            errno = saved;
            return nullptr;
        }
        temp_ = name;
        return file_;
    }
    errno = EEXIST;
    return nullptr;
}

std::FILE* SafeFile::openInPlace() {
    const int refused = errno;
    int fd = ::open(final_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        errno = refused;
        return nullptr;
    }
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    sync_ = true;
    return file_;
}

bool SafeFile::commit() {
    if (!file_) return false;
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    // Devices and pipes may not sync; a file that replaces another, or a
    // regular file rewritten in place, must.
    if (ok && (sync_ || !temp_.empty())) ok = ::fsync(::fileno(file_)) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (ok && !temp_.empty()) ok = std::rename(temp_.c_str(), final_.c_str()) == 0;
    if (!ok && !temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    return ok;
}

void SafeFile::abandon() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

} // namespace qiimagefile

using namespace qiimagefile;

namespace {

constexpr uint32_t kMtiMagic = 0x4D544901;
constexpr unsigned kMtiHeaderSize = 24;
constexpr unsigned kSniffSize = 32768;
// A file larger than this is not an image we read whole (a 2^26-pixel ".mti"
// plus its header fits).
constexpr uint64_t kMaxFileSize = kMaxPixels * 8 + kMtiHeaderSize;
// A raw frame's INI sidecar holds a handful of keys.
constexpr uint64_t kMaxSidecarSize = 1 << 20;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

unsigned be16(const uint8_t* p) {
    return unsigned(p[0]) << 8 | unsigned(p[1]);
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool isPngSignature(const uint8_t* data, unsigned length) {
    static const uint8_t kSig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return length >= 8 && std::memcmp(data, kSig, 8) == 0;
}

bool isJpegStart(const uint8_t* data, unsigned length) {
    return length >= 11 && data[0] == 0xFF && data[1] == 0xD8;
}

// The fields of an ".mti" header that a reader needs, checked.
struct MtiHeader {
    uint32_t width, height, coding, bytesPerPixel, bits;
};

MtiHeader parseMtiHeader(const uint8_t* p) {
    return MtiHeader{le32(p + 4), le32(p + 8), le32(p + 12), le32(p + 16), le32(p + 20)};
}

bool mtiHeaderOk(const char* func, const MtiHeader& h) {
    if (h.coding > 1 || h.bytesPerPixel != 8 || h.bits < 1 || h.bits > 16) {
        gOutput->trace(QiOutput::Warning,
                       "%s: bad header (coding %u, %u bytes per pixel, %u bits)\n", func, h.coding,
                       h.bytesPerPixel, h.bits);
        return false;
    }
    return sizeOk(func, h.width, h.height);
}

// The black image an ".mti" header describes, with its coding; null (with a
// trace naming `func`) when the header is not one we read.
QiImage* mtiImage(const char* func, const uint8_t* header) {
    const MtiHeader h = parseMtiHeader(header);
    if (!mtiHeaderOk(func, h)) return nullptr;
    QiImage* image = newImage(func, h.width, h.height, static_cast<int>(h.bits));
    if (image) image->coding = static_cast<QiImage::PixelCoding>(h.coding);
    return image;
}

// Fills `count` pixels from little-endian 64-bit words.
void copyLe64(uint64_t* out, const uint8_t* p, size_t count) {
    for (size_t i = 0; i < count; ++i, p += 8) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; --b)
            v = v << 8 | p[b];
        out[i] = v;
    }
}

// Sidecar name: the text after the last '.' of the file name (not of a folder)
// replaced by "raw_data", or ".raw_data" appended when the name has no '.'.
std::string sidecarName(const char* path) {
    std::string s(path);
    size_t slash = s.rfind('/');
    size_t dot = s.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return s + ".raw_data";
    return s.substr(0, dot + 1) + "raw_data";
}

void copyCut(char* out, size_t size, const char* text) {
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
}

// Reads the whole file open on `fd` (of `size` bytes) into a malloc'd buffer
// and closes it; null when it cannot be read or is too large.
uint8_t* readWhole(const char* func, const char* path, int fd, uint64_t size, unsigned& length) {
    if (size > kMaxFileSize) {
        gOutput->trace(QiOutput::Warning, "%s: %s is too large (%llu bytes)\n", func, path,
                       static_cast<unsigned long long>(size));
        ::close(fd);
        return nullptr;
    }
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    long got = data ? readUpTo(func, path, fd, data, size) : -1;
    ::close(fd);
    if (got < 0) {
        std::free(data);
        return nullptr;
    }
    length = static_cast<unsigned>(got);
    return data;
}

// Says why an ".mti" file's pixels could not all be read: `got` bytes of the
// `wanted` ones, or -1 for a read error (errno set).
void mtiPixelsMissing(const char* func, const char* path, long got, uint64_t wanted) {
    if (got < 0)
        gOutput->trace(QiOutput::Warning, "%s: reading %s failed (%s)\n", func, path,
                       std::strerror(errno));
    else
        gOutput->trace(QiOutput::Warning, "%s: %s holds %ld of its %llu pixel bytes\n", func, path,
                       got, static_cast<unsigned long long>(wanted));
}

// An ".mti" file open on `fd` (of `size` bytes) read straight into its image,
// so no copy of the whole file is held beside it: as decodeMti of the whole
// file would. False, with `fd` left at an unknown offset, when the file is not
// an ".mti" one. A file whose pixels cannot all be read (cut short, or a read
// error) gives a null image: a picture with missing parts is no picture.
bool readMtiInPlace(const char* path, int fd, uint64_t size, QiImage*& image) {
    static const char* const func = "decodeMti";
    image = nullptr;
    uint8_t header[kMtiHeaderSize];
    const long got = readUpTo(func, path, fd, header, sizeof header);
    if (got < 4 || le32(header) != kMtiMagic) return false;
    if (got < static_cast<long>(kMtiHeaderSize)) {
        gOutput->trace(QiOutput::Warning, "%s: header cut short (%ld bytes)\n", func, got);
        return true;
    }
    image = mtiImage(func, header);
    if (!image) return true;
    const size_t wanted = size_t(image->width) * image->height * 8;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(image->pixels);
    // A file shorter than its pixels is not read on; one that shrinks after
    // its size was taken is caught by the read.
    const long read = size - kMtiHeaderSize >= wanted ? readUpTo(func, path, fd, bytes, wanted)
                                                      : static_cast<long>(size - kMtiHeaderSize);
    if (read != static_cast<long>(wanted)) {
        mtiPixelsMissing(func, path, read, wanted);
        delete image;
        image = nullptr;
        return true;
    }
    // Each word is turned in place.
    copyLe64(image->pixels, bytes, wanted / 8);
    return true;
}

QiImage* decodeByContent(const char* name, const uint8_t* data, unsigned length, int bits) {
    if (length >= 4 && le32(data) == kMtiMagic) return QiImage::decodeMti(data, length);
    if (isPngSignature(data, length)) return QiImage::decodePng(data, length, bits);
    if (isJpegStart(data, length)) return loadJpg(nullptr, data, length, bits);
    QiImage::RawInfo info;
    if (!QiImage::rawInfo(name, info)) return nullptr;
    return QiImage::decodeRaw(data, length, info, bits);
}

} // namespace

bool QiImage::fileInfo(const char* path, unsigned& width, unsigned& height, PixelCoding& coding) {
    coding = RGB;
    // An empty file holds no image: skipped like any other unknown content.
    uint64_t size = 0;
    int fd = openForReading(__func__, path, size, true);
    if (fd < 0) return false;
    uint8_t* head = static_cast<uint8_t*>(std::malloc(kSniffSize));
    long read = head ? readUpTo(__func__, path, fd, head, kSniffSize) : -1;
    ::close(fd);
    if (read < 0) {
        std::free(head);
        return false;
    }
    unsigned got = static_cast<unsigned>(read);
    bool found = identifyMti(head, got, width, height) || identifyPng(head, got, width, height) ||
                 identifyJpeg(head, got, width, height);
    std::free(head);
    return found || identifyRaw(path, width, height, coding);
}

QiImage* QiImage::readFile(const char* base, int bits) {
    if (!base) return nullptr;
    static const char* const kOrder[] = {".mti", ".png", ".jpg", ".jpeg", ".raw", ".yuv", ""};
    for (const char* suffix : kOrder) {
        std::string name = std::string(base) + suffix;
        uint64_t size = 0;
        int fd = openForReading(__func__, name.c_str(), size);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) continue;
            return nullptr; // it exists but is no file we read
        }
        // The largest files are ".mti" ones: read into their image directly.
        QiImage* image = nullptr;
        if (size <= kMaxFileSize && readMtiInPlace(name.c_str(), fd, size, image)) {
            ::close(fd);
            return image;
        }
        if (::lseek(fd, 0, SEEK_SET) != 0) {
            ::close(fd);
            return nullptr;
        }
        unsigned length = 0;
        uint8_t* data = readWhole(__func__, name.c_str(), fd, size, length);
        if (!data) return nullptr;
        image = decodeByContent(name.c_str(), data, length, bits);
        std::free(data);
        return image;
    }
    return nullptr;
}

bool QiImage::identifyMti(uint8_t* data, unsigned length, unsigned& width, unsigned& height) {
    if (!data || length < 12 || le32(data) != kMtiMagic) return false;
    width = le32(data + 4);
    height = le32(data + 8);
    return true;
}

bool QiImage::identifyPng(uint8_t* data, unsigned length, unsigned& width, unsigned& height) {
    if (!data || length < 24 || !isPngSignature(data, length)) return false;
    width = be32(data + 16);
    height = be32(data + 20);
    return true;
}

bool QiImage::identifyJpeg(uint8_t* data, unsigned length, unsigned& width, unsigned& height) {
    if (!data || !isJpegStart(data, length)) return false;
    // Walks the marker segments up to the baseline start of frame (C0).
    unsigned pos = 2;
    while (pos < length - 8) {
        if (data[pos] != 0xFF) {
            ++pos;
            continue;
        }
        if (data[pos + 1] == 0xC0) {
            height = be16(data + pos + 5);
            width = be16(data + pos + 7);
            return true;
        }
        pos += be16(data + pos + 2) + 2;
    }
    return false;
}

bool QiImage::identifyRaw(const char* path, unsigned& width, unsigned& height,
                          PixelCoding& coding) {
    RawInfo info;
    if (!rawInfo(path, info)) return false;
    width = info.width;
    height = info.height;
    coding = qi::equalsNoCase(info.fourCC, "RGB32") || qi::equalsNoCase(info.fourCC, "RGB24")
                 ? RGB
                 : YCbCr;
    return true;
}

QiImage* QiImage::decodeMti(const uint8_t* data, unsigned length) {
    if (!data || length < kMtiHeaderSize || le32(data) != kMtiMagic) {
        if (data && length >= 4 && le32(data) == kMtiMagic)
            gOutput->trace(QiOutput::Warning, "%s: header cut short (%u bytes)\n", __func__,
                           length);
        return nullptr;
    }
    QiImage* image = mtiImage(__func__, data);
    if (!image) return nullptr;
    const size_t count = size_t(image->width) * image->height;
    if ((length - kMtiHeaderSize) / 8 < count) {
        mtiPixelsMissing(__func__, "the data", static_cast<long>(length - kMtiHeaderSize),
                         uint64_t(count) * 8);
        delete image;
        return nullptr;
    }
    copyLe64(image->pixels, data + kMtiHeaderSize, count);
    return image;
}

bool mtiInfo(std::FILE* file, unsigned& width, unsigned& height) {
    uint8_t header[kMtiHeaderSize];
    if (!file || std::fread(header, 1, sizeof header, file) != sizeof header) return false;
    if (le32(header) != kMtiMagic) return false;
    width = le32(header + 4);
    height = le32(header + 8);
    return true;
}

QiImage* QiImage::readMti(const char* path) {
    std::FILE* f = fopenForReading(__func__, path);
    if (!f) return nullptr;
    uint8_t header[kMtiHeaderSize];
    QiImage* image = nullptr;
    if (std::fread(header, 1, sizeof header, f) == sizeof header && le32(header) == kMtiMagic) {
        image = mtiImage(__func__, header);
        if (image) {
            // Row by row; a file whose pixels cannot all be read gives null.
            const size_t w = static_cast<size_t>(image->width);
            uint8_t* row = static_cast<uint8_t*>(std::malloc(w * 8));
            size_t held = 0;
            for (int y = 0; row && y < image->height; ++y) {
                size_t got = std::fread(row, 8, w, f);
                copyLe64(image->pixels + size_t(y) * w, row, got);
                held += got;
                if (got < w) break;
            }
            std::free(row);
            const size_t count = w * image->height;
            if (held < count) {
                mtiPixelsMissing(__func__, path, std::ferror(f) ? -1 : static_cast<long>(held * 8),
                                 uint64_t(count) * 8);
                delete image;
                image = nullptr;
            }
        }
    }
    std::fclose(f);
    return image;
}

bool QiImage::writeMti(const char* path) {
    SafeFile out;
    std::FILE* f = out.open(path);
    if (!f) return false; // as for a missing file, no trace
    uint8_t header[kMtiHeaderSize];
    putLe32(header, kMtiMagic);
    putLe32(header + 4, static_cast<uint32_t>(width));
    putLe32(header + 8, static_cast<uint32_t>(height));
    putLe32(header + 12, static_cast<uint32_t>(coding));
    putLe32(header + 16, 8);
    putLe32(header + 20, static_cast<uint32_t>(bits));
    bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
    // Little-endian words, one row at a time.
    uint8_t* row = static_cast<uint8_t*>(std::malloc(size_t(width) * 8 + 1));
    ok = ok && row;
    for (int y = 0; ok && y < height; ++y) {
        const uint64_t* src = pixels + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x)
            for (int b = 0; b < 8; ++b)
                row[size_t(x) * 8 + b] = static_cast<uint8_t>(src[x] >> (8 * b));
        ok = std::fwrite(row, 8, size_t(width), f) == size_t(width);
    }
    std::free(row);
    if (ok && out.commit()) return true;
    gOutput->trace(QiOutput::Warning, "%s: writing %s failed\n", __func__, path);
    return false;
}

bool QiImage::rawInfo(const char* path, RawInfo& info) {
    if (!path) return false;
    std::string sidecar = sidecarName(path);
    if (sidecar == path) return false;
    CSimpleIniA ini(false, false, false); // sections and keys in any case
    // Read like an image file, so that a sidecar that is a FIFO or a device
    // cannot hold up a scan; a missing one is the common case and silent.
    uint64_t size = 0;
    int fd = openForReading("rawInfo", sidecar.c_str(), size, true);
    if (fd < 0) return false;
    if (size > kMaxSidecarSize) {
        ::close(fd);
        gOutput->trace(QiOutput::Warning, "%s: %s is too large (%llu bytes)\n", "rawInfo",
                       sidecar.c_str(), static_cast<unsigned long long>(size));
        return false;
    }
    std::string content(static_cast<size_t>(size), '\0');
    long got = readUpTo("rawInfo", sidecar.c_str(), fd, reinterpret_cast<uint8_t*>(&content[0]),
                        content.size());
    ::close(fd);
    if (got < 0 || ini.LoadData(content.data(), static_cast<size_t>(got)) < 0) return false;
    const char* kSection = "RawData";
    auto dimension = [&](const char* key, uint32_t& field) {
        const char* v = ini.GetValue(kSection, key, nullptr);
        if (!v) return;
        long n = qi::strtolC(v, nullptr, 0);
        if (n < 0 || static_cast<unsigned long>(n) > 0xFFFFFFFFul) {
            gOutput->trace(QiOutput::Warning, "%s: %s '%s' out of range in %s\n", "rawInfo", key, v,
                           sidecar.c_str());
            n = 0;
        }
        field = static_cast<uint32_t>(n);
    };
    auto text = [&](const char* key, char* field, size_t size) {
        if (const char* v = ini.GetValue(kSection, key, nullptr)) copyCut(field, size, v);
    };
    auto flag = [&](const char* key, bool& field) {
        if (const char* v = ini.GetValue(kSection, key, nullptr))
            field = qi::equalsNoCase(v, "true");
    };
    dimension("Width", info.width);
    dimension("Height", info.height);
    text("FourCC", info.fourCC, sizeof info.fourCC);
    flag("Interlaced", info.interlaced);
    flag("TopDown", info.topDown);
    text("Colorspace", info.colorspace, sizeof info.colorspace);
    text("Levels", info.levels, sizeof info.levels);
    text("PixelAspect", info.pixelAspect, sizeof info.pixelAspect);
    return info.width != 0 && info.height != 0;
}

QiImage* QiImage::decodeRaw(const uint8_t* data, unsigned length, RawInfo& info, int bits) {
    enum Layout { Yuy2, Uyvy, Rgb24, Rgb32, Ayuv, Unknown };
    const char* f = info.fourCC;
    Layout layout = qi::equalsNoCase(f, "YUY2")    ? Yuy2
                    : qi::equalsNoCase(f, "UYVY")  ? Uyvy
                    : qi::equalsNoCase(f, "RGB24") ? Rgb24
                    : qi::equalsNoCase(f, "RGB32") ? Rgb32
                    : qi::equalsNoCase(f, "AYUV")  ? Ayuv
                                                   : Unknown;
    if (layout == Unknown) {
        gOutput->trace(QiOutput::Warning, "%s: unsupported FourCC '%s'\n", "decodeRaw", f);
        return nullptr;
    }
    if (!bitsOk(__func__, bits)) return nullptr;
    QiImage* image = newImage(__func__, info.width, info.height, bits);
    if (!image) return nullptr;
    const int s = bits - 8;
    const size_t w = info.width;
    auto pack = [&](unsigned c0, unsigned c1, unsigned c2) {
        return uint64_t(c0) << (s + 2 * bits) | uint64_t(c1) << (s + bits) | uint64_t(c2) << s;
    };
    if (layout == Yuy2 || layout == Uyvy) {
        // 4:2:2 in the YCbCr layout: c0 the chroma sample (Cb on even columns,
        // Cr on odd), c1 luma. A row of odd width ends in a whole 4-byte group.
        image->coding = YCbCr;
        const int y0 = layout == Yuy2 ? 0 : 1, u = layout == Yuy2 ? 1 : 0;
        const unsigned rowBytes = static_cast<unsigned>((w + 1) / 2 * 4);
        for (size_t y = 0; y < info.height; ++y) {
            size_t start = y * rowBytes;
            if (start >= length) break;
            uint64_t* out = image->pixels + y * w;
            for (size_t x = 0; x < w && start + x * 2 + 4 <= length; x += 2) {
                const uint8_t* p = data + start + x * 2;
                out[x] = pack(p[u], p[y0], 0);
                if (x + 1 < w) out[x + 1] = pack(p[u + 2], p[y0 + 2], 0);
            }
        }
    } else if (layout == Rgb24 || layout == Rgb32) {
        const size_t step = layout == Rgb24 ? 3 : 4;
        size_t count = std::min(size_t(length) / step, w * info.height);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = data + i * step;
            image->pixels[i] = pack(p[2], p[1], p[0]);
        }
    }
    // "AYUV" is accepted but its samples are not decoded: the image stays black.
    return image;
}

QiImage* QiImage::readRaw(const char* path, int bits) {
    RawInfo info;
    if (!rawInfo(path, info)) return nullptr;
    if (!sizeOk(__func__, info.width, info.height)) return nullptr;
    uint64_t size = 0;
    std::FILE* f = fopenForReading(__func__, path, &size);
    if (!f) return nullptr;
    size_t want = size_t(info.width) * info.height * 4;
    // No larger a buffer than the file can fill.
    if (size < want) want = size_t(size);
    uint8_t* data = static_cast<uint8_t*>(std::malloc(want ? want : 1));
    QiImage* image = nullptr;
    if (data) {
        size_t got = std::fread(data, 1, want, f);
        image = decodeRaw(data, static_cast<unsigned>(got), info, bits);
    }
    std::free(data);
    std::fclose(f);
    return image;
}
