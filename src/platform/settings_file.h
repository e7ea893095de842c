// Settings files in place of the registry (Linux): the registry's key paths,
// value names and types, read from a machine file (as HKLM) and a user file
// (as HKCU) through the same access layer, so every reader keeps its hive
// rule and default.
//
//   # comment                  ; comment
//   Lume = 0                   (values before any section: Software\Quillmere\Telvista)
//   [Log\client]               (a key below Software\Quillmere\Telvista)
//   severity = 4               (a number: DWORD, decimal, 0x hex or negative)
//   path_root = /var/log/doza  (anything else: a string; quotes keep "4" a string)
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "winreg.h"

namespace winreg {

// Puts the values of one file under root; returns one text per line skipped.
std::vector<std::string> parseSettingsFile(std::string_view text, Hkey root, MemoryBackend& store);

// Reads the two files when a key is opened, again only after a file changed.
// A line that cannot be read is skipped and logged once, once logging is on.
class SettingsFileBackend final : public Backend {
public:
    SettingsFileBackend(std::string machineFile, std::string userFile);

    long openKey(Hkey root, const std::u16string& subKey, std::uint32_t access, Hkey* out) override;
    long closeKey(Hkey key) override;
    long getValue(Hkey key, const std::u16string& name, std::uint32_t flags, std::uint32_t* type, void* data,
                  std::uint32_t* size) override;
    long queryInfo(Hkey key, std::uint32_t* valueCount, std::uint32_t* maxValueNameChars) override;
    long enumValue(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* nameChars,
                   std::uint32_t* type) override;

private:
    struct File {
        std::string path;
        Hkey root;
        std::string stamp{};  // what tells a changed file
        std::string text{};
        std::vector<std::string> problems{};
        bool reported = false;
    };
    void refresh();

    std::mutex mutex_;
    File files_[2];
    MemoryBackend store_;
};

}  // namespace winreg
