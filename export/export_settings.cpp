#include "export/export_settings.h"

#include <algorithm>

#include "base/encoding.h"
#include "catalog/dictionary.h"

namespace vorn {

std::string exportDirectory = "dump";
char textDelimiter = '|';
std::string targetConnectString;

std::string databaseEncodingName(uint32_t databaseOid) {
    const DatabaseList& databases = Dictionary::instance().databases;
    const auto found = std::find_if(databases.begin(), databases.end(),
                                    [&](const DatabaseEntry& d) { return d.oid == databaseOid; });
    if (found != databases.end()) {
        if (const EncodingInfo* encoding = findEncodingById(found->encoding))
            return encoding->name;
    }
    return {};
}

std::string databaseClientEncoding(uint32_t databaseOid) {
    const std::string name = databaseEncodingName(databaseOid);
    return name.empty() ? "UTF8" : name;
}

std::string clientEncodingStatement(uint32_t databaseOid) {
    const std::string name = databaseEncodingName(databaseOid);
    return name.empty() ? std::string() : "SET client_encoding TO '" + name + "';\n";
}

}  // namespace vorn
