#pragma once

// Whether a catalogue's file lost blocks at its end. A file cut at a block boundary reads as
// a smaller, healthy file: only what lies beside it tells the length it had.
//
//  - Its b-tree indexes: each row version has an entry in every one of them, pointing at its
//    heap block and item. Entries pointing at a block at or past the end of the file are
//    rows that were there. An entry counts when two indexes agree on it (one suffices when
//    only one index can be read), so that one damaged index never raises the alarm alone.
//  - Its visibility map: a bit set for a block at or past the end says the block existed.
//
// An index or map that is missing, cannot be read or is not what the server writes is no
// evidence. Each file is read once, page by page.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/catalog_layout.h"
#include "storage/file_node_map.h"
#include "storage/storage_settings.h"

namespace vorn {

// The b-tree indexes of a catalogue that bootstrap reads, by OID; those the version has.
std::vector<uint32_t> catalogIndexOids(CatalogKind kind, ServerVersion version);

struct CatalogFiles {
    std::string directory;  // of the heap and its indexes
    uint32_t heapFileNode = 0;
    std::vector<uint32_t> indexFileNodes;
};

struct LostBlocks {
    uint64_t fileBlocks = 0;  // whole blocks of the heap's file
    // Rows the indexes point at in blocks at or past the end, and the first and last such
    // block; rows 0 when none.
    uint64_t indexRows = 0;
    uint32_t firstIndexBlock = 0;
    uint32_t lastIndexBlock = 0;
    // The last block the visibility map marks, when it is at or past the end.
    std::optional<uint64_t> lastMarkedBlock;

    bool any() const { return indexRows > 0 || lastMarkedBlock.has_value(); }
};

// The files of catalogue `kind`, whose heap is `heapFileNode` in `directory`: its indexes'
// file nodes come from the relation map, else from `classNodes` (index OID to the
// relfilenode of its pg_class row; 0 for a mapped one), else their OIDs.
CatalogFiles catalogFiles(CatalogKind kind, const std::string& directory, uint32_t heapFileNode,
                          const IFileNodeMap* map,
                          const std::unordered_map<uint32_t, uint32_t>& classNodes);

// The whole blocks of the heap's segment files, counted from the last one's number (0 when
// there are none).
uint64_t heapFileBlocks(const CatalogFiles& files);

// `fileBlocks`: the whole blocks the heap's segment files hold. Uses the process-wide
// serverVersion and blockSize.
LostBlocks findLostBlocks(const CatalogFiles& files, uint64_t fileBlocks);

// "<what> lost blocks: \"<path>\" holds 7 blocks, but its indexes point at 23 rows in blocks
// 7 to 13 and its visibility map marks blocks up to 13; ..." for `lost.any()`.
std::string lostBlocksText(const std::string& what, const std::string& path,
                           const LostBlocks& lost);

}  // namespace vorn
