// TOAST chunk tuples, page packing and relation files of the page builder.

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/storage/support/page_builder.h"

namespace vorn::test {

std::vector<ToastChunk> toastChunks(uint32_t valueId, const Bytes& stored, size_t chunkSize) {
    if (chunkSize == 0)
        throw std::invalid_argument("toastChunks: chunk size 0");
    std::vector<ToastChunk> chunks;
    for (size_t at = 0, seq = 0; at < stored.size(); at += chunkSize, ++seq) {
        const size_t n = std::min(chunkSize, stored.size() - at);
        chunks.push_back({valueId, static_cast<int32_t>(seq),
                          Bytes(stored.begin() + at, stored.begin() + at + n)});
    }
    return chunks;
}

Bytes heapToastTuple(const ToastChunk& chunk) {
    return HeapTupleBuilder()
        .fixed(le(chunk.valueId), 4)
        .fixed(le(chunk.seq), 4)
        .varlena4(chunk.data, 4)
        .build();
}

Bytes uToastTuple(const ToastChunk& chunk) {
    return UTupleBuilder()
        .fixed(le(chunk.valueId), 1)
        .fixed(le(chunk.seq), 1)
        .varlena4(chunk.data, 4)
        .build();
}

namespace {

template <typename Builder, typename MakeBuilder>
std::vector<Bytes> pack(const std::vector<Bytes>& tuples, MakeBuilder make,
                        std::vector<TuplePlace>* places) {
    std::vector<Bytes> pages;
    Builder page = make();
    bool empty = true;
    for (const Bytes& t : tuples) {
        if (!empty && !page.fits(t.size())) {
            pages.push_back(page.build());
            page = make();
            empty = true;
        }
        const uint16_t offset = page.addTuple(t);
        empty = false;
        if (places)
            places->push_back({static_cast<uint32_t>(pages.size()), offset});
    }
    if (!empty)
        pages.push_back(page.build());
    return pages;
}

}  // namespace

std::vector<Bytes> packHeapPages(const std::vector<Bytes>& tuples, uint16_t blockSize,
                                 std::vector<TuplePlace>* places) {
    return pack<HeapPageBuilder>(
        tuples, [&] { return HeapPageBuilder(blockSize); }, places);
}

std::vector<Bytes> packUPages(const std::vector<Bytes>& tuples, uint16_t blockSize, uint8_t version,
                              std::vector<TuplePlace>* places) {
    return pack<UPageBuilder>(
        tuples, [&] { return UPageBuilder(blockSize, version, 0); }, places);
}

std::vector<std::string> writeRelation(const std::string& dir, uint32_t fileNode,
                                       const std::vector<Bytes>& pages, uint32_t blocksPerSegment) {
    if (blocksPerSegment == 0)
        throw std::invalid_argument("writeRelation: 0 blocks per segment");
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths;
    const size_t segments =
        pages.empty() ? 1 : (pages.size() + blocksPerSegment - 1) / blocksPerSegment;
    for (size_t s = 0; s < segments; ++s) {
        std::string path = dir + "/" + std::to_string(fileNode);
        if (s != 0)
            path += "." + std::to_string(s);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const size_t end = std::min(pages.size(), (s + 1) * size_t{blocksPerSegment});
        for (size_t b = s * blocksPerSegment; b < end; ++b)
            out.write(reinterpret_cast<const char*>(pages[b].data()),
                      static_cast<std::streamsize>(pages[b].size()));
        if (!out.flush())
            throw std::runtime_error("writeRelation: cannot write " + path);
        paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace vorn::test
