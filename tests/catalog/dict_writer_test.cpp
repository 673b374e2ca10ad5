#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "catalog/dict_except.h"
#include "catalog/dict_table_def.h"
#include "catalog/dict_writer.h"
#include "storage/column_batch.h"
#include "storage/storage_settings.h"
#include "tests/export/export_test_env.h"

namespace vorn {
namespace {

ColumnDef col(int16_t attnum, const char* name, uint32_t type, int32_t len) {
    ColumnDef c = test::column(attnum, name, type);
    c.attlen = len;
    return c;
}

// A batch for `layout` with the values of each row given as raw bytes (nullopt: NULL).
class BatchBuilder {
  public:
    explicit BatchBuilder(const ColumnLayout& layout) : batch_(makeColumnBatch(layout)) {}
    BatchBuilder& row(const std::vector<std::optional<std::string>>& values,
                      bool committed = true) {
        for (size_t c = 0; c < values.size(); ++c) {
            ColumnValues& v = batch_[c];
            if (!values[c]) {
                v.setNull(rows_);
                continue;
            }
            v.nulls[rows_] = 0;
            v.lengths[rows_] = static_cast<int32_t>(values[c]->size());
            if (v.byRef)
                v.values[rows_] = *values[c];
            else
                std::memcpy(v.data.get() + size_t(rows_) * v.stride, values[c]->data(),
                            values[c]->size());
        }
        batch_.committed[rows_] = committed;
        ++rows_;
        return *this;
    }
    const ColumnBatch& batch() const { return batch_; }
    uint32_t rows() const { return rows_; }

