#pragma once

namespace vorn {

// Switches standard output to dim red (ESC "[31;2m") for an error line, and flushes.
void uiSetRed();
// Back to the terminal's default colours (ESC "[0m"), and flushes.
void uiResetColor();

}  // namespace vorn
