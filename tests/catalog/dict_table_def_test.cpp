#include <gtest/gtest.h>

#include "catalog/dict_table_def.h"
#include "storage/storage_settings.h"

namespace vorn {
namespace {

class VersionScope {
  public:
    VersionScope(int16_t major, int16_t minor) : saved_(serverVersion) {
        serverVersion = {major, minor};
    }
    ~VersionScope() { serverVersion = saved_; }

  private:
    ServerVersion saved_;
};

ColumnLayout layoutOf(int kind, int16_t major, int16_t minor) {
    VersionScope scope(major, minor);
    ColumnLayout layout;
    const uint16_t n = createDictTableDef(kind)->columns(layout);
    EXPECT_EQ(n, layout.size());
    return layout;
}

const ColumnDef* column(const ColumnLayout& layout, const char* name) {
    const ColumnDef* found = nullptr;
    for (const ColumnDef& c : layout)
        if (c.name() == name)
            found = &c;
    return found;
}

TEST(DictTableDef, FactoryAndOids) {
    EXPECT_EQ(createDictTableDef(0), nullptr);
    EXPECT_EQ(createDictTableDef(5), nullptr);
    const uint32_t oids[] = {1262, 2615, 1259, 1249};
    for (int kind = 1; kind <= 4; ++kind) {
        for (const int16_t major : {9, 14, 18}) {
            VersionScope scope(major, 0);
            EXPECT_EQ(createDictTableDef(kind)->catalogOid(), oids[kind - 1]);
        }
    }
    EXPECT_NE(dynamic_cast<PgDictClassDef*>(createDictTableDef(3).get()), nullptr);
}

// Number of entries of every layout, for one version that selects it.
TEST(DictTableDef, EntryCountsPerVersion) {
    struct Case {
        int kind;
        int16_t major, minor;
        size_t entries;
    } cases[] = {
        {1, 9, 0, 13},  {1, 9, 2, 13},  {1, 9, 3, 14},  {1, 11, 0, 14}, {1, 12, 0, 14},
        {1, 14, 5, 14}, {1, 15, 0, 16}, {1, 16, 0, 17}, {1, 17, 0, 18}, {1, 18, 0, 18},
        {2, 9, 0, 4},   {2, 11, 0, 4},  {2, 12, 0, 4},  {2, 18, 0, 4},  {3, 9, 0, 28},
        {3, 9, 1, 27},  {3, 9, 2, 28},  {3, 9, 3, 30},  {3, 9, 4, 30},  {3, 9, 5, 32},
        {3, 9, 6, 32},  {3, 10, 0, 34}, {3, 11, 0, 34}, {3, 12, 0, 33}, {3, 14, 0, 33},
        {3, 17, 0, 33}, {3, 18, 0, 34}, {4, 9, 0, 19},  {4, 9, 1, 20},  {4, 9, 2, 21},
        {4, 9, 6, 21},  {4, 10, 0, 22}, {4, 11, 0, 24}, {4, 12, 0, 25}, {4, 13, 0, 25},
        {4, 14, 0, 26}, {4, 15, 0, 26}, {4, 16, 0, 26}, {4, 17, 0, 26}, {4, 18, 0, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "kind " << c.kind << " version " << c.major << "." << c.minor);
        const ColumnLayout layout = layoutOf(c.kind, c.major, c.minor);
        EXPECT_EQ(layout.size(), c.entries);
        // The header OID first where the version has one, then 1, 2, 3 ... without gaps.
        const bool headerOid = c.kind != 4 && c.major < 12;
        int16_t expected = 1;
        for (size_t i = 0; i < layout.size(); ++i) {
            if (i == 0 && headerOid) {
                EXPECT_EQ(layout[0].attnum, -2);
                EXPECT_EQ(layout[0].name(), "oid");
                continue;
            }
            EXPECT_EQ(layout[i].attnum, expected++) << layout[i].name();
            EXPECT_EQ(layout[i].atttypmod, -1);
            EXPECT_FALSE(layout[i].nullable);
        }
    }
}

TEST(DictTableDef, VersionSelection) {
    // No layout outside 9 to 18, and the caller's vector is emptied.
    for (const auto& [major, minor] : {std::pair<int16_t, int16_t>{8, 4}, {19, 0}, {-1, 0}}) {
        VersionScope scope(major, minor);
        for (int kind = 1; kind <= 4; ++kind) {
            ColumnLayout layout(3);
            EXPECT_EQ(createDictTableDef(kind)->columns(layout), 0);
            EXPECT_TRUE(layout.empty());
        }
    }
    // A 9.x minor no release has falls to the newest 9.x layout; 12.3 is 12.0.
    for (int kind = 1; kind <= 4; ++kind) {
        const ColumnLayout a = layoutOf(kind, 9, 7), b = layoutOf(kind, 9, 6);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_EQ(a[i].name(), b[i].name());
        EXPECT_EQ(layoutOf(kind, 12, 3).size(), layoutOf(kind, 12, 0).size());
    }
}

TEST(DictTableDef, ColumnsThatMove) {
    const ColumnLayout class90 = layoutOf(3, 9, 0);
    EXPECT_EQ(column(class90, "relistemp")->attnum, 15);
    EXPECT_EQ(column(class90, "relhasexclusion")->attnum, 21);
    EXPECT_EQ(column(class90, "relhassubclass")->attnum, 24);
    EXPECT_EQ(column(class90, "reloptions")->attnum, 27);
    EXPECT_EQ(column(layoutOf(3, 9, 3), "relhasindex")->attnum, 14);
    EXPECT_EQ(column(layoutOf(3, 9, 4), "relhasindex")->attnum, 13);
    EXPECT_EQ(column(layoutOf(3, 9, 4), "reltoastidxid"), nullptr);
    EXPECT_EQ(column(layoutOf(3, 18, 0), "relallfrozen")->attnum, 13);
    EXPECT_EQ(column(layoutOf(3, 17, 0), "relallfrozen"), nullptr);

    const ColumnLayout attr14 = layoutOf(4, 14, 0), attr13 = layoutOf(4, 13, 0);
    EXPECT_EQ(column(attr14, "attalign")->attnum, 11);
    EXPECT_EQ(column(attr14, "attstorage")->attnum, 12);
    EXPECT_EQ(column(attr13, "attstorage")->attnum, 11);
    EXPECT_EQ(column(attr13, "attalign")->attnum, 12);
    const ColumnLayout attr16 = layoutOf(4, 16, 0);
    EXPECT_EQ(column(attr16, "attndims")->atttypid, 21u);
    EXPECT_EQ(column(attr16, "attinhcount")->atttypid, 21u);
    EXPECT_EQ(column(attr16, "attstattarget")->attnum, 21);
    EXPECT_EQ(column(layoutOf(4, 17, 0), "attstattarget")->attnum, 22);
    EXPECT_EQ(column(layoutOf(4, 18, 0), "attcacheoff"), nullptr);

    // Names up to 14, text after dattablespace from 15.
    EXPECT_EQ(column(layoutOf(1, 14, 0), "datcollate")->atttypid, 19u);
    EXPECT_EQ(column(layoutOf(1, 14, 0), "datcollate")->attnum, 5);
    const ColumnLayout database15 = layoutOf(1, 15, 0);
    const ColumnDef* collate15 = column(database15, "datcollate");
    EXPECT_EQ(collate15->atttypid, 25u);
    EXPECT_EQ(collate15->attlen, -1);
    EXPECT_EQ(collate15->attnum, 12);
}

TEST(DictTableDef, TypeStorage) {
    const ColumnLayout layout = layoutOf(3, 15, 0);
    EXPECT_EQ(column(layout, "relname")->attlen, 64);
    EXPECT_EQ(column(layout, "relname")->attalign, 'c');
    EXPECT_EQ(column(layout, "relnatts")->attlen, 2);
    EXPECT_EQ(column(layout, "relnatts")->attalign, 's');
    EXPECT_TRUE(column(layout, "relnatts")->attbyval);
    EXPECT_EQ(column(layout, "reltuples")->attalign, 'i');
    EXPECT_EQ(column(layout, "relacl")->attalign, 'i');
    // aclitem arrays are double-aligned from 16 on, anyarray always.
    EXPECT_EQ(column(layoutOf(3, 16, 0), "relacl")->attalign, 'd');
    EXPECT_EQ(column(layoutOf(4, 11, 0), "attmissingval")->attalign, 'd');
}

}  // namespace
}  // namespace vorn
