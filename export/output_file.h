#pragma once

// One file of an export, written under a temporary name beside its final one
// ("<final>.tmp") and renamed to the final name only by commit(). A file whose writer fails
// or is destroyed before commit() is removed, so a file under its final name is always
// whole: a reader of the export directory never takes a cut-off table for a complete one.
//
// Writes go straight to write(2), in the large chunks the writers collect; every failure
// (cannot create, short write, full disk, close, rename) throws std::runtime_error naming
// the file and the system's message.
//
// The temporary file is in the registry of base/temp_file_registry.h from before it is
// created until it is renamed or removed, so that a signal ending the process removes it too.

#include <cstddef>
#include <string>

#include "base/temp_file_registry.h"

namespace vorn {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates (or truncates) the temporary file of `finalPath`.
    void create(const std::string& finalPath);
    bool isOpen() const { return fd_ >= 0; }
    // All `n` bytes, or an exception.
    void write(const void* bytes, size_t n);
    // Closes the file and gives it its final name.
    void commit();
    // Closes and removes the temporary file; nothing when none is open.
    void discard() noexcept;

    const std::string& finalPath() const { return finalPath_; }
    const std::string& temporaryPath() const { return temporaryPath_; }

  private:
    [[noreturn]] void fail(const char* what, int error);

    int fd_ = -1;
    std::string finalPath_;
    std::string temporaryPath_;
    TempFileEntry temporary_;
};

// Writes `text` as the whole file `path` through an OutputFile.
void writeWholeFile(const std::string& path, const std::string& text);

}  // namespace vorn
