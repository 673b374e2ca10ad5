#include "export/file_names.h"

#include <fmt/format.h>

#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/file_logger.h"
#include "export/export_warning.h"

namespace vorn {

namespace {

// The extensions the export writes after a name: a file on disk with any of them holds it.
constexpr const char* kExtensions[] = {".txt", ".bin", ".sql"};

bool unsafeByte(unsigned char c) {
    return c == '/' || c < 0x20 || c == 0x7F;
}

// What one directory's names are known to be.
struct DirectoryNames {
    std::map<std::string, FileOwner> holders;  // name -> owner, from the manifest and this run
    // The name each owner got for each wanted name in this process: asked again, it gets it
    // again without a second warning.
    std::map<std::pair<FileOwner, std::string>, std::string> handedOut;
    bool endsWithLineEnd = true;  // the manifest's last line is whole
    bool recordWarned = false;    // the manifest could not be written: said once
};

std::mutex namesMutex;
std::map<std::string, DirectoryNames> directories;  // by absolute path
std::string lastDirectory;                          // the key of the last claim

// One key for every spelling of a directory ("dump", "./dump/", its absolute path).
std::string directoryKey(const std::string& directory) {
    const std::filesystem::path given = directory.empty() ? "." : directory;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(given, error);
    if (error)
        absolute = given;
    std::filesystem::path key = std::filesystem::weakly_canonical(absolute, error);
    if (error)
        key = absolute.lexically_normal();
    std::string text = key.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::string filePath(const std::string& directory, const std::string& name) {
    return directory.empty() ? name : directory + "/" + name;
}

bool onDisk(const std::string& directory, const std::string& name) {
    for (const char* extension : kExtensions) {
        std::error_code error;
        // A dangling link counts: the name is someone's.
        const auto status =
            std::filesystem::symlink_status(filePath(directory, name + extension), error);
        if (status.type() != std::filesystem::file_type::not_found &&
            status.type() != std::filesystem::file_type::none)
            return true;
    }
    return false;
}

std::string ownerText(const FileOwner& owner) {
    return fmt::format("{} with OID {} of database {}", fileOwnerKindName(owner.kind),
                       owner.objectOid, owner.databaseOid);
}

// Reads the manifest of `directory` into `names`; names already known keep their owner.
// Returns the log warnings to give.
std::vector<std::string> loadManifest(const std::string& directory, DirectoryNames& names) {
    std::vector<std::string> warnings;
    const ManifestContents contents = readFileManifest(directory);
    const std::string path = filePath(directory, kFileManifestName);
    for (const std::string& problem : contents.problems)
        warnings.push_back(fmt::format("File name record \"{}\", {}: ignored.", path, problem));
    for (const ManifestEntry& entry : contents.entries) {
        const auto [it, added] = names.holders.try_emplace(entry.name, entry.owner);
        if (!added && it->second != entry.owner)
            warnings.push_back(fmt::format(
                "File name record \"{}\" also gives \"{}\" to the {}: ignored, the name stays "
                "with the {}.",
                path, entry.name, ownerText(entry.owner), ownerText(it->second)));
    }
    if (contents.exists)
        names.endsWithLineEnd = contents.endsWithLineEnd;
    return warnings;
}

// Adds `name` of `owner` to the manifest; the warning to give when that fails, or nothing.
std::optional<std::string> record(const std::string& directory, DirectoryNames& names,
                                  const std::string& name, const FileOwner& owner) {
    try {
        appendFileManifest(directory, {owner, name}, !names.endsWithLineEnd);
        names.endsWithLineEnd = true;
        return std::nullopt;
    } catch (const std::exception& e) {
        // A directory that is not there fails the file itself, which says so.
        std::error_code error;
        if (names.recordWarned ||
            !std::filesystem::is_directory(directory.empty() ? "." : directory, error))
            return std::nullopt;
        names.recordWarned = true;
        return fmt::format(
            "File names not recorded in \"{}\": {}; a later unload keeps away from the files "
            "written now and names its own apart.",
            filePath(directory, kFileManifestName), e.what());
    }
}

}  // namespace

std::string safeFileName(std::string_view name, uint32_t tableOid) {
    std::string out(name);
    bool changed = out.empty();
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (unsafeByte(c) || (i == 0 && c == '.')) {
            out[i] = '_';
            changed = true;
        }
    }
    if (changed)
        out += fmt::format("_{}", tableOid);
    return out;
}

std::string claimFileName(const std::string& directory, std::string_view name,
                          const FileOwner& owner) {
    const std::string wanted = safeFileName(name, owner.objectOid);
    const std::string key = directoryKey(directory);
    std::string chosen = wanted;
    std::optional<FileOwner> holder;  // who holds `wanted`; none with a file: unrecorded
    std::vector<std::string> logWarnings;
    std::optional<std::string> recordWarning;
    bool repeated = false;
    {
        std::lock_guard<std::mutex> lock(namesMutex);
        DirectoryNames& names = directories[key];
        if (key != lastDirectory) {
            logWarnings = loadManifest(directory, names);
            lastDirectory = key;
        }
        const auto known = names.handedOut.find({owner, wanted});
        if (known != names.handedOut.end()) {
            chosen = known->second;
            repeated = true;  // said when it was handed out
        }
        for (unsigned n = 1; !repeated; ++n) {
            const auto it = names.holders.find(chosen);
            if (it != names.holders.end()) {
                if (it->second == owner)
                    break;
                if (n == 1)
                    holder = it->second;
            } else if (!onDisk(directory, chosen)) {
                names.holders.emplace(chosen, owner);
                recordWarning = record(directory, names, chosen, owner);
                break;
            }
            chosen = n == 1 ? fmt::format("{}_{}", wanted, owner.objectOid)
                            : fmt::format("{}_{}_{}", wanted, owner.objectOid, n);
        }
        if (!repeated)
            names.handedOut.emplace(std::make_pair(owner, wanted), chosen);
    }
    for (const std::string& text : logWarnings)
        unloadLog().warn(text);
    if (recordWarning)
        warnExport(*recordWarning);
    if (chosen == wanted || repeated)
        return chosen;
    // Said at the first claim of each run, so each run that renames says why.
    if (holder)
        warnExport(
            fmt::format("File name \"{}\" is already used by the {}; the {} is written as "
                        "\"{}\".",
                        wanted, ownerText(*holder), ownerText(owner), chosen));
    else
        warnExport(
            fmt::format("File name \"{}\" is already used by a file in \"{}\" that {} "
                        "does not record; the {} is written as \"{}\".",
                        wanted, directory.empty() ? std::string(".") : directory, kFileManifestName,
                        ownerText(owner), chosen));
    return chosen;
}

void resetTableFileNames() {
    std::lock_guard<std::mutex> lock(namesMutex);
    directories.clear();
    lastDirectory.clear();
}

}  // namespace vorn
