#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "shell/completion.h"
#include "shell/console.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

using Names = std::vector<std::string>;

// A dictionary read from hand-written cache files. The current database is "shop" (16384);
// its schema "public" holds tables whose OID order is not alphabetical in any sense, a table
// the dictionary hides (SYS_EXPORT_TABLE_...) and one with a wide name; "sales" has tables of
// its own; "postgres" (5) has a schema and a table that must never be offered while "shop" is
// current.
class Completion : public ::testing::Test {
  protected:
    static constexpr uint32_t kShop = 16384;
    static constexpr uint32_t kPublic = 2200;
    static constexpr uint32_t kSales = 16400;

    void SetUp() override {
        savedDirectory_ = dictDirectory;
        dictDirectory = dir_.path() + "/dict";
        std::filesystem::create_directories(dictDirectory);
        mainLog().open(dir_.path().c_str());
        dir_.writeFile("dict/pg_db.dat",
                       "0|16384|shop|6||1663\n"
                       "0|5|postgres|6||1663\n"
                       "0|16385|ShopArchive|6||1663\n");
        dir_.writeFile("dict/pg_schema.dat",
                       "16384|2200|public\n"
                       "16384|16400|sales\n"
                       "16384|16401|Sales_Archive\n"
                       "5|2200|public\n"
                       "5|16402|salesforce\n");
        dir_.writeFile("dict/pg_class.dat",
                       "16384|2200|16501|sales_order|0|r|1|16501|0|0\n"
                       "16384|2200|16502|WORDS|0|r|1|16502|0|0\n"
                       "16384|2200|16503|orders|0|r|1|16503|0|0\n"
                       "16384|2200|16504|customers|0|p|1|16504|0|0\n"
                       "16384|2200|16505|SYS_EXPORT_TABLE_01|0|r|1|16505|0|0\n"
                       "16384|2200|16506|orders_idx|0|i|1|16506|0|0\n"
                       "16384|2200|16507|客户订单|0|r|1|16507|0|0\n"
                       "16384|16400|16601|returns|0|r|1|16601|0|0\n"
                       "16384|16400|16602|orders|0|r|1|16602|0|0\n"
                       "5|2200|16503|orders_elsewhere|0|r|1|16503|0|0\n");
        dir_.writeFile("dict/pg_attr.dat", "");
        Dictionary& dictionary = Dictionary::instance();
        ASSERT_TRUE(dictionary.loadFromCache(nullptr));
        dictionary.currentDatabaseOid = kShop;
        currentSchemaOid = kPublic;
    }

    void TearDown() override {
        // Leave an empty dictionary to the next test, as a process without dict/ has.
        dictDirectory = dir_.path() + "/none";
        Dictionary::instance().loadFromCache(nullptr);
        Dictionary::instance().currentDatabaseOid = 0;
        currentSchemaOid = 0;
        dictDirectory = savedDirectory_;
    }

    static Names complete(const std::string& typed) {
        UiCompletions out;
        completionCallback(typed.c_str(), &out);
        return out.candidates;
    }

    TempDir dir_;
    std::string savedDirectory_;
};

TEST_F(Completion, CommandWordsInTableOrder) {
    const Names all = {"info",          "bootstrap",    "reload config", "list db",
                       "set db",        "list schema",  "set schema",    "unload database",
                       "unload schema", "unload table", "unload object", "list table",
                       "desc",          "ddl",          "help"};
    EXPECT_EQ(complete(""), all);
    EXPECT_EQ(complete("UN"),
              (Names{"unload database", "unload schema", "unload table", "unload object"}));
    EXPECT_EQ(complete("li"), (Names{"list db", "list schema", "list table"}));
    EXPECT_EQ(complete("Reload C"), (Names{"reload config"}));
    EXPECT_EQ(complete("exit"), Names{});
    EXPECT_EQ(complete("quit"), Names{});
    // A word typed past the command offers neither it nor anything else.
    EXPECT_EQ(complete("helpme"), Names{});
}

