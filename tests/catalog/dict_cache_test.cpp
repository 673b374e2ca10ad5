#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dict_except.h"
#include "catalog/dictionary.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

class DictCache : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = dictDirectory;
        dictDirectory = dir_.path() + "/dict";
        std::filesystem::create_directories(dictDirectory);
        mainLog().open(dir_.path().c_str());
    }
    void TearDown() override { dictDirectory = saved_; }
    void write(const std::string& file, const std::string& text) {
        dir_.writeFile("dict/" + file, text);
    }

    TempDir dir_;
    std::string saved_;
};

TEST(DictCacheLine, EscapesRoundTrip) {
    const std::string names[] = {"plain",  "a|b", "back\\slash", "line\nfeed", "cr\rhere",
                                 "\\|\\n", "",    "trailing\\"};
    for (const std::string& name : names) {
        std::string line = "1|";
        appendCacheEscaped(line, name);
        line += "|2";
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const auto fields = splitCacheLine(line);
        ASSERT_EQ(fields.size(), 3u) << line;
        EXPECT_EQ(fields[1], name);
        EXPECT_EQ(fields[2], "2");
    }
    // An empty line is one empty field; trailing separators give empty fields.
    EXPECT_EQ(splitCacheLine("").size(), 1u);
    EXPECT_EQ(splitCacheLine("a||").size(), 3u);
}

TEST_F(DictCache, Databases) {
    write("pg_db.dat",
          "0|16384|shop|6||1663\n"
          "0|1|template1|6||1663\n"
          "0|5|postgres|8||\n"
          "0|4|template0|6||1663\n"
          "0|3000000001|big|99|x|17000\n"
          "0|7\n");
    DatabaseList list;
    EXPECT_EQ(readDatabaseCache(list), 6);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].oid, 5u);
    EXPECT_EQ(list[0].datname, "postgres");
    EXPECT_EQ(list[0].encodingName, "LATIN1");
    EXPECT_EQ(list[0].tablespace, 0u);  // no tablespace field: base/
    EXPECT_EQ(list[1].oid, 7u);         // a short line: what is there
    EXPECT_EQ(list[1].datname, "");
    EXPECT_EQ(list[2].oid, 16384u);
    EXPECT_EQ(list[2].tablespace, 1663u);
    EXPECT_EQ(list[3].oid, 3000000001u);  // OIDs are unsigned
    EXPECT_EQ(list[3].encodingName, "unknown");
    EXPECT_EQ(list[3].datcompatibility, "x");
    EXPECT_EQ(list[3].tablespace, 17000u);
}

