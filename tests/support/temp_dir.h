#pragma once

#include <string>

namespace vorn::test {

// A fresh directory under the system's temporary folder, removed with everything in it
// when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `content` to `relative` below the directory, creating parent folders.
    void writeFile(const std::string& relative, const std::string& content) const;
    // Reads a whole file below the directory; empty when it does not exist.
    std::string readFile(const std::string& relative) const;

  private:
    std::string path_;
};

// A copy of the tree `from` at `to` made of folders and symbolic links to its files (links to
// folders are followed), so that a test can take one file away or replace it without
// touching the original.
void linkFarm(const std::string& from, const std::string& to);

// Changes the working directory for the lifetime of the object and changes it back after.
// Much of vorn works relative to the working directory (conf/, log/, dict/, dump/).
class ScopedWorkingDir {
  public:
    explicit ScopedWorkingDir(const std::string& dir);
    ~ScopedWorkingDir();
    ScopedWorkingDir(const ScopedWorkingDir&) = delete;
    ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

  private:
    std::string previous_;
};

}  // namespace vorn::test
