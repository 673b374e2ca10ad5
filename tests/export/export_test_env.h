#pragma once

// What the writer tests share: an export directory of their own (exportDirectory points
// into a TempDir, the unload log too, the run's file names start afresh), column layouts
// made by hand, and batches filled with stored values.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/file_logger.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "storage/column_batch.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {

class ExportEnv {
  public:
    ExportEnv() : savedDirectory_(exportDirectory), savedDelimiter_(textDelimiter) {
        exportDirectory = dir_.path() + "/dump";
        dir_.writeFile("dump/.keep", "");
        unloadLog().open(dir_.path().c_str());
        resetTableFileNames();
    }
    ~ExportEnv() {
        exportDirectory = savedDirectory_;
        textDelimiter = savedDelimiter_;
        resetTableFileNames();
    }
    ExportEnv(const ExportEnv&) = delete;
    ExportEnv& operator=(const ExportEnv&) = delete;

    // A file of the export directory; empty when it does not exist.
    std::string read(const std::string& name) const { return dir_.readFile("dump/" + name); }
    void writeDump(const std::string& name, const std::string& text) const {
        dir_.writeFile("dump/" + name, text);
    }
    std::string log() const { return dir_.readFile("unload_table.log"); }
    const std::string& root() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::string savedDirectory_;
    char savedDelimiter_;
};

inline ColumnDef column(int16_t attnum, std::string_view name, uint32_t typeOid,
                        int32_t typmod = -1) {
    ColumnDef c;
    c.attnum = attnum;
    c.setName(name);
    c.atttypid = typeOid;
    c.atttypmod = typmod;
    return c;
}

// Stores `bytes` as row `row` of a column (in its string or its fixed slot).
inline void setValue(ColumnValues& values, uint32_t row, std::string_view bytes) {
    values.nulls[row] = 0;
    values.lengths[row] = static_cast<int32_t>(bytes.size());
    if (values.byRef)
        values.values[row].assign(bytes);
    else
        std::memcpy(values.data.get() + size_t(row) * values.stride, bytes.data(), bytes.size());
}

inline std::string int4Bytes(int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

}  // namespace vorn::test
