#include "tests/support/recovery_fixture.h"

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
const pt::ptree* child(const pt::ptree& node, const std::string& key) {
    auto found = node.get_child_optional(key);
    if (!found || (found->empty() && found->data() == "null"))
        return nullptr;
    return &*found;
}

std::vector<uint32_t> xidList(const pt::ptree& node, const std::string& key) {
    std::vector<uint32_t> xids;
    for (const auto& [k, xid] : node.get_child(key))
        xids.push_back(xid.get_value<uint32_t>());
    return xids;
}

RecoveryVersions readVersions(const pt::ptree& node) {
    RecoveryVersions v;
    v.xmin = node.get<uint32_t>("xmin");
    v.xmax = node.get<uint32_t>("xmax");
    v.xminHint = node.get<std::string>("xmin_hint");
    v.xmaxHint = node.get<std::string>("xmax_hint");
    v.xmaxMulti = node.get<bool>("xmax_multi");
    v.xmaxLockOnly = node.get<bool>("xmax_lock_only");
    v.natts = node.get<int>("natts");
    if (const pt::ptree* members = child(node, "members")) {
        for (const auto& [key, member] : *members)
            v.members.push_back({member.get<uint32_t>("xid"), member.get<std::string>("mode")});
    }
    v.count = node.get<int64_t>("count");
    v.minId = node.get<int32_t>("min_id");
    v.maxId = node.get<int32_t>("max_id");
    v.firstBlock = node.get<int64_t>("first_block");
    v.lastBlock = node.get<int64_t>("last_block");
    return v;
}

RecoveryTable readTable(const pt::ptree& node, const fs::path& dir, const fs::path& dataDir) {
    RecoveryTable t;
    t.name = node.get<std::string>("name");
    t.oid = node.get<uint32_t>("oid");
    t.relfilenode = node.get<uint32_t>("relfilenode");
    t.relativePath = node.get<std::string>("path");
    t.path = (dataDir / t.relativePath).string();
    const std::string persistence = node.get<std::string>("persistence");
    t.persistence = persistence.empty() ? 'p' : persistence[0];
    t.initFork = node.get<bool>("init_fork");
    t.blocks = node.get<int64_t>("blocks");
    for (const auto& [key, segment] : node.get_child("segments"))
        t.segments.push_back({segment.get<uint32_t>("number"), segment.get<int64_t>("size")});
    if (const pt::ptree* toast = child(node, "toast")) {
        FixtureToast x;
        x.oid = toast->get<uint32_t>("oid");
        x.relfilenode = toast->get<uint32_t>("relfilenode");
        x.relativePath = toast->get<std::string>("path");
        x.path = (dataDir / x.relativePath).string();
        x.blocks = toast->get<int64_t>("blocks");
        t.toast = x;
    }
    if (const pt::ptree* rows = child(node, "rows")) {
        t.rows = rows->get_value<int64_t>();
        t.oracleText = (dir / node.get<std::string>("oracle_text")).string();
        t.oracleColumns = (dir / node.get<std::string>("oracle_columns")).string();
    } else {
        t.rows = -1;
    }
    for (const auto& [key, column] : node.get_child("columns"))
        t.columns.push_back(column.data());
    if (const pt::ptree* file = child(node, "file_text")) {
        t.fileText = (dir / file->data()).string();
        t.fileRows = node.get<int64_t>("file_rows");
    }
    t.committedXids = xidList(node, "committed_xids");
    t.rolledBackXids = xidList(node, "rolled_back_xids");
    t.inFlightXids = xidList(node, "in_flight_xids");

    const pt::ptree& tuples = node.get_child("tuples");
    t.tuples.linePointers = tuples.get<int64_t>("line_pointers");
    t.tuples.normal = tuples.get<int64_t>("normal");
    if (const pt::ptree* last = child(tuples, "last_block"))
        t.tuples.lastBlock = last->get_value<int64_t>();
    if (const pt::ptree* longest = child(tuples, "max_len"))
        t.tuples.maxLength = longest->get_value<int64_t>();
    t.tuples.xminUnhinted = tuples.get<int64_t>("xmin_unhinted");
    t.tuples.xmaxUnhinted = tuples.get<int64_t>("xmax_unhinted");
    t.tuples.xmaxMultiUpdaters = tuples.get<int64_t>("xmax_multi_updaters");
    for (const auto& [key, versions] : node.get_child("versions"))
        t.versions.push_back(readVersions(versions));
    return t;
}

RecoveryCatalogVersions readCatalogVersions(const pt::ptree& node) {
    RecoveryCatalogVersions v;
    v.inserted = node.get<int64_t>("inserted");
    v.insertedUnhinted = node.get<int64_t>("inserted_unhinted");
    v.deleted = node.get<int64_t>("deleted");
    v.deletedUnhinted = node.get<int64_t>("deleted_unhinted");
    return v;
}

