#pragma once

// A fixture table as the engine sees it: the PgTable (with its TOAST relation) and column
// layout that the dictionary would build from the catalogues, here taken from the fixture
// manifest instead, so that a test can unload it and compare with the server's COPY files.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage_settings.h"
#include "storage/table.h"
#include "tests/support/fixture_manifest.h"

namespace vorn::test {

// The column layout of `table`: pg_attribute's columns (dropped ones with type 0), after the
// system column "oid" for a table WITH OIDS; added columns carry their missing value in
// stored form. Throws std::runtime_error for a missing value of a type it cannot store.
ColumnLayout fixtureLayout(const FixtureTable& table);

// A one-element array as the server prints it ("{42}", "{dflt}", "{\"a b\"}") in the stored
// form the readers give a value of the element type, for int4, text and varchar; nothing for
// other types or text that is no such array.
std::optional<std::string> storedFromArrayText(const std::string& arrayText, uint32_t typeOid);

// Positions in `layout` of the fields of a COPY row: the live user columns, in order.
std::vector<size_t> copyFieldColumns(const ColumnLayout& layout);

// The bytes a manifest gives as hex (names in the database encoding).
std::string bytesFromHex(const std::string& hex);

// Calls visit(database, table) for every table with a file (relkind 'r': a partitioned
// parent has none, its rows are its partitions') of the fixture databases vorn, vorn_latin1
// and vorn_ts, in that order, and returns how many it visited. Throws std::runtime_error
// when the manifest lacks one of those databases.
size_t forEachFixtureTable(
    const FixtureManifest& manifest,
    const std::function<void(const FixtureDatabase&, const FixtureTable&)>& visit);

// Points the storage settings (data directory, block size, server version) at a fixture's
// server with use(), and puts back the ones it found when it goes.
class FixtureServerSettings {
  public:
    FixtureServerSettings();
    ~FixtureServerSettings();
    FixtureServerSettings(const FixtureServerSettings&) = delete;
    FixtureServerSettings& operator=(const FixtureServerSettings&) = delete;

    void use(const FixtureManifest& manifest);

  private:
    std::string savedDirectory_;
    uint16_t savedBlockSize_;
    ServerVersion savedVersion_;
};

// Not copyable or movable: the table points at its TOAST relation.
class FixturePgTable {
  public:
    FixturePgTable(const FixtureDatabase& database, const FixtureTable& table);
    FixturePgTable(const FixturePgTable&) = delete;
    FixturePgTable& operator=(const FixturePgTable&) = delete;

    PgTable& table() { return table_; }

  private:
    PgToastTable toast_;
    PgTable table_;
};

}  // namespace vorn::test
