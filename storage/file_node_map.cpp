// pg_filenode.map, as PostgreSQL's relation mapper writes it (little-endian):
//
//   0         4  magic 0x592717
//   4         4  num_mappings
//   8 + 8i    4  relation OID of mapping i
//   12 + 8i   4  file node of mapping i
//   8 + 8 * capacity   4  CRC-32C of the bytes before it, then padding
//
// The capacity is 62 mappings up to version 15 (a 512-byte file) and 64 from version 16 (524
// bytes). Mappings are read up to the stated count, never past the capacity, so the CRC is
// never taken for a mapping.

#include "storage/file_node_map.h"

#include <fcntl.h>
#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "base/file_logger.h"
#include "storage/byte_reader.h"
#include "storage/file.h"
#include "storage/storage_settings.h"

namespace vorn {
namespace {

constexpr size_t kHeaderSize = 4 + 4;
constexpr size_t kMappingSize = 4 + 4;
constexpr uint64_t kMaxReadLength = 10 * 1024 * 1024;

uint32_t mapCapacity() {
    return serverVersion.major >= 16 ? 64 : 62;
}

}  // namespace

void FileNodeMap::load(const std::string& path) {
    File file;
    try {
        file.open(path, O_RDONLY);
    } catch (const std::exception& e) {
        throw std::runtime_error(
            fmt::format("unable to open mapfile \"{}\", OS error: {}", path, e.what()));
    }

    std::vector<uint8_t> buffer;
    try {
        const uint64_t size = file.size();
        buffer.assign(static_cast<size_t>(std::min(size, kMaxReadLength)), 0);
        const uint32_t got = file.pread(buffer.data(), static_cast<uint32_t>(buffer.size()), 0);
        buffer.resize(got);
    } catch (const std::exception& e) {
        throw std::runtime_error(
            fmt::format("unable to read mapfile \"{}\", OS error: {}", path, e.what()));
    }

    // The header decides whether the rest means anything: a file that is not a map (or a
    // damaged one) must not hand out file nodes.
    const ByteReader bytes(buffer.data(), buffer.size());
    const std::optional<uint32_t> magic = bytes.u32(0);
    const std::optional<uint32_t> stated = bytes.u32(4);
    if (!magic || !stated)
        throw std::runtime_error(
            fmt::format("unable to read mapfile \"{}\", {} bytes are too short for its header",
                        path, buffer.size()));
    if (static_cast<int32_t>(*magic) != kMagic)
        throw std::runtime_error(
            fmt::format("unable to read mapfile \"{}\", wrong magic number {:#x} (expected {:#x})",
                        path, *magic, kMagic));

    const uint32_t capacity = mapCapacity();
    const size_t fitting = (buffer.size() - kHeaderSize) / kMappingSize;
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>({*stated, capacity, fitting}));
    if (*stated > capacity || *stated > fitting)
        mainLog().warnFormatted(
            "mapfile \"{}\" states {} mappings, reading {} (capacity {}, {} bytes)", path, *stated,
            count, capacity, buffer.size());

    std::unordered_map<uint32_t, uint32_t> map;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = kHeaderSize + size_t{i} * kMappingSize;
        map[*bytes.u32(at)] = *bytes.u32(at + 4);  // a later mapping of an OID wins
    }

    try {
        file.close();
    } catch (const std::exception& e) {
        throw std::runtime_error(
            fmt::format("unable to close mapfile \"{}\", OS error: {}", path, e.what()));
    }
    map_ = std::move(map);
    magic_ = static_cast<int32_t>(*magic);
    count_ = static_cast<int32_t>(count);
}

uint32_t FileNodeMap::lookup(uint32_t relationOid) const {
    const auto it = map_.find(relationOid);
    return it == map_.end() ? 0 : it->second;
}

}  // namespace vorn
