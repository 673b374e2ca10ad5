#include "export/export_settings.h"

namespace vorn {

std::string exportDirectory = "dump";
char textDelimiter = '|';
std::string targetConnectString;

}  // namespace vorn
