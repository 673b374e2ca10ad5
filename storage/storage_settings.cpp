#include "storage/storage_settings.h"

namespace vorn {

std::string dataDirectory;
uint16_t blockSize = 8192;
ServerVersion serverVersion;
uint64_t batchValueLimit = uint64_t{64} << 20;

}  // namespace vorn
