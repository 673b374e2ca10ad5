#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace vorn {

// pg_filenode.map: the file nodes of the mapped catalogues (pg_class, pg_attribute,
// pg_database among them), which have relfilenode 0 in pg_class.
class IFileNodeMap {
  public:
    virtual ~IFileNodeMap() = default;
    virtual uint32_t lookup(uint32_t relationOid) const = 0;  // 0 when not mapped
    virtual int32_t magic() const = 0;
    virtual int32_t count() const = 0;
};

class FileNodeMap : public IFileNodeMap {
  public:
    static constexpr int32_t kMagic = 0x592717;

    // Throws std::runtime_error "unable to open mapfile ...", "unable to read mapfile ..." (also
    // for a wrong magic) or "unable to close mapfile ...".
    void load(const std::string& path);
    uint32_t lookup(uint32_t relationOid) const override;
    int32_t magic() const override { return magic_; }
    int32_t count() const override { return count_; }

  private:
    std::unordered_map<uint32_t, uint32_t> map_;
    int32_t count_ = 0;
    int32_t magic_ = 0;
};

}  // namespace vorn
