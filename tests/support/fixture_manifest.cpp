#include "tests/support/fixture_manifest.h"

#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace vorn::test {

namespace {

// property_tree reads a JSON null as a leaf holding the text "null".
bool isNull(const pt::ptree& node) {
    return node.empty() && node.data() == "null";
}

const pt::ptree* child(const pt::ptree& node, const std::string& key) {
    auto found = node.get_child_optional(key);
    if (!found || isNull(*found))
        return nullptr;
    return &*found;
}

uint32_t oidAt(const pt::ptree& node, const std::string& key) {
    const pt::ptree* value = child(node, key);
    return value ? value->get_value<uint32_t>() : 0;
}

char charAt(const pt::ptree& node, const std::string& key) {
    std::string s = node.get<std::string>(key);
    return s.empty() ? 0 : s[0];
}

std::string absolute(const fs::path& base, const std::string& relative) {
    return relative.empty() ? std::string() : (base / relative).string();
}

FixtureColumn readColumn(const pt::ptree& node) {
    FixtureColumn c;
    c.attnum = node.get<int>("attnum");
    c.name = node.get<std::string>("name");
    c.nameHex = node.get<std::string>("name_hex");
    c.typeOid = node.get<uint32_t>("type_oid");
    c.type = node.get<std::string>("type");
    c.len = node.get<int>("len");
    c.align = charAt(node, "align");
    c.byval = node.get<bool>("byval");
    c.typmod = node.get<int32_t>("typmod");
    c.storage = charAt(node, "storage");
    c.dropped = node.get<bool>("dropped");
    const std::string generated = node.get<std::string>("generated", "");
    c.generated = generated.size() == 1 ? generated[0] : 0;
    c.hasMissing = node.get<bool>("has_missing");
    if (const pt::ptree* missing = child(node, "missing_value"))
        c.missingValue = missing->data();
    for (const auto& [form, count] : node.get_child("storage_forms"))
        c.storageForms[form] = count.get_value<int64_t>();
    return c;
}

FixtureTupleStates readTupleStates(const pt::ptree* node) {
    FixtureTupleStates s;
    if (!node)
        return s;  // a partitioned parent has no pages
    s.normal = node->get<int64_t>("normal");
    s.deleted = node->get<int64_t>("deleted");
    s.updated = node->get<int64_t>("updated");
    s.lockedKeyShare = node->get<int64_t>("locked_key_share");
    s.lockedForUpdate = node->get<int64_t>("locked_for_update");
    s.hotUpdated = node->get<int64_t>("hot_updated");
    s.heapOnly = node->get<int64_t>("heap_only");
    s.abortedInsert = node->get<int64_t>("aborted_insert");
    s.frozen = node->get<int64_t>("frozen");
    s.redirect = node->get<int64_t>("redirect");
    s.dead = node->get<int64_t>("dead");
    s.unused = node->get<int64_t>("unused");
    return s;
}

FixtureTable readTable(const pt::ptree& node, const FixtureDatabase& db, const fs::path& dir,
                       const fs::path& dataDir) {
    FixtureTable t;
    t.database = db.name;
    t.databaseOid = db.oid;
    t.oid = node.get<uint32_t>("oid");
    t.schema = node.get<std::string>("schema");
    t.name = node.get<std::string>("name");
    t.nameHex = node.get<std::string>("name_hex");
    t.relkind = charAt(node, "relkind");
    t.relfilenode = node.get<uint32_t>("relfilenode");
    t.tablespace = node.get<uint32_t>("tablespace");
    t.hasOids = node.get<bool>("has_oids");
    if (const pt::ptree* path = child(node, "path"))
        t.relativePath = path->data();
    t.path = absolute(dataDir, t.relativePath);
    t.relpages = node.get<int64_t>("relpages");
    t.blocks = node.get<int64_t>("blocks");
    t.allVisiblePages = node.get<int64_t>("all_visible_pages");
    t.partitionOf = oidAt(node, "partition_of");
    if (const pt::ptree* toast = child(node, "toast")) {
        FixtureToast x;
        x.oid = toast->get<uint32_t>("oid");
        x.relfilenode = toast->get<uint32_t>("relfilenode");
        x.relativePath = toast->get<std::string>("path");
        x.path = absolute(dataDir, x.relativePath);
        x.blocks = toast->get<int64_t>("blocks");
        t.toast = x;
    }
    t.rows = node.get<int64_t>("rows");
    t.copyText = absolute(dir, node.get<std::string>("copy_text"));
    t.copyBinary = absolute(dir, node.get<std::string>("copy_binary"));
    for (const auto& [key, column] : node.get_child("columns"))
        t.columns.push_back(readColumn(column));
    t.tuples = readTupleStates(child(node, "tuples"));
    return t;
}

FixtureAbortedVersions readAbortedVersions(const pt::ptree& node) {
    FixtureAbortedVersions v;
    v.inserted = node.get<int64_t>("inserted");
    v.insertedHinted = node.get<int64_t>("inserted_hinted");
    v.deleted = node.get<int64_t>("deleted");
    v.deletedHinted = node.get<int64_t>("deleted_hinted");
    return v;
}

FixtureVariant readVariant(const pt::ptree& node) {
    FixtureVariant v;
    v.highOids = node.get<bool>("high_oids");
    v.catalogVacuumed = node.get<bool>("catalog_vacuumed");
    v.rolledBackTable = node.get<std::string>("rolled_back_table");
    for (const auto& [key, xid] : node.get_child("rolled_back_xids"))
        v.rolledBackXids.push_back(xid.get_value<uint32_t>());
    v.pgClass = readAbortedVersions(node.get_child("aborted_versions.pg_class"));
    v.pgAttribute = readAbortedVersions(node.get_child("aborted_versions.pg_attribute"));
    v.escapedNameTable = node.get<std::string>("escaped_name_table");
    v.caseTwinTable = node.get<std::string>("case_twin_table");
    return v;
}

}  // namespace

