#pragma once

// Shared by the relation path tests: a relation as the catalogue describes it, by the
// fields that choose its folder and file.

#include <cstdint>

#include "storage/table.h"

namespace vorn::test {

inline PgClass relation(uint32_t dboid, uint32_t reltablespace, uint32_t dbTablespace,
                        uint32_t fileNode = 16400) {
    PgClass r;
    r.dboid = dboid;
    r.reltablespace = reltablespace;
    r.dbTablespace = dbTablespace;
    r.relfilenode = fileNode;
    return r;
}

}  // namespace vorn::test
