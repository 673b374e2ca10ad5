#include "export/output_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace vorn {

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::create(const std::string& finalPath) {
    discard();
    finalPath_ = finalPath;
    temporaryPath_ = finalPath + ".tmp";
    // Registered before it exists, so that no moment passes in which a signal could end the
    // process and leave the file behind.
    temporary_.track(temporaryPath_);
    fd_ = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0)
        fail("cannot create", errno);
    temporary_.created();
}

void OutputFile::write(const void* bytes, size_t n) {
    if (fd_ < 0)
        throw std::runtime_error(fmt::format("file \"{}\" is not open", temporaryPath_));
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        const ssize_t done = ::write(fd_, p, n);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write to", errno);
        }
        if (done == 0)
            fail("cannot write to", ENOSPC);
        p += done;
        n -= static_cast<size_t>(done);
    }
}

void OutputFile::commit() {
    if (fd_ < 0)
        throw std::runtime_error(fmt::format("file \"{}\" is not open", temporaryPath_));
    const int fd = fd_;
    fd_ = -1;
    // A delayed write error (NFS, quota) shows only here.
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporaryPath_.c_str());
        temporary_.forget();
        fail("cannot close", error);
    }
    if (::rename(temporaryPath_.c_str(), finalPath_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporaryPath_.c_str());
        temporary_.forget();
        throw std::runtime_error(fmt::format("cannot rename file \"{}\" to \"{}\": {}",
                                             temporaryPath_, finalPath_,
                                             std::generic_category().message(error)));
    }
    temporary_.forget();
}

void OutputFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(temporaryPath_.c_str());
    }
    temporary_.forget();
}

void OutputFile::fail(const char* what, int error) {
    discard();
    throw std::runtime_error(fmt::format("{} file \"{}\": {}", what, temporaryPath_,
                                         std::generic_category().message(error)));
}

void writeWholeFile(const std::string& path, const std::string& text) {
    OutputFile file;
    file.create(path);
    file.write(text.data(), text.size());
    file.commit();
}

}  // namespace vorn
