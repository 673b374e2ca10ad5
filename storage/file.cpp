#include "storage/file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace vorn {
namespace {

[[noreturn]] void throwErrno() {
    throw std::system_error(errno, std::system_category());
}

}  // namespace

File::~File() {
    if (fd_ != -1)
        ::close(fd_);
}

void File::open(const std::string& path, int flags) {
    if (isOpen()) {
        try {
            close();
        } catch (const std::exception&) {
            // The old descriptor is gone either way; the new path is what matters.
        }
    }
    path_ = path;
    // Never creates a file: O_CREAT without a mode would take an undefined mode.
    const int fd = ::open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC);
    if (fd == -1)
        throwErrno();
    fd_ = fd;
}

void File::close() {
    if (fd_ == -1)
        return;
    const int rc = ::close(fd_);
    // Linux releases the descriptor even when close fails, so it is never retried.
    fd_ = -1;
    if (rc == -1)
        throwErrno();
}

off_t File::seek(off_t offset, int whence) {
    const off_t pos = ::lseek(fd_, offset, whence);
    if (pos == -1)
        throwErrno();
    return pos;
}

off_t File::tell() {
    return seek(0, SEEK_CUR);
}

uint64_t File::size() {
    return static_cast<uint64_t>(seek(0, SEEK_END));
}

uint32_t File::read(void* buffer, uint32_t count) {
    ssize_t n;
    do {
        n = ::read(fd_, buffer, count);
    } while (n == -1 && errno == EINTR);
    if (n == -1)
        throwErrno();
    return static_cast<uint32_t>(n);
}

uint32_t File::pread(void* buffer, uint32_t count, uint64_t offset) {
    ssize_t n;
    do {
        n = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
    } while (n == -1 && errno == EINTR);
    if (n == -1)
        throwErrno();
    return static_cast<uint32_t>(n);
}

void File::write(const void* buffer, uint32_t count) {
    ssize_t n;
    do {
        n = ::write(fd_, buffer, count);
    } while (n == -1 && errno == EINTR);
    if (n == -1)
        throwErrno();
    if (static_cast<uint64_t>(n) != count)
        throw std::runtime_error(
            fmt::format("write '{}' tried to write {} bytes, but wrote {} bytes", path_, count, n));
}

void File::pwrite(const void* buffer, uint32_t count, uint64_t offset) {
    ssize_t n;
    do {
        n = ::pwrite(fd_, buffer, count, static_cast<off_t>(offset));
    } while (n == -1 && errno == EINTR);
    if (n == -1)
        throwErrno();
    if (static_cast<uint64_t>(n) != count)
        throw std::runtime_error(fmt::format(
            "pwrite '{}' tried to write {} bytes, but wrote {} bytes", path_, count, n));
}

}  // namespace vorn
