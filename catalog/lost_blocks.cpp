#include "catalog/lost_blocks.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <limits>

#include "storage/btree_page.h"
#include "storage/fork_pages.h"
#include "storage/relation_path.h"
#include "storage/visibility_map_page.h"

namespace vorn {

namespace {

// Catalogue indexes, all b-trees.
constexpr uint32_t kDatabaseOidIndex = 2672, kDatabaseNameIndex = 2671;
constexpr uint32_t kClassOidIndex = 2662, kClassNameIndex = 2663;
constexpr uint32_t kClassFileNodeIndex = 3455;  // from 9.4
constexpr uint32_t kAttributeNameIndex = 2658, kAttributeNumberIndex = 2659;
constexpr uint32_t kNamespaceNameIndex = 2684, kNamespaceOidIndex = 2685;

bool hasClassFileNodeIndex(ServerVersion version) {
    return version.major > 9 || (version.major == 9 && version.minor >= 4);
}

uint64_t tidKey(const HeapTid& tid) {
    return uint64_t{tid.block} << 16 | tid.item;
}

// The heap TIDs at or past `fromBlock` that the leaf pages of one index point at, sorted and
// without repeats; nullopt when the index is no evidence: missing, unreadable, or its block 0
// is not a b-tree meta page (another file under that name, or damage).
std::optional<std::vector<uint64_t>> indexTidsPast(const std::string& directory, uint32_t fileNode,
                                                   uint32_t fromBlock) {
    const BtreePageReader reader(serverVersion, blockSize);
    if (!reader.format().known)
        return std::nullopt;
    std::vector<HeapTid> tids;
    bool btree = false;
    const auto page = [&](uint64_t block, const ByteReader& bytes) {
        const BtreePageKind kind = reader.read(bytes, fromBlock, tids).kind;
        // The meta page is block 0 and no other: anything else is not a b-tree's file.
        btree = (block == 0) == (kind == BtreePageKind::kMeta);
        return btree;
    };
    if (readForkPages(directory, fileNode, "", blockSize, page) != ForkRead::kRead || !btree)
        return std::nullopt;
    std::vector<uint64_t> keys;
    keys.reserve(tids.size());
    for (const HeapTid& tid : tids)
        keys.push_back(tidKey(tid));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// The TIDs in at least two of `sets` (each sorted, without repeats); the one set's when there
// is only one.
std::vector<uint64_t> agreedTids(const std::vector<std::vector<uint64_t>>& sets) {
    if (sets.size() == 1)
        return sets.front();
    std::vector<uint64_t> all;
    for (const std::vector<uint64_t>& set : sets)
        all.insert(all.end(), set.begin(), set.end());
    std::sort(all.begin(), all.end());
    std::vector<uint64_t> agreed;
    for (size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i] != all[i + 1])
            continue;
        agreed.push_back(all[i]);
        while (i + 1 < all.size() && all[i + 1] == all[i])
            ++i;
    }
    return agreed;
}

// The last heap block the map fork marks, when it is at or past `fromBlock`.
std::optional<uint64_t> lastMarkedPast(const std::string& directory, uint32_t fileNode,
                                       uint64_t fromBlock) {
    const VisibilityMapPageReader reader(serverVersion, blockSize);
    if (reader.heapBlocksPerPage() == 0)
        return std::nullopt;
    std::optional<uint64_t> last;
    readForkPages(directory, fileNode, "_vm", blockSize,
                  [&](uint64_t block, const ByteReader& page) {
                      const VisibilityMapPageResult r = reader.read(page);
                      if (r.valid && r.lastMarked)
                          last = block * reader.heapBlocksPerPage() + *r.lastMarked;
                      return true;
                  });
    if (last && *last >= fromBlock)
        return last;
    return std::nullopt;
}

std::string blocks(uint64_t n) {
    return fmt::format("{} block{}", n, n == 1 ? "" : "s");
}

}  // namespace

