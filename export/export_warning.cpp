#include "export/export_warning.h"

#include <fmt/format.h>

#include <mutex>

#include "base/console_color.h"
#include "base/file_logger.h"

namespace vorn {

void warnExport(const std::string& message) {
    unloadLog().warn(message);
    // Colour, line and reset as one piece: workers of a parallel unload warn at once.
    static std::mutex consoleMutex;
    std::lock_guard<std::mutex> lock(consoleMutex);
    uiSetRed();
    try {
        fmt::print("{}\n", message);
    } catch (...) {
        uiResetColor();
        throw;
    }
    uiResetColor();
}

}  // namespace vorn
