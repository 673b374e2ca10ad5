#pragma once

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

namespace vorn {

// Raised by the page readers for a page they cannot be handed (null buffer, bad block size).
class BlockExcept : public std::exception {
  public:
    __attribute__((format(printf, 2, 3))) explicit BlockExcept(const char* format, ...) {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        message_ = text;
    }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

}  // namespace vorn
