// The synthetic 9.x cluster: databases, schemas, relations and columns, the catalogue files
// that hold them, and the cache lines the dictionary generator must make of them.
//
// Every column of every row gets a value that no neighbouring column of the row has (as far
// as bools allow), so a column read one place off shows as a wrong field. Besides the plain
// rows the catalogues hold what the generator has to leave out or choose between:
//   - deleted row versions (xmax committed, or xmax set and not hinted at all),
//   - rows of aborted transactions (xmin hinted invalid),
//   - two versions of one row, both visible by their hint bits: the one with
//     HEAP_XMIN_COMMITTED wins, and between two such the later one in heap order,
//   - pg_attribute rows above the relnatts of their pg_class row,
//   - names with '|', '\\', LF and CR, which the cache files escape,
//   - the same OIDs in two databases.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/catalog/support9x/catalog_9x.h"

namespace vorn::test {
namespace {

using H = HeapTupleBuilder;

constexpr uint32_t kTemplate1Oid = 1;
constexpr uint32_t kTemplate0Oid = 12401;
constexpr uint32_t kPostgresOid = 12406;
constexpr uint32_t kSalesOid = 16384;
constexpr uint32_t kDefaultTablespace = 1663;

constexpr uint32_t kPgCatalog = 11;
constexpr uint32_t kPgToast = 99;
constexpr uint32_t kPublic = 2200;

// ---- visibility ----------------------------------------------------------------------------

void markDeleted(CatalogRow& r, bool xmaxHinted) {
    r.xmax = 5100;
    r.infomask = xmaxHinted ? H::kXminCommitted | H::kXmaxCommitted : H::kXminCommitted;
    r.expected = false;
}

void markAborted(CatalogRow& r) {
    r.xmin = 6200;
    r.infomask = H::kXminInvalid | H::kXmaxInvalid;
    r.expected = false;
}

// Inserted by a transaction whose outcome no hint bit records: visible to the generator,
// but it loses to a version with HEAP_XMIN_COMMITTED.
void markUnhinted(CatalogRow& r) {
    r.xmin = 7300;
    r.infomask = H::kXmaxInvalid;
}

// A number for a column the cache files do not hold, unique per row and column.
int64_t filler(int serial, int column) {
    return 500000 + int64_t{serial} * 100 + column;
}

Bytes aclValue(int serial, size_t items) {
    std::vector<AclItem> list;
    for (size_t i = 0; i < items; ++i)
        list.push_back(
            {static_cast<uint32_t>(16000 + serial + i), 10, static_cast<uint32_t>(0x0F0F + i)});
    return aclArrayContent(list);
}

Bytes optionsValue(int serial) {
    return textArrayContent({"fillfactor=" + std::to_string(50 + serial % 50)});
}

// The variable-length columns at the end of a row, in one of four forms chosen by the
// serial: all NULL; 1-byte headers, the second starting at an unaligned offset; a 1-byte
// header followed by 4-byte ones (zero padding up to 4 in between); a 4-byte header, a
// NULL and a 1-byte header. The first column is an aclitem[], the others text[].
void setTrailing(CatalogRow& r, int serial, const std::vector<std::string>& columns) {
    for (size_t i = 0; i < columns.size(); ++i) {
        const std::string& c = columns[i];
        const bool acl = i == 0;
        Bytes value =
            acl ? aclValue(serial, serial % 4 == 3 ? 2 : 1) : optionsValue(serial + int(i));
        switch (serial % 4) {
            case 0:
                r.setNull(c);
                break;
            case 1:
                i < 2 ? r.setVarlena(c, value, true) : r.setNull(c);
                break;
            case 2:
                r.setVarlena(c, value, i == 0);
                break;
            default:
                i == 1 ? r.setNull(c) : r.setVarlena(c, value, i != 0);
                break;
        }
    }
}

std::string boolField(bool b) {
    return b ? "t" : "f";
}

// ---- rows of each catalogue ----------------------------------------------------------------

struct DatabaseSeed {
    uint32_t oid;
    std::string name;
    int encoding;
    bool isTemplate;
    bool allowConnections;
    int connectionLimit;
};

CatalogRow databaseRow(const DatabaseSeed& s, int serial) {
    CatalogRow r;
    r.oid = s.oid;
    r.setName("datname", s.name)
        .set("datdba", 10)
        .set("encoding", s.encoding)
        .setName("datcollate", "en_US.UTF-8")
        .setName("datctype", "ctype of " + s.name.substr(0, 40))
        .set("datistemplate", s.isTemplate)
        .set("datallowconn", s.allowConnections)
        .set("datconnlimit", s.connectionLimit)
        .set("datlastsysoid", 12000 + serial)
        .set("datfrozenxid", 1800 + serial)
        .set("datminmxid", 2 + serial)
        .set("dattablespace", kDefaultTablespace);
    setTrailing(r, serial, {"datacl"});
    return r;
}

CatalogRow namespaceRow(uint32_t oid, const std::string& name, int serial) {
    CatalogRow r;
    r.oid = oid;
    r.setName("nspname", name).set("nspowner", 10 + serial);
    setTrailing(r, serial, {"nspacl"});
    return r;
}

struct ClassSeed {
    uint32_t oid;
    std::string name;
    uint32_t nameSpace;
    uint32_t relType;
    char kind;
    int16_t natts;
    uint32_t fileNode;
    uint32_t toastRelid;
    uint32_t tablespace;
    char persistence = 'p';
    bool hasOids = false;
};

CatalogRow classRow(const ClassSeed& s, int serial) {
    static const char kReplicaIdentity[] = {'d', 'n', 'f', 'i'};
    CatalogRow r;
    r.oid = s.oid;
    r.setName("relname", s.name)
        .set("relnamespace", s.nameSpace)
        .set("reltype", s.relType)
        .set("reloftype", filler(serial, 1))
        .set("relowner", filler(serial, 2))
        .set("relam", filler(serial, 3))
        .set("relfilenode", s.fileNode)
        .set("reltablespace", s.tablespace)
        .set("relpages", filler(serial, 4))
        .setReal("reltuples", double(filler(serial, 5)) + 0.5)
        .set("relallvisible", filler(serial, 6))
        .set("reltoastrelid", s.toastRelid)
        .set("reltoastidxid", filler(serial, 7))
        .set("relhasindex", s.kind == 'r' || s.kind == 't')
        .set("relisshared", 0)
        .set("relistemp", s.persistence == 't')
        .set("relpersistence", s.persistence)
        .set("relkind", s.kind)
        .set("relnatts", s.natts)
        .set("relchecks", 1000 + serial)
        .set("relhasoids", s.hasOids)
        .set("relhaspkey", serial % 2)
        .set("relhasexclusion", 1 - serial % 2)
        .set("relhasrules", s.kind == 'v')
        .set("relhastriggers", serial % 3 == 0)
        .set("relhassubclass", s.kind == 'p')
        .set("relrowsecurity", serial % 2)
        .set("relforcerowsecurity", serial % 4 == 1)
        .set("relispopulated", s.kind != 'i')
        .set("relreplident", kReplicaIdentity[serial % 4])
        .set("relfrozenxid", filler(serial, 8))
        .set("relminmxid", filler(serial, 9));
    setTrailing(r, serial, {"relacl", "reloptions"});
    return r;
}

struct TypeFacts {
    uint32_t typid;
    int16_t len;
    int32_t typmod;
    bool byval;
    char align;
    char storage;
    uint32_t collation;  // 100 (the default collation) for collatable types
};

const TypeFacts kInt4{23, 4, -1, true, 'i', 'p', 0};
const TypeFacts kInt8{20, 8, -1, true, 'd', 'p', 0};
const TypeFacts kInt2{21, 2, -1, true, 's', 'p', 0};
const TypeFacts kBool{16, 1, -1, true, 'c', 'p', 0};
const TypeFacts kText{25, -1, -1, false, 'i', 'x', 100};
const TypeFacts kFloat8{701, 8, -1, true, 'd', 'p', 0};
const TypeFacts kTimestampTz{1184, 8, -1, true, 'd', 'p', 0};
const TypeFacts kName{19, 64, -1, false, 'c', 'p', 0};
const TypeFacts kOid{26, 4, -1, true, 'i', 'p', 0};
const TypeFacts kBytea{17, -1, -1, false, 'i', 'x', 0};
const TypeFacts kChar{18, 1, -1, true, 'c', 'p', 0};
const TypeFacts kTid{27, 6, -1, false, 's', 'p', 0};
const TypeFacts kXid{28, 4, -1, true, 'i', 'p', 0};
const TypeFacts kCid{29, 4, -1, true, 'i', 'p', 0};

TypeFacts varchar(int n) {
    return {1043, -1, n + 4, false, 'i', 'x', 100};
}
TypeFacts bpchar(int n) {
    return {1042, -1, n + 4, false, 'i', 'x', 100};
}
TypeFacts numeric(int precision, int scale) {
    return {1700, -1, ((precision << 16) | scale) + 4, false, 'i', 'm', 0};
}

// ---- one database --------------------------------------------------------------------------

// Collects a database's catalogue rows and the cache lines expected from them.
class DatabaseWriter {
  public:
    DatabaseWriter(uint32_t dbOid, Synthetic9xCatalogs& out) : dbOid_(dbOid), out_(out) {}

