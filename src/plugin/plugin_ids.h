// Identifiers of the plug-in's class and type library. The IDL and the
// registration script use the same ones (checked by the tests).
#pragma once

// Registry text form: braces, upper-case hexadecimal.
inline constexpr char16_t kDozaPluginClsidText[] = u"{F180E26A-127D-43B8-80A3-F10EFF0FCFC8}";
inline constexpr char16_t kDozaPluginLibidText[] = u"{B8A6125C-D902-4442-998B-2D602930FD2B}";
inline constexpr unsigned short kDozaPluginLibMajor = 1;
inline constexpr unsigned short kDozaPluginLibMinor = 0;

// Resources of the DLL.
inline constexpr int kRegistryScriptResource = 101;  // type "REGISTRY"
inline constexpr int kTypeLibResource = 1;           // type "TYPELIB"
inline constexpr int kProjectNameString = 100;       // "DOZA-Plugin"

#if defined(_WIN32)
#include <guiddef.h>
// {F180E26A-127D-43B8-80A3-F10EFF0FCFC8}
inline constexpr GUID CLSID_DOZAPlugin = {0xF180E26A, 0x127D, 0x43B8, {0x80, 0xA3, 0xF1, 0x0E, 0xFF, 0x0F, 0xCF, 0xC8}};
// {B8A6125C-D902-4442-998B-2D602930FD2B}
inline constexpr GUID LIBID_DOZAPluginLib = {0xB8A6125C, 0xD902, 0x4442, {0x99, 0x8B, 0x2D, 0x60, 0x29, 0x30, 0xFD, 0x2B}};
#endif
