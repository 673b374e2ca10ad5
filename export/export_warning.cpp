#include "export/export_warning.h"

#include <fmt/format.h>

#include <mutex>

#include "base/console_color.h"
#include "base/file_logger.h"
#include "base/terminal_text.h"

namespace vorn {

void warnExport(const std::string& message) {
    unloadLog().warn(message);
    // Colour, line and reset as one piece: workers of a parallel unload warn at once.
    static std::mutex consoleMutex;
    std::lock_guard<std::mutex> lock(consoleMutex);
    uiSetRed();
    try {
        // Between our colour codes: a control byte of a name in it must not end them early.
        fmt::print("{}\n", terminalLines(message));
    } catch (...) {
        uiResetColor();
        throw;
    }
    uiResetColor();
}

}  // namespace vorn
