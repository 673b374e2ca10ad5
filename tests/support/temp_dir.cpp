#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = boost::filesystem;

namespace vorn::test {

TempDir::TempDir() {
    fs::path p = fs::temp_directory_path() / fs::unique_path("vorn-test-%%%%-%%%%-%%%%");
    fs::create_directories(p);
    path_ = p.string();
}

TempDir::~TempDir() {
    boost::system::error_code ec;
    fs::remove_all(path_, ec);
}

void TempDir::writeFile(const std::string& relative, const std::string& content) const {
    fs::path p = fs::path(path_) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream out(p.string(), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

std::string TempDir::readFile(const std::string& relative) const {
    std::ifstream in((fs::path(path_) / relative).string(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ScopedWorkingDir::ScopedWorkingDir(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) == nullptr)
        throw std::system_error(errno, std::generic_category());
    previous_ = buf;
    if (chdir(dir.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), dir);
}

ScopedWorkingDir::~ScopedWorkingDir() {
    if (chdir(previous_.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the next test starts from wherever we are.
    }
}

void linkFarm(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const fs::directory_entry& e : fs::directory_iterator(from)) {
        const fs::path target = fs::path(to) / e.path().filename();
        if (fs::is_directory(e.path()))
            linkFarm(e.path().string(), target.string());
        else
            fs::create_symlink(fs::canonical(e.path()), target);
    }
}

}  // namespace vorn::test
