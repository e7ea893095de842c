// Version values: a module's file version as dotted text, and dotted
// versions as comparable lists of numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CMcVersionInfo {
public:
    // The module that holds this code (the plug-in DLL, not the host process).
    CMcVersionInfo();
    explicit CMcVersionInfo(const std::wstring& path);
    explicit CMcVersionInfo(const std::string& path);
    virtual ~CMcVersionInfo() = default;

    // Four dot-separated decimal numbers; "0.0.0.0" without a version resource.
    std::string getFileVersionA() const;
    std::wstring getFileVersionW() const;
    std::string getProductVersionA() const;
    std::wstring getProductVersionW() const;

private:
    std::uint64_t word64(int msIndex) const;

    std::vector<unsigned char> block_;          // the whole version-information block
    const std::uint32_t* fixedInfo_ = nullptr;  // its root entry inside block_, or null
    unsigned fixedInfoLength_ = 0;
};

// "a.b.c.d" from a 64-bit version, 16 bits per group, highest first. Throws
// std::runtime_error("Error during formatting.") when formatting fails.
std::string formatVersion(std::uint64_t version);
std::wstring formatVersionW(std::uint64_t version);

class Version {
public:
    Version() = default;
    explicit Version(const std::string& text) { updateListFromString(text); }

    // Appends the numbers of a dotted text; a part without a number is
    // logged and skipped.
    void updateListFromString(const std::string& text);
    const std::vector<std::int32_t>& components() const { return list_; }

    // Component by component; a list that ends first while equal so far is lower.
    friend bool operator<(const Version& a, const Version& b);

private:
    std::vector<std::int32_t> list_;
};

// Platform adapter (version_info_win32.cpp / version_info_native.cpp): reads
// a file's version block. False when there is none or it cannot be read; the
// block may then already be sized (it is kept, as the system sized it).
namespace versionsys {
bool readOwnModuleBlock(std::vector<unsigned char>& block);
bool readBlock(const std::wstring& path, std::vector<unsigned char>& block);
bool readBlock(const std::string& path, std::vector<unsigned char>& block);
// The root entry of a block: a pointer to its 32-bit words and their length.
const std::uint32_t* fixedInfo(const std::vector<unsigned char>& block, unsigned& length);
}  // namespace versionsys
