#include "storage/fork_pages.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "storage/file.h"

namespace vorn {

namespace {

constexpr uint32_t kReadBytes = 1048576;  // one read

}  // namespace

ForkRead readForkPages(const std::string& directory, uint32_t fileNode, std::string_view fork,
                       uint32_t blockSize,
                       const std::function<bool(uint64_t block, const ByteReader& page)>& page) {
    if (blockSize == 0)
        return ForkRead::kUnreadable;
    const uint32_t groupBytes = std::max(blockSize, kReadBytes / blockSize * blockSize);
    std::vector<uint8_t> buffer(groupBytes);
    uint64_t block = 0;
    for (uint32_t segment = 0;; ++segment) {
        const std::string path =
            segment == 0 ? fmt::format("{}/{}{}", directory, fileNode, fork)
                         : fmt::format("{}/{}{}.{}", directory, fileNode, fork, segment);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return segment == 0 ? ForkRead::kMissing : ForkRead::kRead;
        try {
            File file;
            file.open(path, O_RDONLY);
            const uint64_t size = file.size();
            for (uint64_t at = 0; at + blockSize <= size;) {
                const uint64_t whole = (size - at) / blockSize * blockSize;
                const auto want = static_cast<uint32_t>(std::min<uint64_t>(groupBytes, whole));
                const uint32_t got = file.pread(buffer.data(), want, at);
                const uint32_t blocks = got / blockSize;
                for (uint32_t i = 0; i < blocks; ++i, ++block)
                    if (!page(block, ByteReader(buffer.data() + size_t{i} * blockSize, blockSize)))
                        return ForkRead::kRead;
                if (blocks == 0)
                    break;  // the file got shorter while it was read
                at += uint64_t{blocks} * blockSize;
            }
        } catch (const std::exception&) {
            return ForkRead::kUnreadable;
        }
    }
}

}  // namespace vorn
