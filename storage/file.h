#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

namespace vorn {

// Owner of one POSIX file descriptor; every failing system call becomes std::system_error.
class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return fd_ != -1; }
    // Closes an open descriptor first; never creates a file.
    void open(const std::string& path, int flags);
    void close();
    off_t seek(off_t offset, int whence);
    off_t tell();
    uint64_t size();  // leaves the position at the end
    uint32_t read(void* buffer, uint32_t count);
    uint32_t pread(void* buffer, uint32_t count, uint64_t offset);
    void write(const void* buffer, uint32_t count);
    void pwrite(const void* buffer, uint32_t count, uint64_t offset);

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace vorn
