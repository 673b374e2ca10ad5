#include "export/writer_factory.h"

#include "export/copy_binary_writer.h"
#include "export/copy_db_writer.h"
#include "export/copy_text_writer.h"

namespace vorn {

std::unique_ptr<IDataWriter> makeDataWriter(int format, ITable& table, const std::string& suffix) {
    switch (format) {
        case kExportText:
            return std::make_unique<CopyTextWriter>(&table.columns(), table.schemaName(),
                                                    table.name(), suffix, table.oid());
        case kExportBinary:
            return std::make_unique<CopyBinaryWriter>(&table.columns(), table.schemaName(),
                                                      table.name(), suffix, table.oid());
        case kExportDb:
            return std::make_unique<CopyDBWriter>(&table.columns(), table.schemaName(),
                                                  table.name(), suffix, table.oid(),
                                                  databaseClientEncoding(table.databaseOid()));
        default:
            return nullptr;
    }
}

}  // namespace vorn
