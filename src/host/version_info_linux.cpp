// A shared library has no version resource: the add-in's own version is the
// one the build stamps, in the shape of the resource's root entry. Other
// files read as having no version.
#include <cstring>

#include "version_info.h"

namespace versionsys {

namespace {
constexpr std::uint32_t kSignature = 0xFEEF04BD;
constexpr unsigned kEntryBytes = 13 * 4;
}  // namespace

bool readOwnModuleBlock(std::vector<unsigned char>& block) {
    const std::uint32_t ms = (TVX_VER_MAJOR << 16) | TVX_VER_MINOR;
    const std::uint32_t ls = (TVX_VER_PATCH << 16) | TVX_VER_TWEAK;
    const std::uint32_t entry[13] = {kSignature, 0x00010000, ms, ls, ms, ls};
    block.assign(kEntryBytes, 0);
    std::memcpy(block.data(), entry, kEntryBytes);
    return true;
}

bool readBlock(const std::wstring&, std::vector<unsigned char>&) { return false; }
bool readBlock(const std::string&, std::vector<unsigned char>&) { return false; }

const std::uint32_t* fixedInfo(const std::vector<unsigned char>& block, unsigned& length) {
    if (block.size() < kEntryBytes) return nullptr;
    std::uint32_t signature = 0;
    std::memcpy(&signature, block.data(), 4);
    if (signature != kSignature) return nullptr;
    length = kEntryBytes;
    return reinterpret_cast<const std::uint32_t*>(block.data());
}

}  // namespace versionsys
