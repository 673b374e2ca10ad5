#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

class PgClass;

struct SegmentFile {
    uint32_t number = 0;  // 0: the file named by the file node alone
    uint64_t size = 0;    // bytes
};

// Directory of a relation's files under the process-wide dataDirectory: global/ for shared
// catalogues and tablespace 1664, base/<db> for 1663 (or 0 in a database whose default is
// pg_default), pg_tblspc/<ts>/<PG_ version dir>/<db> otherwise. A relation with
// reltablespace 0 lies in its database's default tablespace.
std::string relationDirectory(const PgClass& relation);

// Schema name of a relation for messages and file names: the dictionary's answer once a
// dictionary exists (it installs the resolver), otherwise "public" for schema 0 and "" for
// any other schema.
std::string tableSchemaName(const PgClass& relation);
using SchemaNameResolver = std::string (*)(const PgClass& relation);
void setSchemaNameResolver(SchemaNameResolver resolver);

// Name of the version directory inside tablespace `tablespaceOid` ("PG_" when none is
// found); the one matching the configured major version is preferred.
std::string tablespacePath(uint32_t tablespaceOid);

// Appends the segment files of `fileNode` in `directory` (ascending by number; only an
// all-digit suffix is a segment, a duplicate number is an error); returns the list's size.
uint32_t listSegmentFiles(const std::string& directory, uint32_t fileNode,
                          std::vector<SegmentFile>& segments);

// Why a relation whose file node is not 0 has no first segment in `directory`, with the
// system's reason ("file \"...\" cannot be read: No such file or directory"); "" when
// `segments` (as listSegmentFiles found them) begins with segment 0.
std::string missingFirstSegment(const std::string& directory, uint32_t fileNode,
                                const std::vector<SegmentFile>& segments);

// Removes the zero-length segment files after the last one that holds blocks (keeping segment
// 0): when a relation shrinks, the server empties the segments it no longer needs but keeps
// their files, so they end the relation and are no damage.
void dropEmptyTail(std::vector<SegmentFile>& segments);

// Whether `directory` holds the init fork "<fileNode>_init" that marks an unlogged relation.
bool hasInitFork(const std::string& directory, uint32_t fileNode);

// Blocks a segment file before the last one holds when the server's segment size (1 GiB by
// default, larger when it was built so) is full: at least 1 GiB of blocks, more when a listed
// non-last segment is larger.
uint64_t fullSegmentBlocks(const std::vector<SegmentFile>& segments, uint32_t blockSize);

// "{dir}/{node}" for segment 0, "{dir}/{node}.{n}" for the others.
std::string segmentPath(const std::string& directory, uint32_t fileNode, uint32_t segment);

}  // namespace vorn