TEST_F(DictCache, MissingFileNamesIt) {
    DatabaseList list;
    try {
        readDatabaseCache(list);
        FAIL() << "no exception";
    } catch (const DictExcept& e) {
        EXPECT_NE(std::string(e.what()).find("failed to open dict file " + dictDirectory +
                                             "/pg_db.dat, error: "),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(DictCache, SchemasLaterLineWins) {
    write("pg_schema.dat", "5|2200|public\n5|99|old\n5|99|new\n6|2200|public\n");
    SchemaMap schemas;
    EXPECT_EQ(readNamespaceCache(schemas), 4);
    ASSERT_EQ(schemas.size(), 3u);
    EXPECT_EQ(schemas.at(dictKey(5, 99)).nspname, "new");
    EXPECT_EQ(schemas.at(dictKey(6, 2200)).dboid, 6u);
}

TEST_F(DictCache, ClassesByKindAndToastLinks) {
    const std::string longName(70, 'n');
    write("pg_class.dat",
          "5|2200|100|t1|101|r|3|100|102|0\n"
          "5|99|102|pg_toast_100|0|t|3|102|0|0\n"
          "5|2200|103|idx|0|i|1|103|0|0\n"
          "5|2200|104|parent|0|p|2|0|0|0\n"
          "5|2200|105|" +
              longName +
              "|0|r|1|3000000000|200|\n"
              "6|99|200|pg_toast_x|0|t|3|200|0|0\n"
              "6|2200|300|ts_table|0|r|1|300|0|1700\n");
    DatabaseList dbs(2);
    dbs[0].oid = 5;
    dbs[0].tablespace = 1663;
    dbs[1].oid = 6;
    dbs[1].tablespace = 17000;
    TableMap tables;
    ToastMap toasts;
    EXPECT_EQ(readClassCache(tables, toasts, &dbs), 7);
    EXPECT_EQ(tables.size(), 4u);
    EXPECT_EQ(toasts.size(), 2u);
    EXPECT_EQ(tables.count(dictKey(5, 103)), 0u);  // an index is dropped
    const PgTable& t1 = tables.at(dictKey(5, 100));
    ASSERT_NE(t1.toast, nullptr);
    EXPECT_EQ(t1.toast->PgClass::oid, 102u);
    EXPECT_EQ(t1.relnatts, 3);
    EXPECT_EQ(t1.reltype, 101u);
    EXPECT_EQ(t1.dbTablespace, 1663u);
    EXPECT_EQ(tables.at(dictKey(5, 104)).relkind, 'p');
    const PgTable& big = tables.at(dictKey(5, 105));
    EXPECT_EQ(std::string(big.relname), longName.substr(0, 63));
    EXPECT_EQ(big.relfilenode, 3000000000u);
    EXPECT_EQ(big.reltablespace, 0u);  // empty field
    // Its TOAST relation 200 belongs to another database: not linked.
    EXPECT_EQ(big.toast, nullptr);
    const PgTable& ts = tables.at(dictKey(6, 300));
    EXPECT_EQ(ts.reltablespace, 1700u);
    EXPECT_EQ(ts.dbTablespace, 17000u);
}

TEST_F(DictCache, Attributes) {
    write("pg_class.dat", "5|2200|100|t1|0|r|3|100|0|0\n");
    write("pg_attr.dat",
          "5|100|3|c|25|-1|-1|f|f|i|f|f|\n"
          "5|100|1|a|23|-1|4|t|f|i|t|f|\n"
          "5|100|-1|ctid|27|-1|6|t|f|s|f|f|\n"
          "5|100|2|........pg.dropped.2........|0|-1|8|f|t|d|t|f|\n"
          "5|100|4|rolled_back|23|-1|4|f|f|i|t|t|2a000000\n"  // above relnatts 3
          "5|100|1|a|23|-1|4|t|f|i|t|t|07000000\n"            // a later row of column 1
          "5|200|1|x|3000000000|7|-1|\n"                      // old short line
          "5|201|1|y|1043|14|-1\n");
    TableMap tables;
    ToastMap toasts;
    readClassCache(tables, toasts);
    EXPECT_EQ(readAttributeCache(tables), 8);
    const ColumnLayout& cols = tables.at(dictKey(5, 100)).columns();
    ASSERT_EQ(cols.size(), 3u);
    EXPECT_EQ(cols[0].attnum, 1);
    EXPECT_FALSE(cols[0].nullable);
    EXPECT_TRUE(cols[0].attbyval);
    EXPECT_TRUE(cols[0].hasMissing);
    EXPECT_EQ(cols[0].missingValue, std::string("\x07\0\0\0", 4));
    EXPECT_TRUE(cols[1].isDropped());
    EXPECT_EQ(cols[1].attalign, 'd');
    EXPECT_EQ(cols[2].name(), "c");
    EXPECT_TRUE(cols[2].nullable);
    EXPECT_FALSE(cols[2].hasMissing);

    // A relation pg_class.dat lacks gets an entry of OID 0; type OIDs keep 32 bits, and
    // lines without the later fields take the alignment from the length.
    const PgTable& orphan = tables.at(dictKey(5, 200));
    EXPECT_EQ(orphan.PgClass::oid, 0u);
    ASSERT_EQ(orphan.columns().size(), 1u);
    EXPECT_EQ(orphan.columns()[0].atttypid, 3000000000u);
    EXPECT_EQ(orphan.columns()[0].atttypmod, 7);
    EXPECT_EQ(orphan.columns()[0].attalign, 'i');
    EXPECT_TRUE(orphan.columns()[0].nullable);  // no attnotnull field
    EXPECT_EQ(tables.at(dictKey(5, 201)).columns()[0].atttypmod, 14);
}

TEST_F(DictCache, DictionaryLoadAndLookups) {
    write("pg_db.dat", "0|1|template1|6||\n0|16384|shop|6||1663\n0|5|postgres|8||1663\n");
    write("pg_schema.dat", "5|2200|public\n16384|2200|public\n16384|300|Sales\n");
    write("pg_class.dat",
          "16384|2200|400|orders|0|r|1|400|0|0\n"
          "16384|300|401|orders|0|r|1|401|0|0\n"
          "16384|300|402|SYS_EXPORT_TABLE_1|0|r|1|402|0|0\n"
          "16384|300|403|sys_export_table_1|0|r|1|403|0|0\n"
          "16384|300|404|SYS_IMPORT_TABLE|0|r|1|404|0|0\n"
          "5|2200|500|pg_only|0|r|1|500|0|0\n");
    write("pg_attr.dat", "16384|401|1|id|23|-1|4|t|f|i|t|f|\n");
    Dictionary& d = Dictionary::instance();
    ASSERT_TRUE(d.loadFromCache(nullptr));
    EXPECT_EQ(d.currentDatabaseOid, 5u);  // the lowest OID
    EXPECT_NE(d.findTable("public", "pg_only"), nullptr);
    EXPECT_EQ(d.findTable("public", "orders"), nullptr);

    d.currentDatabaseOid = 16384;
    PgTable* orders = d.findTable("SALES", "orders");
    ASSERT_NE(orders, nullptr);
    EXPECT_EQ(orders->oid(), 401u);
    EXPECT_EQ(orders->schemaName(), "Sales");
    EXPECT_EQ(orders->columns().size(), 1u);
    // Both parts are plain names: the table too is found without regard to case.
    EXPECT_EQ(d.findTable("sales", "ORDERS"), orders);
    EXPECT_EQ(d.findTable(NamePart{"Sales", true}, NamePart{"orders", true}).found, orders);
    EXPECT_EQ(d.findTable(NamePart{"sales", true}, NamePart{"orders", true}).found, nullptr);
    EXPECT_EQ(d.findTable(NamePart{"Sales", true}, NamePart{"ORDERS", true}).found, nullptr);
    EXPECT_EQ(d.findTable("", "orders"), nullptr);
    EXPECT_EQ(d.findTable(nullptr, "orders"), nullptr);
    EXPECT_EQ(d.findTableInSchema(2200, "orders")->oid(), 400u);

    std::vector<PgTable*> out;
    EXPECT_EQ(d.tablesOfSchema(out, 300), 3u);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0]->oid(), 401u);
    EXPECT_EQ(out[1]->oid(), 403u);  // lower case is not the prefix
    EXPECT_EQ(out[2]->oid(), 404u);  // the prefix without its last underscore

    // A missing schema file fails the load but keeps the databases and the current database.
    std::filesystem::remove(dictDirectory + "/pg_schema.dat");
    d.currentDatabaseOid = 0;
    EXPECT_FALSE(d.loadFromCache(nullptr));
    EXPECT_EQ(d.databases.size(), 2u);
    EXPECT_EQ(d.currentDatabaseOid, 5u);
    EXPECT_TRUE(d.tables.empty());
}

TEST(Dictionary, ClientEncodingAndUtf8) {
    Dictionary& d = Dictionary::instance();
    d.setClientEncoding(8);  // LATIN1
    EXPECT_EQ(d.clientEncoding, "LATIN1");
    EXPECT_STREQ(std::getenv("PGCLIENTENCODING"), "LATIN1");
    EXPECT_EQ(d.toUtf8("caf\xe9"), "caf\xc3\xa9");
    EXPECT_EQ(d.toUtf8(""), "");

    // The same id again changes nothing, not even the environment.
    setenv("PGCLIENTENCODING", "marker", 1);
    CharsetConverter* before = d.converter.get();
    d.setClientEncoding(8);
    EXPECT_EQ(d.converter.get(), before);
    EXPECT_STREQ(std::getenv("PGCLIENTENCODING"), "marker");

    // One WIN1252 byte can become three bytes of UTF-8.
    d.setClientEncoding(24);  // WIN1252
    EXPECT_EQ(d.clientEncoding, "WIN1252");
    EXPECT_EQ(d.toUtf8("\x80\x80\x80"), "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac");

    d.setClientEncoding(999);
    EXPECT_EQ(d.clientEncoding, "UTF8");
    EXPECT_EQ(d.toUtf8("\xc3\xa9"), "\xc3\xa9");
    EXPECT_EQ(d.toUtf8("\xff\xfe"), "<invalid utf8 str>");
    d.setClientEncoding(6);
}

}  // namespace
}  // namespace vorn::test
