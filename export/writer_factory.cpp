#include "export/writer_factory.h"

#include "export/copy_binary_writer.h"
#include "export/copy_db_writer.h"
#include "export/copy_text_writer.h"
#include "export/export_settings.h"

namespace vorn {

namespace {

// The writer, told its table's database: the file names belong to database and table, and
// the values are in the database's encoding.
template <typename Writer>
std::unique_ptr<IDataWriter> inDatabase(std::unique_ptr<Writer> writer, const ITable& table) {
    writer->setDatabaseOid(table.databaseOid());
    writer->setClientEncoding(databaseClientEncoding(table.databaseOid()));
    return writer;
}

}  // namespace

std::unique_ptr<IDataWriter> makeDataWriter(int format, ITable& table, const std::string& suffix) {
    switch (format) {
        case kExportText:
            return inDatabase(std::make_unique<CopyTextWriter>(&table.columns(), table.schemaName(),
                                                               table.name(), suffix, table.oid()),
                              table);
        case kExportBinary:
            return inDatabase(
                std::make_unique<CopyBinaryWriter>(&table.columns(), table.schemaName(),
                                                   table.name(), suffix, table.oid()),
                table);
        case kExportDb:
            return inDatabase(std::make_unique<CopyDBWriter>(
                                  &table.columns(), table.schemaName(), table.name(), suffix,
                                  table.oid(), databaseClientEncoding(table.databaseOid())),
                              table);
        default:
            return nullptr;
    }
}

}  // namespace vorn
