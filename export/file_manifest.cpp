#include "export/file_manifest.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "export/output_file.h"

namespace vorn {

namespace {

constexpr const char* kHeader =
    "# vorn: the object each file name of this directory belongs to; a later unload keeps\n"
    "# other objects off these names. kind<TAB>database OID<TAB>object OID<TAB>name\n";

std::string manifestPath(const std::string& directory) {
    return directory.empty() ? std::string(kFileManifestName) : directory + "/" + kFileManifestName;
}

// A decimal OID: digits only, no sign or blank, within 32 bits.
bool parseOid(std::string_view text, uint32_t& out) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, out);
    return error == std::errc() && at == end;
}

// A name as safeFileName makes it: not empty, no '/', no control byte.
bool validName(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '/' || b < 0x20 || b == 0x7F)
            return false;
    }
    return true;
}

}  // namespace

const char* fileOwnerKindName(FileOwnerKind kind) {
    return kind == FileOwnerKind::kSchema ? "schema" : "table";
}

std::optional<ManifestEntry> parseManifestLine(std::string_view line, std::string* reason) {
    auto fail = [&](const char* why) -> std::optional<ManifestEntry> {
        if (reason != nullptr)
            *reason = why;
        return std::nullopt;
    };
    std::string_view fields[3];
    for (std::string_view& field : fields) {
        const size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            return fail("fewer than four tab-separated fields");
        field = line.substr(0, tab);
        line.remove_prefix(tab + 1);
    }
    ManifestEntry entry;
    if (fields[0] == "table")
        entry.owner.kind = FileOwnerKind::kTable;
    else if (fields[0] == "schema")
        entry.owner.kind = FileOwnerKind::kSchema;
    else
        return fail("the kind is neither \"table\" nor \"schema\"");
    if (!parseOid(fields[1], entry.owner.databaseOid))
        return fail("the database OID is no number of 32 bits");
    if (!parseOid(fields[2], entry.owner.objectOid))
        return fail("the object OID is no number of 32 bits");
    if (!validName(line))
        return fail("the name is empty or holds a '/' or a control character");
    entry.name = std::string(line);
    return entry;
}

std::string formatManifestLine(const ManifestEntry& entry) {
    return fmt::format("{}\t{}\t{}\t{}\n", fileOwnerKindName(entry.owner.kind),
                       entry.owner.databaseOid, entry.owner.objectOid, entry.name);
}

ManifestContents readFileManifest(const std::string& directory) {
    ManifestContents contents;
    const std::string path = manifestPath(directory);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code error;
        if (std::filesystem::exists(path, error))
            contents.problems.push_back(fmt::format("cannot open \"{}\"", path));
        return contents;
    }
    contents.exists = true;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        contents.problems.push_back(fmt::format("cannot read \"{}\"", path));
        return contents;
    }
    const std::string text = buffer.str();
    contents.endsWithLineEnd = text.empty() || text.back() == '\n';
    size_t start = 0;
    for (size_t number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        const bool whole = end < text.size();
        start = end + 1;
        if (line.empty() || line.front() == '#')
            continue;
        // Each line is written with its line end in one write: without it, it may be cut
        // anywhere, also in a way that still parses.
        if (!whole) {
            contents.problems.push_back(
                fmt::format("line {}: cut off before its line end", number));
            continue;
        }
        std::string reason;
        if (std::optional<ManifestEntry> entry = parseManifestLine(line, &reason))
            contents.entries.push_back(std::move(*entry));
        else
            contents.problems.push_back(fmt::format("line {}: {}", number, reason));
    }
    return contents;
}

void appendFileManifest(const std::string& directory, const ManifestEntry& entry,
                        bool newLineFirst) {
    const std::string path = manifestPath(directory);
    std::string line = formatManifestLine(entry);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            throw std::runtime_error(fmt::format("cannot open file \"{}\": {}", path,
                                                 std::generic_category().message(errno)));
        writeWholeFile(path, kHeader + line);
        return;
    }
    if (newLineFirst)
        line.insert(line.begin(), '\n');
    // One write: a line is never interleaved with another process's, and a stop can cut
    // only this last line.
    const ssize_t done = ::write(fd, line.data(), line.size());
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (done < 0 || static_cast<size_t>(done) != line.size())
        throw std::runtime_error(
            fmt::format("cannot write to file \"{}\": {}", path,
                        std::generic_category().message(done < 0 ? writeError : ENOSPC)));
    if (!closed)
        throw std::runtime_error(fmt::format("cannot close file \"{}\": {}", path,
                                             std::generic_category().message(closeError)));
}

}  // namespace vorn
