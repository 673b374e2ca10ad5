// SQL type names from type OID and type modifier. The fixture test compares them with the
// servers' own format_type(); here are the modifiers no fixture table has.

#include <gtest/gtest.h>

#include <string>

#include "storage/sql_type_name.h"

namespace vorn::test {
namespace {

struct NameCase {
    uint32_t typeOid;
    int32_t typmod;
    const char* name;
};

constexpr int32_t numericTypmod(int32_t precision, int32_t scale) {
    return ((precision << 16) | (scale & 0x7FF)) + 4;
}
// Interval range bits (MONTH 1, YEAR 2, DAY 3, HOUR 10, MINUTE 11, SECOND 12, each 1 << n).
constexpr int32_t kYear = 1 << 2, kMonth = 1 << 1, kDay = 1 << 3, kHour = 1 << 10,
                  kMinute = 1 << 11, kSecond = 1 << 12;
constexpr int32_t intervalTypmod(int32_t range, int32_t precision) {
    return range << 16 | precision;
}

TEST(SqlTypeName, NamesAndModifiers) {
    const NameCase cases[] = {
        {16, -1, "boolean"},
        {17, -1, "bytea"},
        {18, -1, "\"char\""},  // char unquoted would be char(1)
        {19, -1, "name"},
        {20, -1, "bigint"},
        {21, -1, "smallint"},
        {22, -1, "int2vector"},
        {23, -1, "integer"},
        {24, -1, "regproc"},
        {25, -1, "text"},
        {26, -1, "oid"},
        {27, -1, "tid"},
        {28, -1, "xid"},
        {29, -1, "cid"},
        {31, -1, "xid32"},
        {88, -1, "blob"},
        {90, -1, "clob"},
        {114, -1, "json"},
        {142, -1, "xml"},
        {194, -1, "pg_node_tree"},
        {700, -1, "real"},
        {701, -1, "double precision"},
        {790, -1, "money"},
        {1009, -1, "text[]"},
        {1034, -1, "aclitem[]"},
        {1082, -1, "date"},
        {3802, -1, "jsonb"},
        {5545, -1, "tinyint"},
        {9876, -1, "datetime"},

        // Character lengths are stored plus 4.
        {1043, 24, "varchar(20)"},
        {1043, 5, "varchar(1)"},
        {1043, -1, "varchar"},
        {1043, 10485764, "varchar(10485760)"},
        {1043, 10485765, "varchar"},  // past the server's limit
        {1043, 4, "varchar"},
        {1042, 14, "char(10)"},
        {1042, 5, "char(1)"},
        {1042, -1, "bpchar"},  // unconstrained: plain char would mean char(1)
        {1042, 2, "bpchar"},
        {3969, 54, "nvarchar2(50)"},
        {3969, -1, "nvarchar2"},

        // Bit lengths are stored as they are.
        {1560, 8, "bit(8)"},
        {1560, 1, "bit(1)"},
        {1560, -1, "\"bit\""},  // unconstrained: plain bit would mean bit(1)
        {1560, 0, "\"bit\""},
        {1562, 12, "varbit(12)"},
        {1562, -1, "varbit"},

        // numeric: ((precision << 16) | (scale & 0x7FF)) + 4, scale signed from 15 on.
        {1700, numericTypmod(10, 2), "numeric(10,2)"},
        {1700, numericTypmod(10, 3), "numeric(10,3)"},
        {1700, numericTypmod(5, 0), "numeric(5,0)"},
        {1700, numericTypmod(1000, 1000), "numeric(1000,1000)"},
        {1700, numericTypmod(5, -2), "numeric(5,-2)"},
        {1700, numericTypmod(3, 5), "numeric(3,5)"},  // scale above precision, from 15 on
        {1700, numericTypmod(1, -1000), "numeric(1,-1000)"},
        {1700, -1, "numeric"},
        {1700, 3, "numeric"},
        {1700, numericTypmod(1001, 2), "numeric"},  // past the largest precision
        {1700, numericTypmod(0, 0), "numeric"},
        {1700, numericTypmod(10, -1024), "numeric"},  // below the smallest scale

        // Fractional-second precision, 0..6, after the first word.
        {1083, 3, "time(3)"},
        {1083, 0, "time(0)"},
        {1083, -1, "time"},
        {1083, 7, "time"},
        {1266, 6, "time(6) with time zone"},
        {1266, -1, "time with time zone"},
        {1114, 0, "timestamp(0)"},
        {1114, -1, "timestamp"},
        {1184, 3, "timestamp(3) with time zone"},
        {1184, -1, "timestamp with time zone"},

        // interval: range mask in the upper half, precision (0xFFFF: none) in the lower.
        {1186, -1, "interval"},
        {1186, intervalTypmod(0x7FFF, 0xFFFF), "interval"},
        {1186, intervalTypmod(0x7FFF, 3), "interval(3)"},
        {1186, intervalTypmod(kYear, 0xFFFF), "interval year"},
        {1186, intervalTypmod(kMonth, 0xFFFF), "interval month"},
        {1186, intervalTypmod(kDay, 0xFFFF), "interval day"},
        {1186, intervalTypmod(kHour, 0xFFFF), "interval hour"},
        {1186, intervalTypmod(kMinute, 0xFFFF), "interval minute"},
        {1186, intervalTypmod(kSecond, 0xFFFF), "interval second"},
        {1186, intervalTypmod(kSecond, 2), "interval second(2)"},
        {1186, intervalTypmod(kYear | kMonth, 0xFFFF), "interval year to month"},
        {1186, intervalTypmod(kDay | kHour, 0xFFFF), "interval day to hour"},
        {1186, intervalTypmod(kDay | kHour | kMinute, 0xFFFF), "interval day to minute"},
        {1186, intervalTypmod(kDay | kHour | kMinute | kSecond, 0xFFFF), "interval day to second"},
        {1186, intervalTypmod(kDay | kHour | kMinute | kSecond, 0), "interval day to second(0)"},
        {1186, intervalTypmod(kHour | kMinute, 0xFFFF), "interval hour to minute"},
        {1186, intervalTypmod(kHour | kMinute | kSecond, 4), "interval hour to second(4)"},
        {1186, intervalTypmod(kMinute | kSecond, 0xFFFF), "interval minute to second"},
        // What the grammar cannot write: the plain type, which takes every interval.
        {1186, intervalTypmod(kYear | kMonth, 3), "interval"},
        {1186, intervalTypmod(kYear | kDay, 0xFFFF), "interval"},
        {1186, intervalTypmod(kSecond, 7), "interval"},

        // Arrays: the element's name with the column's modifier (an array column's
        // atttypmod is its element's), then the brackets.
        {1007, -1, "integer[]"},
        {1009, -1, "text[]"},
        {1002, -1, "\"char\"[]"},
        {1015, 24, "varchar(20)[]"},
        {1015, -1, "varchar[]"},
        {1014, 14, "char(10)[]"},
        {1014, -1, "bpchar[]"},  // not character[], which is char(1)[]
        {1561, -1, "\"bit\"[]"},
        {1561, 8, "bit(8)[]"},
        {1231, numericTypmod(10, 2), "numeric(10,2)[]"},
        {1185, 3, "timestamp(3) with time zone[]"},
        {1187, intervalTypmod(kYear | kMonth, 0xFFFF), "interval year to month[]"},
        {1040, -1, "macaddr[]"},
        {1034, -1, "aclitem[]"},
        {6150, -1, "int4multirange[]"},

        // Types without a modifier keep their name whatever atttypmod holds.
        {2950, -1, "uuid"},
        {2950, 20, "uuid"},
        {869, -1, "inet"},
        {650, -1, "cidr"},
        {3614, -1, "tsvector"},
        {3642, -1, "gtsvector"},
        {2205, -1, "regclass"},
        {3220, -1, "pg_lsn"},
        {5038, -1, "pg_snapshot"},
        {5069, -1, "xid8"},
        {4072, -1, "jsonpath"},
        {3904, -1, "int4range"},
        {4451, -1, "int4multirange"},
        {702, -1, "abstime"},  // up to 11
        {83, -1, "pg_class"},  // a catalogue's row type, built in

        // No name: the caller gets an empty string, and no CREATE TABLE is written.
        {2277, -1, ""},        // anyarray: a pseudo-type, refused as a column type
        {2249, -1, ""},        // record
        {2287, -1, ""},        // record[]
        {1263, -1, ""},        // cstring[]
        {75, -1, ""},          // pg_attribute, refused from 11 on for its anyarray column
        {210, -1, ""},         // smgr up to 11, pg_type[] from 12 on
        {12669, -1, ""},       // information_schema.time_stamp: OID given out by initdb
        {16417, -1, ""},       // an enum
        {16418, -1, ""},       // its array
        {0, -1, ""},           // a dropped column
        {65536 + 23, -1, ""},  // an OID past 16 bits, not int4
    };
    for (const NameCase& c : cases) {
        ColumnDef column;
        column.atttypid = c.typeOid;
        column.atttypmod = c.typmod;
        EXPECT_EQ(sqlTypeName(column), c.name) << "type " << c.typeOid << " typmod " << c.typmod;
    }
}

}  // namespace
}  // namespace vorn::test
