// UNLOAD SCHEMA through the real command, for bench/run.sh: bootstraps the dictionary from a
// stopped data directory, then unloads one schema of the database postgres to TEXT files
// with the given degree and prints the seconds of the unload alone.
//
//   vorn_bench_schema <data dir> <schema> <degree> <export dir> <dict dir>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "export/cmd_export.h"
#include "export/writer_factory.h"

using namespace vorn;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <data dir> <schema> <degree> <export dir> <dict dir>\n",
                     argv[0]);
        return 2;
    }
    Dictionary& d = Dictionary::instance();
    d.setServerVersion(15, 0);
    d.setDataDirectory(argv[1]);
    d.setBlockSize(8192);
    dictDirectory = argv[5];
    std::filesystem::create_directories(dictDirectory);
    mainLog().open(argv[5]);
    unloadLog().open(argv[5]);
    d.generate(nullptr);
    if (!d.loadFromCache(nullptr)) {
        std::fprintf(stderr, "the dictionary did not load\n");
        return 1;
    }
    for (const DatabaseEntry& db : d.databases) {
        if (db.datname == "postgres") {
            d.currentDatabaseOid = db.oid;
            d.setClientEncoding(db.encoding);
        }
    }
    uint32_t schemaOid = 2200;
    CmdExport exporter(&d, &schemaOid);
    exporter.setExportKind(kExportText);
    exporter.setExportPath(argv[4]);
    exporter.setTextDelimiter('|');
    const auto start = std::chrono::steady_clock::now();
    exporter.unloadSchema(argv[2], static_cast<unsigned>(std::stoul(argv[3])));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "seconds %.3f\n", seconds);
    return 0;
}
