#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"
#include "plugin/plugin_ids.h"
#include "plugin/registrar.h"

namespace {

using registrar::Hive;
using registrar::MemoryRegistry;
using registrar::Target;

const std::u16string kModule = u"C:\\Program Files\\It's {odd} 100%\\DOZA-Plugin.dll";

registrar::Replacements productReplacements() {
    return {{u"MODULE", kModule}, {u"CLSID", kDozaPluginClsidText}, {u"LIBID", kDozaPluginLibidText}};
}

std::u16string productScriptText() {
    std::ifstream in(std::string(TVX_PLUGIN_SOURCE_DIR) + "/DOZA-Plugin.rgs", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return tvxlog::toUtf16(text.str());
}

registrar::Script parse(std::u16string_view text, const registrar::Replacements& r = productReplacements()) {
    registrar::ParseResult result = registrar::parseScript(text, r);
    EXPECT_TRUE(result.script.has_value()) << result.error;
    return result.script.value_or(registrar::Script{});
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// What removal leaves: the NoRemove keys on the way to the add-in key (the
// last one only when it was made), and the keys given.
std::vector<std::string> kept(bool addIns, std::vector<std::string> more) {
    const std::string tsc = "HKCU\\Software\\Microsoft\\Terminal Server Client";
    more.insert(more.end(), {"HKCU\\Software", "HKCU\\Software\\Microsoft", tsc, tsc + "\\Default"});
    if (addIns) more.push_back(tsc + "\\Default\\AddIns");
    return sorted(std::move(more));
}

}  // namespace

// What the product's script writes per machine and per user, and its removal,
// and a failed registration undone, show in the DLL's registration tests.
TEST(PluginRegistrar, ForceRemoveReplacesStaleKeysAndRemovalKeepsForeignData) {
    registrar::Script script = parse(productScriptText());
    // On its own, removal leaves only the NoRemove keys, empty or not.
    MemoryRegistry fresh;
    ASSERT_EQ(registrar::applyScript(script, fresh, Target{false}), 0);
    EXPECT_EQ(registrar::removeScript(script, fresh, Target{false}), 0);
    EXPECT_EQ(sorted(fresh.dump()), kept(true, {"HKCR\\CLSID"}));

    const std::u16string classKey = std::u16string(u"CLSID\\") + kDozaPluginClsidText;
    const std::u16string addIn = u"Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\DOZA-Plugin";
    MemoryRegistry reg;
    // Left over by an older registration: dropped by ForceRemove.
    reg.createKey(Hive::ClassesRoot, classKey + u"\\Stale");
    reg.setString(Hive::ClassesRoot, classKey, u"Old", u"x");
    // Someone else's data in keys the script merely opens: kept.
    reg.createKey(Hive::CurrentUser, addIn);
    reg.setDword(Hive::CurrentUser, addIn, u"foreign", 7);
    reg.createKey(Hive::ClassesRoot, u"CLSID\\DOZA-Plugin.DOZA-Plugin.1");
    reg.setString(Hive::ClassesRoot, u"CLSID\\DOZA-Plugin.DOZA-Plugin.1", u"Note", u"keep");

    ASSERT_EQ(registrar::applyScript(script, reg, Target{false}), 0);
    EXPECT_FALSE(reg.hasKey(Hive::ClassesRoot, classKey + u"\\Stale"));
    EXPECT_FALSE(reg.value(Hive::ClassesRoot, classKey, u"Old"));
    EXPECT_TRUE(reg.value(Hive::CurrentUser, addIn, u"foreign"));

    // Added after registration below the class key: not the script's to remove.
    reg.createKey(Hive::ClassesRoot, classKey + u"\\Implemented Categories");

    ASSERT_EQ(registrar::removeScript(script, reg, Target{false}), 0);
    EXPECT_EQ(sorted(reg.dump()),
              kept(true, {"HKCR\\CLSID", "HKCR\\CLSID\\DOZA-Plugin.DOZA-Plugin.1",
                      "HKCR\\CLSID\\DOZA-Plugin.DOZA-Plugin.1 Note = s:keep",
                      "HKCR\\CLSID\\" + tvxlog::toUtf8(kDozaPluginClsidText),
                      "HKCR\\CLSID\\" + tvxlog::toUtf8(kDozaPluginClsidText) + "\\Implemented Categories",
                      "HKCU\\" + tvxlog::toUtf8(addIn), "HKCU\\" + tvxlog::toUtf8(addIn) + " foreign = d:7"}));
}

TEST(PluginRegistrar, ParserHandlesQuotingBracedNamesKeywordsAndReplacements) {
    const std::u16string text =
        u"hkey_local_machine {\n"
        u"  noremove 'It''s' {\n"
        u"    forceremove {0A-B} = S '%MODULE%|%%|%clsid%'\n"
        u"    {\n"
        u"      VAL Hex = D '0x1F'\n"
        u"      val Max = d 4294967295\n"
        u"      val 'with blank' = s ''\n"
        u"      val Eq=s'a=b'\n"
        u"    }\n"
        u"    %CLSID%\n"
        u"  }\n"
        u"}\n"
        u"HKU { x {} }";
    registrar::Script script = parse(text);
    const registrar::ScriptKey& outer = script.roots.at(0).keys.at(0);
    EXPECT_EQ(outer.mode, registrar::ScriptKey::Mode::NoRemove);
    EXPECT_EQ(outer.subkeys.at(0).mode, registrar::ScriptKey::Mode::ForceRemove);
    // The replacement holds a quote, braces and a %: it is taken as data.
    MemoryRegistry reg;
    ASSERT_EQ(registrar::applyScript(script, reg, Target{false}), 0);
    const std::string clsid = tvxlog::toUtf8(kDozaPluginClsidText), key = "HKLM\\It's\\{0A-B}";
    EXPECT_EQ(sorted(reg.dump()),
              sorted({"HKLM\\It's", key, key + " @ = s:" + tvxlog::toUtf8(kModule) + "|%|" + clsid, key + " Hex = d:31",
                      key + " Max = d:4294967295", key + " with blank = s:", key + " Eq = s:a=b",
                      "HKLM\\It's\\" + clsid, "HKU\\x"}));
}

TEST(PluginRegistrar, ParserRejectsWhatItCannotApplyFaithfully) {
    const std::pair<const char16_t*, std::string> cases[] = {
        {u"HKCR { 'open }", "line 1: unterminated quoted text"},
        {u"HKCR {\n a {\n }", "line 3: missing }"},
        {u"HKCR { a = s '%NOPE%' }", "line 1: unknown replacement %NOPE%"},
        {u"HKCR { a = s '50%' }", "line 1: unmatched % in \"50%\""},
        {u"HKCR { val a = s 'x' }", "line 1: a value outside any key"},
        {u"HKCR { a = b '00' }", "line 1: unsupported value type \"b\" (s and d only)"},
        {u"HKCR { a = d 4294967296 }", "line 1: not a DWORD number: 4294967296"},
        {u"HKCR { a = d -1 }", "line 1: not a DWORD number: -1"},
        {u"HKCR { a = d '0x' }", "line 1: not a DWORD number: 0x"},
        {u"HKCR { Delete a }", "line 1: Delete is not supported"},
        {u"HKCR { 'a\\b' }", "line 1: key name holds a backslash: a\\b"},
        {u"HKCR { '' }", "line 1: empty name"},
        {u"HKXX { a }", "line 1: a registry root was expected"},
        {u"HKCR a", "line 1: { was expected"},
        {u"HKCR { a { val b s 'x' } }", "line 1: = was expected"},
        {u"HKCR { a = }", "line 1: value data was expected"},
        {u"HKCR { = }", "line 1: a name was expected"},
    };
    for (const auto& [text, error] : cases) {
        registrar::ParseResult result = registrar::parseScript(text, productReplacements());
        EXPECT_FALSE(result.script.has_value()) << error;
        EXPECT_EQ(result.error, error);
    }
}