    CatalogRow& schema(uint32_t oid, const std::string& name) {
        namespaces_.push_back(namespaceRow(oid, name, serial_++));
        return namespaces_.back();
    }

    CatalogRow& relation(const ClassSeed& s) {
        classes_.push_back(classRow(s, serial_++));
        return classes_.back();
    }

    CatalogRow& column(uint32_t relid, int16_t attnum, const std::string& name, const TypeFacts& t,
                       bool notNull) {
        const int serial = serial_++;
        CatalogRow r;
        r.set("attrelid", relid)
            .setName("attname", name)
            .set("atttypid", t.typid)
            .set("attstattarget", 2000 + serial)
            .set("attlen", t.len)
            .set("attnum", attnum)
            .set("attndims", 200 + serial % 50)
            .set("attcacheoff", 3000 + serial)
            .set("atttypmod", t.typmod)
            .set("attbyval", t.byval)
            .set("attstorage", t.storage)
            .set("attalign", t.align)
            .set("attnotnull", notNull)
            .set("atthasdef", serial % 2)
            .set("attisdropped", 0)
            .set("attislocal", serial % 3 != 0)
            .set("attinhcount", 400 + serial % 50)
            .set("attcollation", t.collation);
        setTrailing(r, serial, {"attacl", "attoptions", "attfdwoptions"});
        attributes_.push_back(std::move(r));
        return attributes_.back();
    }

