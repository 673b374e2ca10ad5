#include "tests/storage/support/fixture_table.h"

#include <cstring>
#include <stdexcept>

namespace vorn::test {

namespace {

void describe(PgClass& rel, const FixtureDatabase& db, uint32_t oid, uint32_t fileNode,
              uint32_t tablespace) {
    rel.dboid = db.oid;
    rel.oid = oid;
    rel.relfilenode = fileNode;
    rel.reltablespace = tablespace;
    rel.dbTablespace = db.tablespace;
}

std::string missingValueBytes(const FixtureColumn& column) {
    const std::string text = column.missingValue.value_or("");
    const std::optional<std::string> bytes = storedFromArrayText(text, column.typeOid);
    if (!bytes)
        throw std::runtime_error("no stored form for the missing value " + text + " of " +
                                 column.name);
    return *bytes;
}

}  // namespace

std::optional<std::string> storedFromArrayText(const std::string& arrayText, uint32_t typeOid) {
    if (arrayText.size() < 2 || arrayText.front() != '{' || arrayText.back() != '}')
        return std::nullopt;
    std::string text = arrayText.substr(1, arrayText.size() - 2);
    if (!text.empty() && text.front() == '"') {
        std::string unquoted;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\' && i + 2 < text.size())
                ++i;
            unquoted += text[i];
        }
        text = unquoted;
    }
    switch (typeOid) {
        case typeoid::kInt4: {
            const int32_t v = std::stoi(text);
            std::string bytes(4, '\0');
            std::memcpy(bytes.data(), &v, 4);
            return bytes;
        }
        case typeoid::kText:
        case typeoid::kVarchar:
            return text;
        default:
            return std::nullopt;
    }
}

std::string bytesFromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

ColumnLayout fixtureLayout(const FixtureTable& t) {
    ColumnLayout layout;
    if (t.hasOids) {
        ColumnDef oid;
        oid.attnum = -2;
        oid.setName("oid");
        oid.atttypid = typeoid::kOid;
        oid.attlen = 4;
        oid.attalign = 'i';
        oid.attbyval = true;
        oid.nullable = false;
        layout.push_back(oid);
    }
    for (const FixtureColumn& c : t.columns) {
        ColumnDef d;
        d.attnum = static_cast<int16_t>(c.attnum);
        d.setName(bytesFromHex(c.nameHex));
        d.atttypid = c.dropped ? 0 : c.typeOid;
        d.atttypmod = c.typmod;
        d.attlen = c.len;
        d.attalign = c.align;
        d.attbyval = c.byval;
        d.attgenerated = c.generated;
        if (c.hasMissing && !c.dropped) {
            d.hasMissing = true;
            d.missingValue = missingValueBytes(c);
        }
        layout.push_back(d);
    }
    return layout;
}

std::vector<size_t> copyFieldColumns(const ColumnLayout& layout) {
    std::vector<size_t> fields;
    for (size_t c = 0; c < layout.size(); ++c)
        if (layout[c].attnum >= 1 && !layout[c].isDropped() && layout[c].attgenerated == 0)
            fields.push_back(c);
    return fields;
}

size_t forEachFixtureTable(
    const FixtureManifest& manifest,
    const std::function<void(const FixtureDatabase&, const FixtureTable&)>& visit) {
    size_t visited = 0;
    for (const char* name : {"vorn", "vorn_latin1", "vorn_ts"}) {
        const FixtureDatabase* db = manifest.findDatabase(name);
        if (db == nullptr)
            throw std::runtime_error(std::string("no database ") + name + " in the manifest");
        for (const FixtureTable& t : db->tables) {
            if (t.relkind != 'r')
                continue;
            visit(*db, t);
            ++visited;
        }
    }
    return visited;
}

FixtureServerSettings::FixtureServerSettings()
    : savedDirectory_(dataDirectory), savedBlockSize_(blockSize), savedVersion_(serverVersion) {}

FixtureServerSettings::~FixtureServerSettings() {
    dataDirectory = savedDirectory_;
    blockSize = savedBlockSize_;
    serverVersion = savedVersion_;
}

void FixtureServerSettings::use(const FixtureManifest& manifest) {
    dataDirectory = manifest.dataDir;
    blockSize = static_cast<uint16_t>(manifest.server.blockSize);
    serverVersion = {static_cast<int16_t>(manifest.server.major),
                     static_cast<int16_t>(manifest.server.minor)};
}

FixturePgTable::FixturePgTable(const FixtureDatabase& db, const FixtureTable& t) {
    describe(table_, db, t.oid, t.relfilenode, t.tablespace);
    table_.setRelname(bytesFromHex(t.nameHex));
    table_.relkind = 'r';
    table_.schemaNameOverride = t.schema;
    if (t.toast) {
        describe(toast_, db, t.toast->oid, t.toast->relfilenode, t.tablespace);
        toast_.relkind = 't';
        table_.reltoastrelid = t.toast->oid;
        table_.toast = &toast_;
    }
    table_.setColumns(fixtureLayout(t));
    table_.relnatts = static_cast<int16_t>(t.columns.size());
}

}  // namespace vorn::test
