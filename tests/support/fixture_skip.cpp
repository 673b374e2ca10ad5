#include "tests/support/fixture_skip.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

namespace fs = std::filesystem;

namespace vorn::test {

namespace {

// How to build one label's fixture: ctest in this build folder runs the builder into the
// cache the build was configured with (VORN_FIXTURE_CACHE), where VORN_FIXTURES must point.
std::string howToBuild(const std::string& label) {
    return std::string("run ctest --test-dir ") + VORN_TEST_BUILD_DIR + " -R '^fixture_build_" +
           label + "$' and set VORN_FIXTURES=" + VORN_TEST_FIXTURE_CACHE;
}

}  // namespace

std::optional<std::string> fixtureMissing(const std::string& label) {
    const char* cache = std::getenv("VORN_FIXTURES");
    if (cache == nullptr || *cache == '\0')
        return "fixture " + label + " not available: VORN_FIXTURES is not set; " +
               howToBuild(label);
    const fs::path pathFile = fs::path(cache) / (label + ".path");
    std::ifstream in(pathFile);
    std::string dir;
    if (!std::getline(in, dir) || dir.empty())
        return "fixture " + label + " not built: $VORN_FIXTURES/" + label + ".path missing (" +
               pathFile.string() + "); " + howToBuild(label);
    std::error_code error;
    if (!fs::is_regular_file(fs::path(dir) / "manifest.json", error))
        return "fixture " + label + " not built: " + pathFile.string() + " names " + dir +
               ", which holds no manifest.json; " + howToBuild(label);
    return std::nullopt;
}

const FixtureManifest& sharedFixture(const std::string& label) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<const FixtureManifest>> loaded;
    const std::lock_guard<std::mutex> lock(mutex);
    auto it = loaded.find(label);
    if (it == loaded.end())
        it = loaded.emplace(label, std::make_unique<const FixtureManifest>(loadFixture(label)))
                 .first;
    return *it->second;
}

}  // namespace vorn::test
