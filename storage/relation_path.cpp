#include "storage/relation_path.h"

#include <fmt/format.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "storage/storage_settings.h"
#include "storage/table.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDefaultTablespace = 1663;  // pg_default: base/<db>
constexpr uint32_t kGlobalTablespace = 1664;   // pg_global: global/
constexpr std::string_view kVersionDirPrefix = "PG_";

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);  // follows symbolic links, as pg_tblspc/<oid> is one
}

// The start of the version directory's name written by the configured server:
// "PG_<major>_" from version 10 on, "PG_<major>.<minor>_" before.
std::string versionDirPrefix() {
    if (serverVersion.major >= 10)
        return fmt::format("{}{}_", kVersionDirPrefix, serverVersion.major);
    return fmt::format("{}{}.{}_", kVersionDirPrefix, serverVersion.major, serverVersion.minor);
}

// The segment number of `name` for file node `base`: 0 for the bare name, n for "<base>.<n>"
// with an all-digit n of at least 1; nothing for other forks ("_fsm", "_vm", "_init"), copies
// ("16384.1.bak") and anything else.
std::optional<uint32_t> segmentNumber(std::string_view name, std::string_view base) {
    if (name == base)
        return 0;
    if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base ||
        name[base.size()] != '.')
        return std::nullopt;
    const std::string_view rest = name.substr(base.size() + 1);
    uint32_t n = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    if (ec != std::errc() || end != rest.data() + rest.size() || n == 0)
        return std::nullopt;  // not all digits, too large for a segment, or ".0"
    return n;
}

}  // namespace

std::string relationDirectory(const PgClass& relation) {
    if (relation.dboid == 0)
        return fmt::format("{}/global", dataDirectory);
    // reltablespace 0 means the database's default, which need not be pg_default.
    const uint32_t tablespace =
        relation.reltablespace != 0 ? relation.reltablespace : relation.dbTablespace;
    if (tablespace == 0 || tablespace == kDefaultTablespace)
        return fmt::format("{}/base/{}", dataDirectory, relation.dboid);
    if (tablespace == kGlobalTablespace)
        return fmt::format("{}/global", dataDirectory);
    return fmt::format("{}/pg_tblspc/{}/{}/{}", dataDirectory, tablespace,
                       tablespacePath(tablespace), relation.dboid);
}

std::string tablespacePath(uint32_t tablespaceOid) {
    const fs::path dir = fmt::format("{}/pg_tblspc/{}", dataDirectory, tablespaceOid);
    if (!isDirectory(dir))
        return std::string(kVersionDirPrefix);
    // A tablespace used by several server versions (an upgrade) holds one directory for each;
    // the configured version's wins, else the first by name, so the choice is repeatable.
    std::vector<std::string> candidates;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(kVersionDirPrefix) && isDirectory(entry.path()))
            candidates.push_back(name);
    }
    if (candidates.empty())
        return std::string(kVersionDirPrefix);
    std::sort(candidates.begin(), candidates.end());
    const std::string wanted = versionDirPrefix();
    for (const std::string& name : candidates)
        if (name.starts_with(wanted))
            return name;
    return candidates.front();
}

uint32_t listSegmentFiles(const std::string& directory, uint32_t fileNode,
                          std::vector<SegmentFile>& segments) {
    if (!isDirectory(directory))
        return static_cast<uint32_t>(segments.size());
    const std::string base = std::to_string(fileNode);
    std::vector<SegmentFile> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::optional<uint32_t> number =
            segmentNumber(entry.path().filename().string(), base);
        if (!number)
            continue;
        std::error_code ec;
        if (!fs::is_regular_file(entry.path(), ec))
            continue;
        const uintmax_t size = fs::file_size(entry.path(), ec);
        if (ec)
            continue;
        found.push_back({*number, static_cast<uint64_t>(size)});
    }
    std::sort(found.begin(), found.end(),
              [](const SegmentFile& a, const SegmentFile& b) { return a.number < b.number; });
    // "16384.1" beside "16384.01": two files claim one segment and either may be stale.
    for (size_t i = 1; i < found.size(); ++i)
        if (found[i].number == found[i - 1].number)
            throw std::runtime_error(
                fmt::format("directory \"{}\" holds two files for segment {} of file node {}",
                            directory, found[i].number, fileNode));
    segments.insert(segments.end(), found.begin(), found.end());
    return static_cast<uint32_t>(segments.size());
}

std::string missingFirstSegment(const std::string& directory, uint32_t fileNode,
                                const std::vector<SegmentFile>& segments) {
    if (!segments.empty() && segments.front().number == 0)
        return "";
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0)
        return fmt::format("directory \"{}\" cannot be read: {}", directory, std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return fmt::format("\"{}\" is not a directory", directory);
    const std::string path = segmentPath(directory, fileNode, 0);
    if (::stat(path.c_str(), &st) != 0)
        return fmt::format("file \"{}\" cannot be read: {}", path, std::strerror(errno));
    return fmt::format("file \"{}\" is not a regular file", path);
}

void dropEmptyTail(std::vector<SegmentFile>& segments) {
    while (segments.size() > 1 && segments.back().size == 0)
        segments.pop_back();
}

bool hasInitFork(const std::string& directory, uint32_t fileNode) {
    std::error_code ec;
    return std::filesystem::is_regular_file(fmt::format("{}/{}_init", directory, fileNode), ec);
}

uint64_t fullSegmentBlocks(const std::vector<SegmentFile>& segments, uint32_t blockSize) {
    constexpr uint64_t kDefaultSegmentBytes = uint64_t{1} << 30;
    uint64_t bytes = kDefaultSegmentBytes;
    for (size_t i = 0; i + 1 < segments.size(); ++i)
        bytes = std::max(bytes, segments[i].size);
    return blockSize != 0 ? bytes / blockSize : 0;
}

std::string segmentPath(const std::string& directory, uint32_t fileNode, uint32_t segment) {
    if (segment == 0)
        return fmt::format("{}/{}", directory, fileNode);
    return fmt::format("{}/{}.{}", directory, fileNode, segment);
}

namespace {
// Set once, before any unload starts, by the dictionary; read by worker threads afterwards.
SchemaNameResolver schemaNameResolver = nullptr;
}  // namespace

void setSchemaNameResolver(SchemaNameResolver resolver) {
    schemaNameResolver = resolver;
}

std::string tableSchemaName(const PgClass& relation) {
    if (schemaNameResolver != nullptr)
        return schemaNameResolver(relation);
    return relation.relnamespace == 0 ? "public" : "";
}

}  // namespace vorn
