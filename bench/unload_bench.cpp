// Unload of one relation: every page read, every tuple decoded into column batches, TOAST
// values fetched and decompressed, and the rows handed either to a writer that only counts
// them (decode only) or, with --export, to the export writer of that format, which writes
// the data file into the given directory or, for db, streams the rows into the table
// public.bench of the target database of the connect string. Prints rows, heap bytes,
// seconds and GB/s of heap (and, for the file formats, the data file's bytes).
//
//   vorn_bench_unload [--export text|binary <directory> | --export db <connect string>]
//                     <data directory> <relation file written by bench/run.sh> [block size]
//
// The relation file holds one "relation" line and one "column" line per attribute:
//   relation <dboid> <oid> <relfilenode> <dbtablespace> <toast oid> <toast relfilenode>
//   column <attnum> <atttypid> <attlen> <attalign> <attbyval t|f> <atttypmod> <attname>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "export/export_settings.h"
#include "export/libpq_loader.h"
#include "export/writer_factory.h"
#include "storage/data_writer.h"
#include "storage/storage_settings.h"
#include "storage/table.h"

namespace {

using namespace vorn;

class CountingWriter : public IDataWriter {
  public:
    void open() override {}
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override {
        // Touch every value's length so the decode cannot be optimised away.
        for (const auto& column : *batch)
            for (uint32_t r = 0; r < rows; ++r)
                checksum_ += static_cast<uint64_t>(column.lengths[r]);
        rows_ += rows;
        return rows;
    }
    void finish() override {}
    void addBlocks(uint64_t n) override { blocks_ += n; }
    uint64_t blocks() override { return blocks_; }
    void addBytes(uint64_t n) override { bytes_ += n; }
    uint64_t bytes() override { return bytes_; }
    void addRows(uint64_t) override {}
    uint64_t rows() override { return rows_; }
    void appendMessage(const std::string& text) override { messages_ += "\n" + text; }
    std::string messages() override { return messages_; }
    uint64_t checksum() const { return checksum_; }

  private:
    uint64_t blocks_ = 0, bytes_ = 0, rows_ = 0, checksum_ = 0;
    std::string messages_;
};

}  // namespace

int main(int argc, char** argv) {
    int format = 0;  // 0: decode only
    if (argc > 3 && std::string(argv[1]) == "--export") {
        const std::string name = argv[2];
        format = name == "text"     ? kExportText
                 : name == "binary" ? kExportBinary
                 : name == "db"     ? kExportDb
                                    : -1;
        if (format == kExportDb) {
            targetConnectString = argv[3];
            if (initLibpq(nullptr) != 0) {
                std::fprintf(stderr, "%s\n", libpqLoadError().c_str());
                return 2;
            }
        } else {
            exportDirectory = argv[3];
        }
        argv += 3;
        argc -= 3;
    }
    if (argc < 3 || format < 0) {
        std::fprintf(stderr,
                     "usage: %s [--export text|binary <directory> | --export db <connect "
                     "string>] <data directory> <relation file> [block size]\n",
                     argv[0]);
        return 2;
    }
    dataDirectory = argv[1];
    if (argc > 3)
        blockSize = static_cast<uint16_t>(std::stoi(argv[3]));

    PgTable table;
    PgToastTable toast;
    ColumnLayout columns;
    std::ifstream in(argv[2]);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "relation") {
            uint32_t toastOid = 0, toastNode = 0;
            fields >> table.dboid >> table.PgClass::oid >> table.relfilenode >>
                table.dbTablespace >> toastOid >> toastNode;
            table.setRelname("bench");
            table.schemaNameOverride = "public";
            if (toastOid != 0) {
                toast.dboid = table.dboid;
                toast.PgClass::oid = toastOid;
                toast.relfilenode = toastNode;
                toast.dbTablespace = table.dbTablespace;
                toast.relkind = 't';
                table.reltoastrelid = toastOid;
                table.toast = &toast;
            }
        } else if (kind == "column") {
            ColumnDef c;
            std::string align, byval, name;
            int attnum = 0;
            fields >> attnum >> c.atttypid >> c.attlen >> align >> byval >> c.atttypmod >> name;
            c.attnum = static_cast<int16_t>(attnum);
            c.attalign = align.empty() ? 'c' : align[0];
            c.attbyval = byval == "t";
            c.setName(name);
            columns.push_back(c);
        }
    }
    table.setColumns(columns);
    table.relnatts = static_cast<int16_t>(columns.size());

    CountingWriter counter;
    std::unique_ptr<IDataWriter> exporter;
    if (format != 0) {
        exporter = makeDataWriter(format, table, "");
        if (!exporter) {
            std::fprintf(stderr, "no writer for export format %d\n", format);
            return 2;
        }
    }
    IDataWriter& writer = exporter ? *exporter : counter;
    const auto start = std::chrono::steady_clock::now();
    const UnloadResult result = table.unload(writer, nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double gb = static_cast<double>(writer.bytes()) / 1e9;
    std::printf("rows %llu heap_bytes %llu seconds %.3f GB/s %.3f damage %llu failed %d check %llu",
                static_cast<unsigned long long>(result.rows),
                static_cast<unsigned long long>(writer.bytes()), seconds,
                seconds > 0 ? gb / seconds : 0.0,
                static_cast<unsigned long long>(result.damage.total()), result.failed ? 1 : 0,
                static_cast<unsigned long long>(counter.checksum()));
    if (exporter && format != kExportDb) {
        uintmax_t fileBytes = 0;
        for (const auto& entry : boost::filesystem::directory_iterator(exportDirectory)) {
            const std::string extension = entry.path().extension().string();
            if (extension == ".txt" || extension == ".bin")
                fileBytes += boost::filesystem::file_size(entry.path());
        }
        std::printf(" file_bytes %llu", static_cast<unsigned long long>(fileBytes));
    }
    std::printf("\n");
    if (result.failed)
        std::fprintf(stderr, "%s\n", writer.messages().c_str());
    return result.failed ? 1 : 0;
}
