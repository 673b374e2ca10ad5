#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// One column of a relation, as pg_attribute describes it. Type OIDs are 32-bit: user types
// pass 65535 early, and a truncated OID would read an enum as text.
struct ColumnDef {
    int16_t attnum = 0;      // 1 for the first user column; -2 marks the system column "oid"
    char attname[64] = {};   // NUL-terminated, at most 63 bytes of text
    uint32_t atttypid = 0;   // 0 for a dropped column
    int32_t atttypmod = -1;  // -1 when none
    int32_t attlen = 0;      // > 0 fixed width, -1 varlena, -2 NUL-terminated string
    bool nullable = true;
    char attalign = 'c';  // 'c' 1, 's' 2, 'i' 4, 'd' 8 bytes
    bool attbyval = false;
    // ADD COLUMN ... DEFAULT on version 11 and later: tuples written before the column was
    // added stop short of it and read as this value, in stored form (the bytes a decoder
    // would have produced), not as NULL.
    bool hasMissing = false;
    std::string missingValue;
    // 's' for a stored generated column (12 and later), 'v' for a virtual one (18); 0 for
    // any other. COPY TO leaves generated columns out, so the export does too; a stored one
    // still takes its room in each tuple.
    char attgenerated = 0;

    bool isDropped() const { return atttypid == 0; }
    std::string_view name() const {
        return std::string_view(attname, strnlen(attname, sizeof attname));
    }
    void setName(std::string_view text) {
        std::memset(attname, 0, sizeof attname);
        std::memcpy(attname, text.data(),
                    text.size() < sizeof attname ? text.size() : sizeof attname - 1);
    }
};

using ColumnLayout = std::vector<ColumnDef>;

// Type OIDs the engine knows by number.
namespace typeoid {
constexpr uint32_t kBool = 16, kBytea = 17, kChar = 18, kName = 19, kInt8 = 20, kInt2 = 21,
                   kInt4 = 23, kText = 25, kOid = 26, kXid = 28, kXid32 = 31, kJson = 114,
                   kXml = 142, kFloat4 = 700, kFloat8 = 701, kMoney = 790, kBpchar = 1042,
                   kVarchar = 1043, kDate = 1082, kTime = 1083, kTimestamp = 1114,
                   kTimestampTz = 1184, kInterval = 1186, kTimeTz = 1266, kBit = 1560,
                   kVarbit = 1562, kNumeric = 1700, kJsonb = 3802, kNvarchar2 = 3969,
                   kTinyint = 5545, kDatetime = 9876, kBlob = 88, kClob = 90;
}

}  // namespace vorn
