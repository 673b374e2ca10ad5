#pragma once

// How the page readers note damage in a PageReport: counts, plus the first reason as text
// with the numbers that failed (offsets, lengths, limits), so that the unload log can say
// which page and item to look at. The text lives in the reader's own buffer; formatting is
// bounded by it and only happens on damage, never per good tuple.

#include <cstddef>
#include <cstdint>

#include "storage/page_reader.h"

namespace vorn {

class DamageNotes {
  public:
    DamageNotes(PageReport& report, char* text, size_t size)
        : report_(report), text_(text), size_(size) {}

    // The page header failed a check: nothing on the page is read.
    __attribute__((format(printf, 2, 3))) void rejectPage(const char* format, ...);
    // A tuple (line pointer `item`, from 1) was not read; the first reason is kept.
    __attribute__((format(printf, 3, 4))) void rejectTuple(uint32_t item, const char* format, ...);

    void valueUnreadable() { ++report_.valuesUnreadable; }
    void toastValueMissing() { ++report_.toastValuesMissing; }

  private:
    PageReport& report_;
    char* text_;
    size_t size_;
};

}  // namespace vorn
