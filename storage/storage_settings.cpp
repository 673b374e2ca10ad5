#include "storage/storage_settings.h"

namespace vorn {

std::string dataDirectory;
uint16_t blockSize = 8192;
ServerVersion serverVersion;

}  // namespace vorn