std::vector<uint32_t> catalogIndexOids(CatalogKind kind, ServerVersion version) {
    switch (kind) {
        case CatalogKind::kDatabase:
            return {kDatabaseNameIndex, kDatabaseOidIndex};
        case CatalogKind::kClass:
            if (hasClassFileNodeIndex(version))
                return {kClassOidIndex, kClassNameIndex, kClassFileNodeIndex};
            return {kClassOidIndex, kClassNameIndex};
        case CatalogKind::kAttribute:
            return {kAttributeNameIndex, kAttributeNumberIndex};
        case CatalogKind::kNamespace:
            return {kNamespaceNameIndex, kNamespaceOidIndex};
    }
    return {};
}

CatalogFiles catalogFiles(CatalogKind kind, const std::string& directory, uint32_t heapFileNode,
                          const IFileNodeMap* map,
                          const std::unordered_map<uint32_t, uint32_t>& classNodes) {
    CatalogFiles files;
    files.directory = directory;
    files.heapFileNode = heapFileNode;
    for (uint32_t oid : catalogIndexOids(kind, serverVersion)) {
        uint32_t node = map != nullptr ? map->lookup(oid) : 0;
        if (node == 0) {
            const auto it = classNodes.find(oid);
            node = it != classNodes.end() ? it->second : 0;
        }
        files.indexFileNodes.push_back(node != 0 ? node : oid);
    }
    return files;
}

uint64_t heapFileBlocks(const CatalogFiles& files) {
    std::vector<SegmentFile> segments;
    try {
        listSegmentFiles(files.directory, files.heapFileNode, segments);
    } catch (const std::exception&) {
        return 0;  // two files for one segment: the unload said so
    }
    if (segments.empty() || blockSize == 0)
        return 0;
    const SegmentFile& last = segments.back();
    return last.number * fullSegmentBlocks(segments, blockSize) + last.size / blockSize;
}

LostBlocks findLostBlocks(const CatalogFiles& files, uint64_t fileBlocks) {
    LostBlocks lost;
    lost.fileBlocks = fileBlocks;
    // A heap has fewer than 2^32 blocks: an end beyond that leaves no TID past it.
    if (fileBlocks < std::numeric_limits<uint32_t>::max()) {
        const auto fromBlock = static_cast<uint32_t>(fileBlocks);
        std::vector<std::vector<uint64_t>> sets;
        for (uint32_t node : files.indexFileNodes)
            if (std::optional<std::vector<uint64_t>> tids =
                    indexTidsPast(files.directory, node, fromBlock))
                sets.push_back(std::move(*tids));
        if (!sets.empty()) {
            const std::vector<uint64_t> agreed = agreedTids(sets);
            if (!agreed.empty()) {
                lost.indexRows = agreed.size();
                lost.firstIndexBlock = static_cast<uint32_t>(agreed.front() >> 16);
                lost.lastIndexBlock = static_cast<uint32_t>(agreed.back() >> 16);
            }
        }
    }
    lost.lastMarkedBlock = lastMarkedPast(files.directory, files.heapFileNode, fileBlocks);
    return lost;
}

std::string lostBlocksText(const std::string& what, const std::string& path,
                           const LostBlocks& lost) {
    std::vector<std::string> evidence;
    if (lost.indexRows > 0) {
        const std::string where =
            lost.firstIndexBlock == lost.lastIndexBlock
                ? fmt::format("block {}", lost.firstIndexBlock)
                : fmt::format("blocks {} to {}", lost.firstIndexBlock, lost.lastIndexBlock);
        evidence.push_back(fmt::format("its indexes point at {} row{} in {}", lost.indexRows,
                                       lost.indexRows == 1 ? "" : "s", where));
    }
    if (lost.lastMarkedBlock)
        evidence.push_back(
            fmt::format("its visibility map marks blocks up to {}", *lost.lastMarkedBlock));
    std::string text =
        fmt::format("{} lost blocks: \"{}\" holds {}, but ", what, path, blocks(lost.fileBlocks));
    for (size_t i = 0; i < evidence.size(); ++i)
        text += (i == 0 ? "" : " and ") + evidence[i];
    text += "; what the lost blocks held is not in the dictionary";
    return text;
}

}  // namespace vorn