    // A column dropped by ALTER TABLE: the type OID becomes 0 and the name a placeholder;
    // length, alignment and by-value stay those of the old type.
    CatalogRow& droppedColumn(uint32_t relid, int16_t attnum, const TypeFacts& oldType) {
        CatalogRow& r =
            column(relid, attnum, "........pg.dropped." + std::to_string(attnum) + "........",
                   oldType, false);
        r.set("atttypid", 0).set("attisdropped", 1).set("attstattarget", 0).set("attcollation", 0);
        return r;
    }

    // The system columns every heap relation has (oid only WITH OIDS), all NOT NULL.
    void systemColumns(uint32_t relid, bool withOids) {
        column(relid, -1, "ctid", kTid, true);
        if (withOids)
            column(relid, -2, "oid", kOid, true);
        column(relid, -3, "xmin", kXid, true);
        column(relid, -4, "cmin", kCid, true);
        column(relid, -5, "xmax", kXid, true);
        column(relid, -6, "cmax", kCid, true);
        column(relid, -7, "tableoid", kOid, true);
    }

    void expectAbsent(const std::string& schema, const std::string& name) {
        out_.absentTables.emplace_back(schema, name);
    }

    // A table of this database that the loaded cache must describe, from the kept rows.
    void expectTable(const std::string& schema, const std::string& name, uint32_t relid) {
        tablesToCheck_.push_back({schema, name, relid});
    }

    void write(const std::string& dataDir, int minor, uint16_t blockSize) {
        const std::string dir = dataDir + "/base/" + std::to_string(dbOid_);
        writeCatalogue(dir, pgClassLayout9x(minor), classes_, blockSize);
        writeCatalogue(dir, pgAttributeLayout9x(minor), attributes_, blockSize);
        writeCatalogue(dir, pgNamespaceLayout9x(minor), namespaces_, blockSize);
        std::ofstream(dir + "/PG_VERSION") << "9." << minor << "\n";

        const std::string db = std::to_string(dbOid_);
        for (const CatalogRow& r : namespaces_)
            if (r.expected)
                out_.schemaLines.push_back(db + "|" + std::to_string(r.oid) + "|" +
                                           escapeDictField(r.text("nspname")));
        for (const CatalogRow& r : classes_)
            if (r.expected)
                out_.classLines.push_back(
                    db + "|" + std::to_string(r.number("relnamespace")) + "|" +
                    std::to_string(r.oid) + "|" + escapeDictField(r.text("relname")) + "|" +
                    std::to_string(r.number("reltype")) + "|" + char(r.number("relkind")) + "|" +
                    std::to_string(r.number("relnatts")) + "|" +
                    std::to_string(r.number("relfilenode")) + "|" +
                    std::to_string(r.number("reltoastrelid")) + "|" +
                    std::to_string(r.number("reltablespace")));
        for (const CatalogRow& r : attributes_)
            if (r.expected)
                out_.attrLines.push_back(
                    db + "|" + std::to_string(r.number("attrelid")) + "|" +
                    std::to_string(r.number("attnum")) + "|" + escapeDictField(r.text("attname")) +
                    "|" + std::to_string(r.number("atttypid")) + "|" +
                    std::to_string(r.number("atttypmod")) + "|" +
                    std::to_string(r.number("attlen")) + "|" + boolField(r.number("attnotnull")) +
                    "|" + boolField(r.number("attisdropped")) + "|" + char(r.number("attalign")) +
                    "|" + boolField(r.number("attbyval")) + "|||");

        for (const auto& t : tablesToCheck_)
            out_.tables.push_back({t.schema, t.name, keptColumns(t.relid)});
    }

