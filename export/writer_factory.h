#pragma once

#include <memory>
#include <string>

#include "storage/data_writer.h"
#include "storage/table.h"

namespace vorn {

// Export format codes, as the setting export.export_format gives them.
constexpr int kExportText = 1;
constexpr int kExportCsv = 2;
constexpr int kExportBinary = 3;
constexpr int kExportDb = 4;

// The writer of one table (or one partition, `suffix` non-empty) for an export format:
// TEXT a CopyTextWriter, BINARY a CopyBinaryWriter, DB a CopyDBWriter (client encoding: the
// encoding of the table's database). Every other code, CSV included, gives none: no CSV
// writer exists, and the caller unloads nothing for the table. Building a writer opens no
// file and no connection; the writer holds the table's layout, so the table must outlive it.
std::unique_ptr<IDataWriter> makeDataWriter(int format, ITable& table, const std::string& suffix);

}  // namespace vorn
