#pragma once

// UNLOAD OBJECT <schema>: the CREATE TABLE statements of every table of one schema of the
// current database, in ascending table OID order, into "ddl/<schema>_table_ddl.sql" under
// the working directory; each statement is buildCreateTableDdl's text (create_table_ddl.h)
// followed by ";\n\n".
//
// The schema name is matched as catalog/typed_name.h says (plain: without regard to case,
// the exact spelling first; in double quotes: exactly); the file name and the statements use
// the catalogue's spelling. The name goes into the path through claimFileName (file_names.h),
// so a schema called "../x" cannot leave ddl/, and the schemas of one name in two databases
// get two files (the later one "<schema>_table_ddl_<schema oid>.sql", with a warning); ddl/
// has a file manifest of its own. The folder ddl/ is created when missing. The
// file is written whole under a temporary name and renamed (output_file.h): a failure leaves
// no cut-off file and is reported with the path and the system's message.

#include <string>

namespace vorn {

class Dictionary;

class CmdDdlExport {
  public:
    explicit CmdDdlExport(Dictionary* dictionary);

    // The UNLOAD OBJECT handler: exportSchemaTableDdl, then "finish.".
    void runDdlCommand(const char* schemaName);
    // Writes the schema's DDL file and prints what it does to standard output. Throws
    // std::system_error only when standard output cannot be written.
    void exportSchemaTableDdl(const std::string& schemaName);

  private:
    Dictionary* dictionary_;  // not owned
};

}  // namespace vorn