  private:
    ColumnBatch batch_;
    uint32_t rows_ = 0;
};

template <typename T>
std::string bytes(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
std::string name64(const std::string& text) {
    std::string n(64, '\0');
    std::memcpy(n.data(), text.data(), text.size());
    return n;
}

TEST(DictColumnMap, RequiredAndOptionalColumns) {
    ServerVersion saved = serverVersion;
    serverVersion = {10, 0};
    ColumnLayout layout;
    createDictTableDef(4)->columns(layout);
    std::vector<uint16_t> map;
    attributeColumnMap(layout, map);
    ASSERT_EQ(map.size(), 14u);
    EXPECT_EQ(map[0], kNoColumn);
    EXPECT_EQ(layout[map[2]].name(), "attnum");
    EXPECT_EQ(map[11], kNoColumn);  // atthasmissing exists from 11
    EXPECT_EQ(map[12], kNoColumn);
    EXPECT_EQ(map[13], kNoColumn);  // attgenerated exists from 12

    layout.clear();
    try {
        databaseColumnMap(layout, map);
        FAIL();
    } catch (const DictExcept& e) {
        EXPECT_STREQ(e.what(), "Dict[pg_database]: Invalid column definition");
    }
    layout = {col(1, "oid", 26, 4), col(2, "relname", 19, 64)};
    EXPECT_THROW(classColumnMap(layout, map), DictExcept);
    serverVersion = saved;
}

TEST(DictWriter, RendersFieldsByType) {
    const ColumnLayout layout = {col(1, "oid", 26, 4),     col(2, "nspname", 19, 64),
                                 col(3, "flag", 16, 1),    col(4, "kind", 18, 1),
                                 col(5, "code", 1042, -1), col(6, "count", 21, 2),
                                 col(7, "neg", 23, 4)};
    const std::vector<uint16_t> map = {kNoColumn, 0, 1, 2, 3, 4, 5, 6, kNoColumn};
    BatchBuilder b(layout);
    b.row({bytes<uint32_t>(3000000000u), name64("we|ird\\na\nme\r"), std::string("\1"),
           std::string("r"), std::string("a|b\n"), bytes<int16_t>(-3), bytes<int32_t>(-7)});
    b.row({std::nullopt, name64("x"), std::string("\0", 1), std::nullopt, std::nullopt,
           std::nullopt, std::nullopt});
    std::ostringstream out;
    DictWriter writer(&out, 16384, map, layout);
    EXPECT_EQ(writer.writeRows(&b.batch(), b.rows()), 2u);
    writer.finish();
    EXPECT_EQ(out.str(),
              "16384|3000000000|we\\|ird\\\\na\\nme\\r|t|r|a.b.|-3|-7|\n"
              "16384||x|f|||||\n");
}

TEST(DictWriter, KeepsOneVersionPerIdentity) {
    const ColumnLayout layout = {col(1, "attrelid", 26, 4), col(2, "attnum", 21, 2),
                                 col(3, "attname", 19, 64)};
    const std::vector<uint16_t> map = {kNoColumn, 0, 1, 2};
    BatchBuilder b(layout);
    auto row = [&](uint32_t rel, int16_t num, const char* name, bool committed) {
        b.row({bytes(rel), bytes(num), name64(name)}, committed);
    };
    row(100, 1, "a_old", true);   // hinted committed ...
    row(100, 1, "a_new", false);  // ... beats a later version that is not
    row(100, 2, "b_first", false);
    row(100, 2, "b_second", false);  // among equals the later
    row(100, 3, "c_unhinted", false);
    row(100, 3, "c_hinted", true);       // committed wins even when later
    row(100, 4, "d_rolled_back", true);  // above relnatts 3
    row(200, 9, "other", true);          // a relation without a count: kept
    std::ostringstream out;
    DictWriter writer(&out, 5, map, layout);
    writer.setIdentity({1, 2});
    const std::unordered_map<uint32_t, int16_t> relnatts = {{100, 3}};
    writer.setColumnLimit(&relnatts, 1, 2);
    writer.writeRows(&b.batch(), b.rows());
    EXPECT_EQ(out.str(), "");  // held until finish
    writer.finish();
    writer.finish();  // once only
    EXPECT_EQ(out.str(), "5|100|1|a_old\n5|100|2|b_second\n5|100|3|c_hinted\n5|200|9|other\n");
    EXPECT_EQ(writer.heldLines().size(), 4u);
}

// attmissingval: a one-element array of the column's type, written as the hex of the value
// the page reader would give a row that stored it.
TEST(DictWriter, FastDefaultAsHex) {
    // Array payload (after the varlena header): ndim, dataoffset, elemtype, dim, lbound, then
    // the element at offset 20 (MAXALIGN(24) - 4).
    auto array = [](uint32_t elemType, const std::string& element, int32_t dataOffset = 0,
                    const std::string& bitmap = "") {
        std::string a = bytes<int32_t>(1) + bytes<int32_t>(dataOffset) + bytes(elemType) +
                        bytes<int32_t>(1) + bytes<int32_t>(1) + bitmap;
        a.resize(dataOffset ? dataOffset - 4 : 20, '\0');
        return a + element;
    };
    struct Case {
        const char* what;
        std::string value;
        int16_t attlen;
        const char* field;
    } cases[] = {
        {"int4", array(23, bytes<int32_t>(42)), 4, "2a000000"},
        {"text, 4-byte header", array(25, bytes<uint32_t>((4 + 4) << 2) + "dflt"), -1, "64666c74"},
        {"text, 1-byte header", array(25, std::string(1, char((1 + 2) << 1 | 1)) + "ab"), -1,
         "6162"},
        {"empty text", array(25, bytes<uint32_t>(4 << 2)), -1, ""},
        {"cstring", array(2275, std::string("hi\0", 3)), -2, "6869"},
        {"with a bitmap, present", array(23, bytes<int32_t>(7), 32, std::string(1, '\1')), 4,
         "07000000"},
        {"with a bitmap, NULL element", array(23, bytes<int32_t>(7), 32, std::string(1, '\0')), 4,
         "?"},
        {"element cut short", array(23, "ab"), 4, "?"},
        {"two dimensions", std::string(40, '\2'), 4, "?"},
        {"compressed element", array(25, bytes<uint32_t>((4 + 8) << 2 | 2) + "12345678"), -1, "?"},
    };
    const ColumnLayout layout = {col(1, "attlen", 21, 2), col(2, "attmissingval", 2277, -1)};
    const std::vector<uint16_t> map = {kNoColumn, 1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BatchBuilder b(layout);
        b.row({bytes(c.attlen), c.value});
        std::ostringstream out;
        DictWriter writer(&out, 1, map, layout);
        writer.writeRows(&b.batch(), b.rows());
        EXPECT_EQ(out.str(), std::string("1|") + c.field + "\n");
    }
}

}  // namespace
}  // namespace vorn
