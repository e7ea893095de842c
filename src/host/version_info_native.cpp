// The host build reads no version resources: every module reads as one
// without a version ("0.0.0.0").
#include "version_info.h"

namespace versionsys {
bool readOwnModuleBlock(std::vector<unsigned char>&) { return false; }
bool readBlock(const std::wstring&, std::vector<unsigned char>&) { return false; }
bool readBlock(const std::string&, std::vector<unsigned char>&) { return false; }
const std::uint32_t* fixedInfo(const std::vector<unsigned char>&, unsigned&) { return nullptr; }
}  // namespace versionsys