const FixtureColumn* FixtureTable::findColumn(const std::string& columnName) const {
    for (const FixtureColumn& c : columns)
        if (c.name == columnName)
            return &c;
    return nullptr;
}

std::vector<const FixtureColumn*> FixtureTable::liveColumns() const {
    std::vector<const FixtureColumn*> live;
    for (const FixtureColumn& c : columns)
        if (!c.dropped && c.generated == 0)
            live.push_back(&c);
    return live;
}

const FixtureDatabase* FixtureManifest::findDatabase(const std::string& name) const {
    for (const FixtureDatabase& d : databases)
        if (d.name == name)
            return &d;
    return nullptr;
}

const FixtureTablespace* FixtureManifest::findTablespace(const std::string& name) const {
    for (const FixtureTablespace& t : tablespaces)
        if (t.name == name)
            return &t;
    return nullptr;
}

const FixtureTable* FixtureManifest::findTable(const std::string& database,
                                               const std::string& schema,
                                               const std::string& name) const {
    const FixtureDatabase* db = findDatabase(database);
    if (!db)
        return nullptr;
    for (const FixtureTable& t : db->tables)
        if (t.schema == schema && t.name == name)
            return &t;
    return nullptr;
}

const FixtureTable& FixtureManifest::table(const std::string& database, const std::string& schema,
                                           const std::string& name) const {
    if (const FixtureTable* t = findTable(database, schema, name))
        return *t;
    throw std::runtime_error("fixture " + label + " has no table " + database + "." + schema + "." +
                             name);
}

std::vector<std::string> fixtureLabels() {
    return {"deb15", "pg10", "pg11", "pg12", "pg13", "pg14", "pg15", "pg16", "pg17", "pg18",
            // the variant builds
            "deb15v", "pg18v"};
}

FixtureManifest loadFixtureDir(const std::string& fixtureDir) {
    const fs::path dir = fs::absolute(fixtureDir);
    const fs::path file = dir / "manifest.json";
    if (!fs::exists(file))
        throw std::runtime_error("no fixture manifest at " + file.string());
    pt::ptree root;
    try {
        pt::read_json(file.string(), root);
    } catch (const pt::json_parser_error& e) {
        throw std::runtime_error("cannot read fixture manifest " + file.string() + ": " + e.what());
    }

    FixtureManifest m;
    m.label = root.get<std::string>("label");
    m.builderHash = root.get<std::string>("builder_hash");
    m.dir = dir.string();
    m.dataDir = (dir / root.get<std::string>("data_dir")).string();
    m.dictDir = (dir / "dict").string();
    const pt::ptree& server = root.get_child("server");
    m.server.version = server.get<std::string>("version");
    m.server.versionNum = server.get<int>("version_num");
    m.server.major = server.get<int>("major");
    m.server.minor = server.get<int>("minor");
    m.server.blockSize = server.get<uint32_t>("block_size");
    m.server.lz4 = server.get<bool>("lz4");
    m.server.dataChecksums = server.get<bool>("data_checksums");
    m.abortedXid = root.get<uint32_t>("aborted_xid");
    if (const pt::ptree* variant = child(root, "variant"))
        m.variant = readVariant(*variant);

    for (const auto& [key, node] : root.get_child("tablespaces")) {
        FixtureTablespace t;
        t.oid = node.get<uint32_t>("oid");
        t.name = node.get<std::string>("name");
        t.dir = (dir / node.get<std::string>("folder")).string();
        t.versionDir = node.get<std::string>("version_dir");
        m.tablespaces.push_back(t);
    }
    for (const auto& [key, node] : root.get_child("databases")) {
        FixtureDatabase d;
        d.oid = node.get<uint32_t>("oid");
        d.name = node.get<std::string>("name");
        d.encoding = node.get<int>("encoding");
        d.encodingName = node.get<std::string>("encoding_name");
        d.tablespace = node.get<uint32_t>("tablespace");
        if (const pt::ptree* nodes = child(node, "catalog_filenodes")) {
            FixtureCatalogFileNodes n;
            n.pgDatabase = nodes->get<uint32_t>("pg_database");
            n.pgClass = nodes->get<uint32_t>("pg_class");
            n.pgAttribute = nodes->get<uint32_t>("pg_attribute");
            d.catalogFileNodes = n;
        }
        if (const pt::ptree* tables = child(node, "tables")) {
            d.described = true;
            for (const auto& [k, table] : *tables)
                d.tables.push_back(readTable(table, d, dir, m.dataDir));
        }
        m.databases.push_back(std::move(d));
    }
    return m;
}

FixtureManifest loadFixture(const std::string& label) {
    const char* cache = std::getenv("VORN_FIXTURES");
    if (!cache || !*cache)
        throw std::runtime_error(
            "VORN_FIXTURES is not set: run the tests through ctest, which "
            "builds the PostgreSQL fixtures first");
    const fs::path pathFile = fs::path(cache) / (label + ".path");
    std::ifstream in(pathFile.string());
    std::string dir;
    if (!std::getline(in, dir) || dir.empty())
        throw std::runtime_error("no fixture for " + label + ": " + pathFile.string() +
                                 " is missing (the ctest fixture pg_" + label + " builds it)");
    return loadFixtureDir(dir);
}

}  // namespace vorn::test
