#pragma once

#include <exception>
#include <string>

namespace vorn {

// The exception of the catalogue dictionary: generation, cache files and lookups.
class DictExcept : public std::exception {
  public:
    explicit DictExcept(std::string message) : message_(std::move(message)) {}
    // "Dict[<catalogue>]: <message>", the catalogue being "pg_database", "pg_namespace",
    // "pg_class" or "pg_attribute".
    DictExcept(const std::string& catalogue, const std::string& message)
        : message_("Dict[" + catalogue + "]: " + message) {}

    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

}  // namespace vorn
