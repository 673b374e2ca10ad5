#include "base/console_color.h"

#include <cstdio>

namespace vorn {

void uiSetRed() {
    std::fputs("\x1b[31;2m", stdout);
    std::fflush(stdout);
}

void uiResetColor() {
    std::fputs("\x1b[0m", stdout);
    std::fflush(stdout);
}

}  // namespace vorn