  private:
    struct TableToCheck {
        std::string schema;
        std::string name;
        uint32_t relid;
    };

    void writeCatalogue(const std::string& dir, const CatalogLayout& layout,
                        const std::vector<CatalogRow>& rows, uint16_t blockSize) {
        const std::vector<Bytes> pages = catalogPages(layout, rows, blockSize);
        writeRelation(dir, layout.relationOid, pages);
        out_.pagesWritten["base/" + std::to_string(dbOid_) + "/" +
                          std::to_string(layout.relationOid)] = pages.size();
    }

    std::vector<ColumnDef> keptColumns(uint32_t relid) const {
        std::vector<ColumnDef> columns;
        for (const CatalogRow& r : attributes_) {
            if (!r.expected || r.number("attrelid") != relid || r.number("attnum") <= 0)
                continue;
            ColumnDef c;
            c.attnum = static_cast<int16_t>(r.number("attnum"));
            c.setName(r.text("attname"));
            c.atttypid = static_cast<uint32_t>(r.number("atttypid"));
            c.atttypmod = static_cast<int32_t>(r.number("atttypmod"));
            c.attlen = static_cast<int32_t>(r.number("attlen"));
            c.nullable = r.number("attnotnull") == 0;
            c.attalign = char(r.number("attalign"));
            c.attbyval = r.number("attbyval") != 0;
            columns.push_back(c);
        }
        std::sort(columns.begin(), columns.end(),
                  [](const ColumnDef& a, const ColumnDef& b) { return a.attnum < b.attnum; });
        return columns;
    }

