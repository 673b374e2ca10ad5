#include "shell/banner.h"

#include <fmt/format.h>

#include <cstring>
#include <iostream>

#include "base/console_color.h"

#ifndef VORN_RELEASE
#define VORN_RELEASE "0.0.0"
#endif

namespace vorn {

namespace {

constexpr const char* kGrey = "\x1b[90m";
constexpr const char* kBrightCyan = "\x1b[96m";
constexpr const char* kBrightGreen = "\x1b[92m";
constexpr const char* kReset = "\x1b[00m";

// One stream word slot for the colourise flag, taken on first use.
int colorizeSlot() {
    static const int slot = std::ios_base::xalloc();
    return slot;
}

std::ostream& color(std::ostream& out, const char* code) {
    if (isColorized(out))
        out << code;
    return out;
}

}  // namespace

const char* releaseText() {
    return VORN_RELEASE;
}

std::string buildDate() {
    // __DATE__ is "Mmm dd yyyy", the day padded with a blank.
    static constexpr const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char* date = __DATE__;
    int month = 1;
    for (int m = 0; m < 12; ++m) {
        if (std::strncmp(kMonths + 3 * m, date, 3) == 0)
            month = m + 1;
    }
    const int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    return fmt::format("{}.{:02d}.{:02d}", std::string_view(date + 7, 4), month, day);
}

bool isColorized(std::ostream& out) {
    if (&out == &std::cout && consoleIsTerminal())
        return true;
    return out.iword(colorizeSlot()) != 0;
}

void setColorized(std::ostream& out, bool on) {
    out.iword(colorizeSlot()) = on ? 1 : 0;
}

std::ostream& colorBrightGreen(std::ostream& out) {
    return color(out, kBrightGreen);
}

std::ostream& colorReset(std::ostream& out) {
    return color(out, kReset);
}

void printBanner(std::ostream& out) {
    const std::string rule(81, '*');
    out << "\n";
    color(out, kGrey) << rule << "\n\n";
    color(out, kBrightCyan) << "  "
                            << "VORN"
                            << " for "
                            << "PostgreSQL";
    out << colorReset << ", Release " << colorBrightGreen << releaseText() << colorReset
        << ", build date " << colorBrightGreen << buildDate() << colorBrightGreen << ".\n\n";
    color(out, kGrey) << rule << "\n";
    out << colorReset << "\n";
    out.flush();
}

}  // namespace vorn
