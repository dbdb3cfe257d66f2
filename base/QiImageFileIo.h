// Helpers shared by the image-file readers and writers (not part of the public
// interface of QiImage).
#pragma once

#include "QiImage.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace qiimagefile {

// Largest image a file may describe: a side of 65535 (the JPEG limit) and 2^26
// pixels (8192 x 8192, 512 MiB of 64-bit pixels). Larger headers are refused
// before anything is allocated.
constexpr uint64_t kMaxSide = 65535;
constexpr uint64_t kMaxPixels = uint64_t(1) << 26;

// True when width x height is a size we build; otherwise a Warning trace that
// names `func`, and false.
bool sizeOk(const char* func, uint64_t width, uint64_t height);

// True for the component depths the decoders build (8 to 16); otherwise a
// Warning trace and false.
bool bitsOk(const char* func, int bits);

// A new black image, or null (with a trace) when the size is refused or the
// memory cannot be had.
QiImage* newImage(const char* func, uint64_t width, uint64_t height, int bits);

// One component of `bits` bits as an 8-bit sample.
inline uint8_t to8(int c, int bits) {
    return static_cast<uint8_t>(bits >= 8 ? c >> (bits - 8) : c << (8 - bits));
}

// Opens `path` for reading without ever waiting on it: the file is opened
// non-blocking, and anything that is not a regular file (a FIFO, a device, a
// folder) is refused after fstat with a Warning naming `func`, as is a regular
// file of size 0 (silently when `quietEmpty`). Returns the descriptor and the
// file's size, or -1 with errno set (ENOENT when nothing has that name).
int openForReading(const char* func, const char* path, uint64_t& size, bool quietEmpty = false);
// The same as a stdio stream opened "rb"; null when refused.
std::FILE* fopenForReading(const char* func, const char* path, uint64_t* size = nullptr);
// Reads up to `length` bytes from `fd`, stopping at the end of the file.
// Returns the count read, or -1 when a read fails; a read that would have to
// wait fails with a Warning naming `func` and `path`.
long readUpTo(const char* func, const char* path, int fd, uint8_t* data, size_t length);

// Writes a file so that its final name only ever holds a complete file: the
// data goes to a fresh temporary name in the same folder, which `commit`
// renames over the final name once everything is flushed and synced. A
// symbolic link is followed first, so its target is replaced and the link
// stays. A path that names an existing file other than a regular one (a
// device such as /dev/full, a pipe) is written in place, since it cannot be
// replaced; so is an existing regular file in a folder that refuses the
// temporary file, when the file itself may be written.
class SafeFile {
public:
    SafeFile() = default;
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;
    ~SafeFile() { abandon(); }

    // Null (errno set) when the file cannot be created.
    std::FILE* open(const char* path);
    // Flushes, syncs, closes and renames; false (temporary removed) when any
    // step fails.
    bool commit();
    // Closes and removes the temporary; the final name is untouched.
    void abandon();

private:
    std::FILE* openInPlace();

    std::FILE* file_ = nullptr;
    std::string final_;
    std::string temp_;  // empty when writing in place
    bool sync_ = false; // a regular file written in place is synced too
};

} // namespace qiimagefile