    uint32_t dbOid_;
    Synthetic9xCatalogs& out_;
    int serial_ = 0;
    std::vector<CatalogRow> namespaces_;
    std::vector<CatalogRow> classes_;
    std::vector<CatalogRow> attributes_;
    std::vector<TableToCheck> tablesToCheck_;
};

// The lowest non-template database, the one a loaded cache starts in: every kind of row
// and every case of the row filtering.
void fillPostgres(DatabaseWriter& w) {
    const uint32_t kMySchema = 16385, kOddSchema = 16387, kRenamedSchema = 16388;
    w.schema(kPgCatalog, "pg_catalog");
    w.schema(kPgToast, "pg_toast");
    w.schema(kPublic, "public");
    w.schema(kMySchema, "myschema");
    w.schema(kOddSchema, "sch|em\\a\nx");
    // Renamed: both versions committed, the later one in heap order is the current one.
    w.schema(kRenamedSchema, "old_name").expected = false;
    w.schema(kRenamedSchema, "renamed_schema");
    markAborted(w.schema(16389, "aborted_schema"));
    markDeleted(w.schema(16391, "gone_schema"), false);

    const uint32_t kMyTable = 16400, kToast = 16403, kToastIndex = 16405, kPkey = 16406,
                   kView = 16410, kOddTable = 16420, kWide = 16430, kShrunk = 16440,
                   kPartitioned = 16450, kGone = 16460, kAborted = 16470;
    w.relation({kMyTable, "mytable", kMySchema, 16402, 'r', 8, 16501, kToast, 0});
    w.relation({kToast, "pg_toast_16400", kPgToast, 16404, 't', 3, kToast, 0, 0});
    w.relation({kToastIndex, "pg_toast_16400_index", kPgToast, 0, 'i', 2, kToastIndex, 0, 0});
    w.relation({kPkey, "mytable_pkey", kMySchema, 0, 'i', 1, 16507, 0, 0});
    w.relation({kView, "myview", kMySchema, 16412, 'v', 2, 0, 0, 0});
    w.relation(
        {kOddTable, "pipe|back\\slash", kOddSchema, 16422, 'r', 2, kOddTable, 0, 16600, 'u'});
    w.relation({kWide, "wide", kPublic, 16432, 'r', 120, kWide, 0, 0, 'p', true});
    w.relation({kShrunk, "shrunk", kPublic, 16442, 'r', 2, 16441, 0, 0, 't'});
    // Kind 'p' first exists in 10; here it shows that the kind is copied as stored.
    w.relation({kPartitioned, "part|itioned", kPublic, 16452, 'p', 1, 0, 0, 0});
    markDeleted(w.relation({kGone, "gone", kMySchema, 16462, 'r', 1, kGone, 0, 0}), true);
    markAborted(w.relation({kAborted, "aborted_table", kMySchema, 16472, 'r', 1, kAborted, 0, 0}));
    // A later version of the view with no hint bits (an ALTER VIEW still in progress, or
    // aborted without hinting): the earlier, committed version is kept, and with it
    // relnatts 2, so the third column below is left out.
    CatalogRow& newView = w.relation({kView, "myview_new", kMySchema, 16412, 'v', 3, 0, 0, 0});
    markUnhinted(newView);
    newView.expected = false;

    w.systemColumns(kMyTable, false);
    w.column(kMyTable, 1, "id", kInt4, true);
    w.droppedColumn(kMyTable, 2, kInt8);
    w.column(kMyTable, 3, "label", varchar(20), false).expected = false;  // superseded below
    w.column(kMyTable, 4, "amount", numeric(10, 2), false);
    w.column(kMyTable, 5, "flag", kBool, true);
    w.column(kMyTable, 6, "created", kTimestampTz, false);
    w.column(kMyTable, 7, "odd|name\\x\ny\rz", kText, true);
    w.column(kMyTable, 8, "small", kInt2, false);

    w.systemColumns(kToast, false);
    w.column(kToast, 1, "chunk_id", kOid, true);
    w.column(kToast, 2, "chunk_seq", kInt4, true);
    w.column(kToast, 3, "chunk_data", kBytea, true);
    w.column(kToastIndex, 1, "chunk_id", kOid, false);
    w.column(kToastIndex, 2, "chunk_seq", kInt4, false);
    w.column(kPkey, 1, "id", kInt4, false);

    w.column(kView, 1, "id", kInt4, false);
    w.column(kView, 2, "label", varchar(40), false);
    w.column(kView, 3, "extra", kInt4, false).expected = false;  // above relnatts

    w.systemColumns(kOddTable, false);
    w.column(kOddTable, 1, "a|b", kInt2, true);
    w.column(kOddTable, 2, "new\nline\\", kText, false);

    // Enough rows that pg_attribute takes several pages.
    const TypeFacts wideTypes[] = {kInt4, kText,     kInt8,       kBool,
                                   kInt2, kFloat8,   varchar(30), numeric(12, 3),
                                   kChar, bpchar(5), kName,       kTimestampTz};
    w.systemColumns(kWide, true);
    for (int16_t n = 1; n <= 120; ++n) {
        char name[8];
        std::snprintf(name, sizeof name, "c%03d", n);
        w.column(kWide, n, name, wideTypes[n % 12], n % 3 == 0);
    }

    w.systemColumns(kShrunk, false);
    w.column(kShrunk, 1, "a", kInt4, true);
    w.column(kShrunk, 2, "b", kText, false);
    w.column(kShrunk, 3, "c", kInt4, false).expected = false;  // above relnatts

    w.column(kPartitioned, 1, "k", kInt4, true);

    const uint32_t kMoved = 16480;
    w.relation({kMoved, "moved", kRenamedSchema, 16482, 'r', 1, kMoved, 0, 0});
    w.systemColumns(kMoved, false);
    w.column(kMoved, 1, "m", kInt4, false);

    CatalogRow& goneColumn = w.column(kGone, 1, "x", kInt4, false);
    markDeleted(goneColumn, false);
    markDeleted(w.column(kGone, -1, "ctid", kTid, true), true);
    markAborted(w.column(kAborted, 1, "y", kInt4, false));
    markAborted(w.column(kAborted, -1, "ctid", kTid, true));

    // Later versions of two of mytable's columns, on the last page: "label" committed again
    // with a new type modifier (the later committed version wins), "amount" unhinted (the
    // earlier committed version wins).
    w.column(kMyTable, 3, "label", varchar(40), false);
    CatalogRow& newAmount = w.column(kMyTable, 4, "amount_new", numeric(20, 4), true);
    markUnhinted(newAmount);
    newAmount.expected = false;

    w.expectTable("myschema", "mytable", kMyTable);
    w.expectTable("sch|em\\a\nx", "pipe|back\\slash", kOddTable);
    w.expectTable("public", "wide", kWide);
    w.expectTable("public", "shrunk", kShrunk);
    w.expectTable("renamed_schema", "moved", kMoved);
    w.expectAbsent("myschema", "gone");
    w.expectAbsent("myschema", "aborted_table");
    w.expectAbsent("myschema", "myview_new");
    w.expectAbsent("old_name", "moved");
    w.expectAbsent("sales", "orders");  // only in the other database
}

// A second database reusing OIDs of the first, with a CR in names.
void fillSales(DatabaseWriter& w) {
    const uint32_t kSalesSchema = 16385, kReports = 16386;
    w.schema(kPgCatalog, "pg_catalog");
    w.schema(kPublic, "public");
    w.schema(kSalesSchema, "sales");
    w.schema(kReports, "r\reports");

    const uint32_t kOrders = 16400, kOrdersPkey = 16405, kSummary = 16410;
    w.relation({kOrders, "orders", kSalesSchema, 16402, 'r', 3, 16400, 0, 0});
    w.relation({kOrdersPkey, "orders_pkey", kSalesSchema, 0, 'i', 1, 16405, 0, 0});
    w.relation({kSummary, "r\rsummary", kReports, 16412, 'v', 2, 0, 0, 0});

    w.systemColumns(kOrders, false);
    w.column(kOrders, 1, "id", kInt8, true);
    w.column(kOrders, 2, "customer", kName, true);
    w.column(kOrders, 3, "r\rnote", kText, false);
    w.column(kOrdersPkey, 1, "id", kInt8, false);
    w.column(kSummary, 1, "customer", kName, false);
    w.column(kSummary, 2, "total", numeric(18, 2), false);
}

}  // namespace

Synthetic9xCatalogs write9xDataDirectory(const std::string& dataDir, int minor,
                                         uint16_t blockSize) {
    if (minor < 0 || minor > 6)
        throw std::invalid_argument("9." + std::to_string(minor) + " is not a 9.x release");
    Synthetic9xCatalogs out;
    out.minor = minor;
    out.currentDatabaseOid = kPostgresOid;
    std::filesystem::create_directories(dataDir + "/global");
    std::ofstream(dataDir + "/PG_VERSION") << "9." << minor << "\n";

    std::vector<CatalogRow> databases;
    int serial = 0;
    auto database = [&](const DatabaseSeed& s) -> CatalogRow& {
        databases.push_back(databaseRow(s, serial++));
        return databases.back();
    };
    database({kTemplate1Oid, "template1", 6, true, true, -1});
    database({kTemplate0Oid, "template0", 6, true, false, -1});
    database({kPostgresOid, "postgres", 6, false, true, -1});
    database({kSalesOid, "sales|db\\x", 8, false, true, 42});
    markDeleted(database({16390, "dropped_db", 6, false, true, -1}), true);
    markAborted(database({16391, "aborted_db", 0, false, true, 7}));
    // A rename not known to have committed: the committed row above stays the database's.
    CatalogRow& renamed = database({kSalesOid, "sales_renamed", 8, false, true, 42});
    markUnhinted(renamed);
    renamed.expected = false;

    const std::vector<Bytes> pages = catalogPages(pgDatabaseLayout9x(minor), databases, blockSize);
    writeRelation(dataDir + "/global", 1262, pages);
    out.pagesWritten["global/1262"] = pages.size();
    for (const CatalogRow& r : databases)
        if (r.expected)
            out.dbLines.push_back("0|" + std::to_string(r.oid) + "|" +
                                  escapeDictField(r.text("datname")) + "|" +
                                  std::to_string(r.number("encoding")) + "||" +
                                  std::to_string(r.number("dattablespace")));

    DatabaseWriter postgres(kPostgresOid, out);
    fillPostgres(postgres);
    postgres.write(dataDir, minor, blockSize);
    DatabaseWriter sales(kSalesOid, out);
    fillSales(sales);
    sales.write(dataDir, minor, blockSize);
    return out;
}

}  // namespace vorn::test