TEST_F(Completion, NamesByCommand) {
    struct Case {
        const char* typed;
        Names expected;
    };
    const Case cases[] = {
        // Databases: the whole list, in OID order, matched anywhere without regard to case.
        {"SET DB sh", {"set db shop", "set db ShopArchive"}},
        {"set db ARCH", {"set db ShopArchive"}},
        {"unload db o", {"unload db postgres", "unload db shop", "unload db ShopArchive"}},
        // The command word itself comes first, then every name.
        {"set db", {"set db", "set db postgres", "set db shop", "set db ShopArchive"}},
        {"set\tdb\tsh", {"set db shop", "set db ShopArchive"}},
        // Schemas: only those of the current database.
        {"Set Schema SAL", {"set schema sales", "set schema Sales_Archive"}},
        {"unload schema pub", {"unload schema public"}},
        {"UNLOAD OBJECT arch", {"unload object Sales_Archive"}},
        // Tables of the current schema in OID order; the hidden one and the index are not
        // there.
        {"desc ord", {"desc sales_order", "desc WORDS", "desc orders"}},
        {"DESC ORD", {"desc sales_order", "desc WORDS", "desc orders"}},
        {"ddl CUST", {"ddl customers"}},
        {"desc 客户", {"desc 客户订单"}},
        {"desc SYS", {}},
        {"unload table ord",
         {"unload table sales_order", "unload table WORDS", "unload table orders"}},
        {"Preview Table wor", {"preview table WORDS"}},
        {"undelete table WOR", {"undelete table WORDS"}},
        {"untrunc table cust", {"untrunc table customers"}},
        // A fourth word: the table name is no longer the word being typed.
        {"unload table a b", {}},
        {"unload table ord parallel", {}},
        // With a schema: tables of that schema, the schema kept as typed.
        {"desc public.or", {"desc public.sales_order", "desc public.WORDS", "desc public.orders"}},
        {"desc SALES.ret", {"desc SALES.returns"}},
        {"unload table sales.ord", {"unload table sales.orders"}},
        {"desc public.", {}},
        {"desc salesforce.or", {}},  // a schema of another database
        {"desc nosuch.or", {}},
        // An empty schema part means the current schema, and the name is offered alone.
        {"desc .wor", {"desc WORDS"}},
        // Words no command completes.
        {"list table ord", {}},
        {"info ord", {}},
        {"use sh", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(complete(c.typed), c.expected) << "typed: " << c.typed;
}

TEST_F(Completion, DescWithoutWordOffersEveryTableOfTheCurrentSchema) {
    EXPECT_EQ(complete("desc"), (Names{"desc", "desc sales_order", "desc WORDS", "desc orders",
                                       "desc customers", "desc 客户订单"}));
    // Before a schema is chosen there are no tables to offer.
    currentSchemaOid = 0;
    EXPECT_EQ(complete("desc "), Names{});
    EXPECT_EQ(complete("desc public.w"), (Names{"desc public.WORDS"}));
}

TEST_F(Completion, WordsLongerThanAnyNameMatchNothing) {
    const std::string longWord(300, 'o');
    EXPECT_EQ(complete(longWord), Names{});
    EXPECT_EQ(complete("set db " + longWord), Names{});
    EXPECT_EQ(complete("desc " + longWord), Names{});
    EXPECT_EQ(complete("desc " + longWord + "." + "ord"), Names{});
    EXPECT_EQ(complete("desc public." + longWord), Names{});
}

TEST_F(Completion, NameListsAppendAndCount) {
    Names out = {"kept"};
    EXPECT_EQ(completeDatabaseName("SHOP", out), 2);
    EXPECT_EQ(out, (Names{"kept", "shop", "ShopArchive"}));

    out.clear();
    EXPECT_EQ(completeSchemaName("", out), 3);
    EXPECT_EQ(out, (Names{"public", "sales", "Sales_Archive"}));

    Dictionary::instance().currentDatabaseOid = 5;
    out.clear();
    EXPECT_EQ(completeSchemaName("", out), 2);
    EXPECT_EQ(out, (Names{"public", "salesforce"}));
    out.clear();
    EXPECT_EQ(completeTableName("ord", out), 1);
    EXPECT_EQ(out, (Names{"orders_elsewhere"}));

    EXPECT_EQ(completeTableName("nosuch.", out), 0);
    EXPECT_EQ(out, (Names{"orders_elsewhere"}));
}

// Names that a plain word cannot carry are offered in double quotes, and what is offered is
// read back by the commands' own parser and lookup as the very name listed.
TEST_F(Completion, NamesAreOfferedAsTheCommandsReadThem) {
    Dictionary& d = Dictionary::instance();
    DatabaseEntry second;
    second.oid = 16390;
    second.datname = "Second DB";
    d.databases.push_back(second);
    d.schemas[dictKey(kShop, 16403)] = NamespaceEntry{kShop, 16403, "Sales"};
    auto addTable = [&](uint32_t schema, uint32_t oid, const std::string& name) {
        PgTable& t = d.tables[dictKey(kShop, oid)];
        t.dboid = kShop;
        t.relnamespace = schema;
        t.PgClass::oid = oid;
        t.relkind = 'r';
        t.setRelname(name);
    };
    addTable(kPublic, 16508, "order items");
    addTable(kPublic, 16509, "Orders");  // a twin of orders
    addTable(kPublic, 16510, "say \"hi\"");
    addTable(16403, 16701, "t");

    struct Case {
        const char* typed;
        Names expected;
    };
    const Case cases[] = {
        {"set db sec", {"set db \"Second DB\""}},
        {"set schema sal",
         {"set schema sales", "set schema Sales_Archive", "set schema \"Sales\""}},
        // After an opening quote the case counts.
        {"set schema \"Sa", {"set schema Sales_Archive", "set schema \"Sales\""}},
        // A closed quote too: the name is still matched anywhere.
        {"unload schema \"Sales\"", {"unload schema Sales_Archive", "unload schema \"Sales\""}},
        {"unload table order",
         {"unload table sales_order", "unload table orders", "unload table \"order items\"",
          "unload table \"Orders\""}},
        {"unload table \"order i", {"unload table \"order items\""}},
        {"desc say", {"desc \"say \"\"hi\"\"\""}},
        // A quoted schema, and a plain one that fits sales and Sales: the command would
        // refuse it, so nothing is offered.
        {"desc \"Sales\".", {}},
        {"desc \"Sales\".t", {"desc \"Sales\".t"}},
        {"desc sales.ret", {"desc sales.returns"}},
        {"desc SALES.ret", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(complete(c.typed), c.expected) << "typed: " << c.typed;

    // Each table offered for unload table, read as the command reads it, is the table
    // listed (in OID order).
    const std::vector<std::string> tables = {"sales_order", "WORDS",       "orders", "customers",
                                             "客户订单",    "order items", "Orders", "say \"hi\""};
    const Names offered = complete("unload table ");
    ASSERT_EQ(offered.size(), tables.size());
    for (size_t i = 0; i < tables.size(); ++i) {
        SCOPED_TRACE(offered[i]);
        const TypedTableName name = splitTableName(offered[i].substr(13));
        ASSERT_FALSE(name.hasSchema);
        const PgTable* found = d.findTableInSchema(kPublic, name.table).found;
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->tableName(), tables[i]);
    }
}

TEST(Hint, ByCommandPrefix) {
    struct Case {
        const char* typed;
        const char* hint;  // null: none
    };
    const Case cases[] = {
        {"set db ", " <db_name>"},
        {"SET DB x", " <db_name>"},
        {"set schema ", " [db_name.]<schema_name>"},
        {"list table ", " [<table_substr>]"},
        {"desc ", " [schema.]<table_name>"},
        {"Ddl public.t", " [schema.]<table_name>"},
        {"unload schema s parallel 4", " <schema_name> [parallel <#>]"},
        {"unload table ", " [schema.]<table_name> [parallel <#>]"},
        {"preview table t", " [schema.]<table_name> [limit <#>]"},
        {"unload object ", " <schema_name>"},
        // Only the whole prefix with its blank gives a hint.
        {"set db", nullptr},
        {"desc", nullptr},
        {"unload ", nullptr},
        {"set  db ", nullptr},
        {"", nullptr},
        {"help", nullptr},
    };
    for (const Case& c : cases) {
        int color = -1;
        int bold = 0;
        const char* hint = hintsCallback(c.typed, &color, &bold);
        if (c.hint == nullptr) {
            EXPECT_EQ(hint, nullptr) << "typed: " << c.typed;
            continue;
        }
        ASSERT_NE(hint, nullptr) << "typed: " << c.typed;
        EXPECT_STREQ(hint, c.hint) << "typed: " << c.typed;
        EXPECT_EQ(color, 33) << "typed: " << c.typed;
        EXPECT_EQ(bold, 1) << "typed: " << c.typed;
    }
}

}  // namespace
}  // namespace vorn::test
