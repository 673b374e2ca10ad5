#include "export/file_names.h"

#include <fmt/format.h>

#include <mutex>
#include <unordered_map>

#include "export/export_warning.h"

namespace vorn {

namespace {

bool unsafeByte(unsigned char c) {
    return c == '/' || c < 0x20 || c == 0x7F;
}

std::mutex namesMutex;
std::unordered_map<std::string, uint32_t> namesInUse;  // name -> OID of the table holding it

}  // namespace

std::string safeFileName(std::string_view name, uint32_t tableOid) {
    std::string out(name);
    bool changed = out.empty();
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (unsafeByte(c) || (i == 0 && c == '.')) {
            out[i] = '_';
            changed = true;
        }
    }
    if (changed)
        out += fmt::format("_{}", tableOid);
    return out;
}

std::string tableFileName(std::string_view name, uint32_t tableOid) {
    const std::string wanted = safeFileName(name, tableOid);
    std::string chosen = wanted;
    uint32_t holder = 0;
    {
        std::lock_guard<std::mutex> lock(namesMutex);
        auto [it, inserted] = namesInUse.try_emplace(chosen, tableOid);
        if (inserted || it->second == tableOid)
            return chosen;
        holder = it->second;
        chosen = fmt::format("{}_{}", wanted, tableOid);
        for (unsigned n = 2;; ++n) {
            auto [again, free] = namesInUse.try_emplace(chosen, tableOid);
            if (free || again->second == tableOid)
                break;
            chosen = fmt::format("{}_{}_{}", wanted, tableOid, n);
        }
    }
    warnExport(fmt::format(
        "File name \"{}\" is already used by the table with OID {} in this run; the table with "
        "OID {} is written as \"{}\".",
        wanted, holder, tableOid, chosen));
    return chosen;
}

void resetTableFileNames() {
    std::lock_guard<std::mutex> lock(namesMutex);
    namesInUse.clear();
}

}  // namespace vorn
