#pragma once

// The databases of a fixture in the dictionary, as a bootstrap lists them: the writer factory
// takes the encoding of each table's database from there (export_settings.h).

#include <cstdint>

#include "catalog/dictionary.h"
#include "tests/support/fixture_manifest.h"

namespace vorn::test {

// Replaces the dictionary's database list with the fixture's databases.
inline void listFixtureDatabases(const FixtureManifest& manifest) {
    DatabaseList& databases = Dictionary::instance().databases;
    databases.clear();
    for (const FixtureDatabase& d : manifest.databases) {
        DatabaseEntry entry;
        entry.oid = d.oid;
        entry.encoding = static_cast<int16_t>(d.encoding);
        entry.encodingName = d.encodingName;
        entry.datname = d.name;
        databases.push_back(entry);
    }
}

}  // namespace vorn::test