RecoveryCluster readCluster(const pt::ptree& node, const fs::path& dir) {
    RecoveryCluster c;
    const fs::path dataDir = dir / node.get<std::string>("data_dir");
    c.dataDir = dataDir.string();
    c.oracleDir = (dir / node.get<std::string>("oracle_dir")).string();
    c.oracleTables = (dir / node.get<std::string>("oracle_tables")).string();
    c.database = node.get<std::string>("database");
    c.databaseOid = node.get<uint32_t>("database_oid");
    c.state = node.get<std::string>("state");
    for (const auto& [step, xid] : node.get_child("xids"))
        c.xids[step] = xid.get_value<uint32_t>();
    for (const auto& [key, table] : node.get_child("tables"))
        c.tables.push_back(readTable(table, dir, dataDir));
    if (const pt::ptree* catalogs = child(node, "catalog_versions")) {
        for (const auto& [catalogue, versions] : *catalogs) {
            RecoveryCatalog& catalog = c.catalogVersions[catalogue];
            catalog.total = readCatalogVersions(versions);
            for (const auto& [step, byStep] : versions.get_child("by_step"))
                catalog.byStep[step] = readCatalogVersions(byStep);
        }
    }
    if (const pt::ptree* checkpoint = child(node, "checkpoint")) {
        RecoveryCheckpoint x;
        x.time = checkpoint->get<int64_t>("time");
        x.timeText = checkpoint->get<std::string>("time_text");
        x.lsn = checkpoint->get<std::string>("lsn");
        x.redoLsn = checkpoint->get<std::string>("redo_lsn");
        c.checkpoint = x;
    }
    if (const pt::ptree* temp = child(node, "temp_table")) {
        RecoveryTempTable x;
        x.name = temp->get<std::string>("name");
        x.oid = temp->get<uint32_t>("oid");
        x.relfilenode = temp->get<uint32_t>("relfilenode");
        x.schema = temp->get<std::string>("schema");
        x.relativePath = temp->get<std::string>("path");
        x.fileName = fs::path(x.relativePath).filename().string();
        x.path = (dataDir / x.relativePath).string();
        x.rows = temp->get<int64_t>("rows");
        c.tempTable = x;
    }
    if (const pt::ptree* control = child(node, "control"))
        c.oldestXid = control->get<uint32_t>("oldest_xid");
    c.xidAdvance = node.get<std::string>("xid_advance", "");
    c.grownBlocks = node.get<int64_t>("grown_blocks", 0);
    return c;
}

}  // namespace

const RecoveryTable* RecoveryCluster::findTable(const std::string& name) const {
    for (const RecoveryTable& t : tables)
        if (t.name == name)
            return &t;
    return nullptr;
}

const RecoveryTable& RecoveryCluster::table(const std::string& name) const {
    if (const RecoveryTable* t = findTable(name))
        return *t;
    throw std::runtime_error("the recovery fixture's " + dataDir + " has no table " + name);
}

uint32_t RecoveryCluster::xid(const std::string& step) const {
    auto found = xids.find(step);
    if (found == xids.end())
        throw std::runtime_error("the recovery fixture's " + dataDir + " has no xid for " + step);
    return found->second;
}

std::vector<std::string> recoveryFixtureLabels() {
    return {"deb15", "pg10", "pg18"};
}

RecoveryFixture loadRecoveryFixtureDir(const std::string& fixtureDir) {
    const fs::path dir = fs::absolute(fixtureDir);
    const fs::path file = dir / "manifest.json";
    if (!fs::exists(file))
        throw std::runtime_error("no recovery fixture manifest at " + file.string());
    pt::ptree root;
    try {
        pt::read_json(file.string(), root);
    } catch (const pt::json_parser_error& e) {
        throw std::runtime_error("cannot read recovery fixture manifest " + file.string() + ": " +
                                 e.what());
    }

    try {
        RecoveryFixture f;
        f.label = root.get<std::string>("label");
        f.builderHash = root.get<std::string>("builder_hash");
        f.dir = dir.string();
        const pt::ptree& server = root.get_child("server");
        f.server.version = server.get<std::string>("version");
        f.server.versionNum = server.get<int>("version_num");
        f.server.major = server.get<int>("major");
        f.server.minor = server.get<int>("minor");
        f.server.blockSize = server.get<uint32_t>("block_size");
        f.server.lz4 = server.get<bool>("lz4");
        f.server.dataChecksums = server.get<bool>("data_checksums");
        f.clean = readCluster(root.get_child("clean"), dir);
        f.crash = readCluster(root.get_child("crash"), dir);
        f.xact = readCluster(root.get_child("xact"), dir);
        f.shrunk = readCluster(root.get_child("shrunk"), dir);
        f.cleanNoXactDir = (dir / root.get<std::string>("clean_noxact.data_dir")).string();
        f.cleanNoMultiDir = (dir / root.get<std::string>("clean_nomulti.data_dir")).string();
        f.xactLostOldestDir = (dir / root.get<std::string>("xact_lost_oldest.data_dir")).string();
        f.xactLostNewestDir = (dir / root.get<std::string>("xact_lost_newest.data_dir")).string();
        return f;
    } catch (const pt::ptree_error& e) {
        throw std::runtime_error("recovery fixture manifest " + file.string() + ": " + e.what());
    }
}

std::optional<RecoveryFixture> findRecoveryFixture(const std::string& label, std::string* why) {
    auto absent = [&](const std::string& reason) -> std::optional<RecoveryFixture> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const char* cache = std::getenv("VORN_FIXTURES");
    if (!cache || !*cache)
        return absent(
            "VORN_FIXTURES is not set: run the tests through ctest, which builds the "
            "recovery fixtures first (pg_recovery)");
    const fs::path pathFile = fs::path(cache) / ("recovery-" + label + ".path");
    std::ifstream in(pathFile.string());
    std::string dir;
    if (!std::getline(in, dir) || dir.empty())
        return absent("no recovery fixture for " + label + ": " + pathFile.string() +
                      " is missing (the ctest test recovery_build_" + label + " builds it)");
    if (!fs::exists(fs::path(dir) / "manifest.json"))
        return absent("no recovery fixture for " + label + ": " + pathFile.string() + " names " +
                      dir + ", which holds no manifest.json");
    return loadRecoveryFixtureDir(dir);
}

}  // namespace vorn::test
