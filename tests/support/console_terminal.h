#pragma once

// In-process tests capture standard output in a file, where vorn writes neither colour codes
// nor the progress bar. A test of what a terminal gets says so for its own lifetime.

#include "base/console_color.h"

namespace vorn::test {

class AsTerminal {
  public:
    explicit AsTerminal(bool terminal = true) : saved_(consoleIsTerminal()) {
        setConsoleIsTerminal(terminal);
    }
    ~AsTerminal() { setConsoleIsTerminal(saved_); }
    AsTerminal(const AsTerminal&) = delete;
    AsTerminal& operator=(const AsTerminal&) = delete;

  private:
    bool saved_;
};

}  // namespace vorn::test
