// Parser of registration scripts and their application over RegistryWriter.
#include "registrar.h"

#include <algorithm>
#include <utility>

#include "platform/log.h"

namespace registrar {
namespace {

char16_t lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'; }

struct Token {
    enum class Kind { Word, Quoted, Open, Close, Equals, End } kind = Kind::End;
    std::u16string text;
    int line = 1;
};

class ScriptParser {
public:
    ScriptParser(std::u16string_view text, const Replacements& replacements)
        : text_(text), replacements_(replacements) {}

    ParseResult run() {
        ParseResult result;
        Script script;
        if (!tokenize() || !parseRoots(script)) {
            result.error = error_;
            return result;
        }
        result.script = std::move(script);
        return result;
    }

private:
    bool fail(int line, const std::string& what) {
        if (error_.empty()) error_ = "line " + std::to_string(line) + ": " + what;
        return false;
    }

    // Splits the text into tokens. '' inside quotes is one quote; a '{'
    // followed by a run without blanks up to '}' is a braced name, the way
    // class identifiers are written.
    bool tokenize() {
        int line = 1;
        std::size_t i = 0;
        while (true) {
            while (i < text_.size() && isBlank(text_[i])) {
                if (text_[i] == u'\n') ++line;
                ++i;
            }
            Token token;
            token.line = line;
            if (i >= text_.size()) {
                tokens_.push_back(token);
                return true;
            }
            char16_t c = text_[i];
            if (c == u'\'') {
                token.kind = Token::Kind::Quoted;
                ++i;
                while (true) {
                    if (i >= text_.size()) return fail(token.line, "unterminated quoted text");
                    if (text_[i] == u'\'') {
                        if (i + 1 < text_.size() && text_[i + 1] == u'\'') {
                            token.text += u'\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text_[i] == u'\n') ++line;
                    token.text += text_[i++];
                }
            } else if (c == u'{' && bracedNameEnd(i) != 0) {
                std::size_t end = bracedNameEnd(i);
                token.kind = Token::Kind::Word;
                token.text.assign(text_.substr(i, end - i));
                i = end;
            } else if (c == u'{' || c == u'}' || c == u'=') {
                token.kind = c == u'{' ? Token::Kind::Open : c == u'}' ? Token::Kind::Close : Token::Kind::Equals;
                ++i;
            } else {
                token.kind = Token::Kind::Word;
                while (i < text_.size() && !isBlank(text_[i]) && text_[i] != u'{' && text_[i] != u'}' &&
                       text_[i] != u'=' && text_[i] != u'\'')
                    token.text += text_[i++];
            }
            tokens_.push_back(std::move(token));
        }
    }

    // End (one past '}') of a braced name starting at 'at', or 0 if none.
    std::size_t bracedNameEnd(std::size_t at) const {
        std::size_t j = at + 1;
        while (j < text_.size() && !isBlank(text_[j]) && text_[j] != u'{' && text_[j] != u'=' && text_[j] != u'\'') {
            if (text_[j] == u'}') return j > at + 1 ? j + 1 : 0;
            ++j;
        }
        return 0;
    }

    const Token& peek() const { return tokens_[pos_]; }
    const Token& next() {
        const Token& t = tokens_[pos_];
        if (t.kind != Token::Kind::End) ++pos_;
        return t;
    }
    static bool isWord(const Token& t, std::u16string_view word) {
        return t.kind == Token::Kind::Word && equalsNoCase(t.text, word);
    }

    bool replace(const Token& token, std::u16string& out) {
        out.clear();
        const std::u16string& in = token.text;
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (in[i] != u'%') {
                out += in[i];
                continue;
            }
            std::size_t close = in.find(u'%', i + 1);
            if (close == std::u16string::npos) return fail(token.line, "unmatched % in \"" + tvxlog::toUtf8(in) + "\"");
            std::u16string name = in.substr(i + 1, close - i - 1);
            if (name.empty()) {
                out += u'%';
            } else {
                auto found = replacements_.find(name);
                if (found == replacements_.end())
                    return fail(token.line, "unknown replacement %" + tvxlog::toUtf8(name) + "%");
                out += found->second;
            }
            i = close;
        }
        return true;
    }

    bool parseName(const Token& token, std::u16string& name) {
        if (token.kind != Token::Kind::Word && token.kind != Token::Kind::Quoted)
            return fail(token.line, "a name was expected");
        if (!replace(token, name)) return false;
        if (name.empty()) return fail(token.line, "empty name");
        // A backslash would make one script key several registry keys, and
        // removal could no longer undo exactly what was written.
        if (name.find(u'\\') != std::u16string::npos)
            return fail(token.line, "key name holds a backslash: " + tvxlog::toUtf8(name));
        return true;
    }

    static bool parseNumber(std::u16string_view s, std::uint32_t& out) {
        unsigned base = 10;
        if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
            base = 16;
            s.remove_prefix(2);
        }
        if (s.empty()) return false;
        std::uint64_t v = 0;
        for (char16_t c : s) {
            unsigned digit;
            if (c >= u'0' && c <= u'9') digit = c - u'0';
            else if (base == 16 && lower(c) >= u'a' && lower(c) <= u'f') digit = lower(c) - u'a' + 10;
            else return false;
            v = v * base + digit;
            if (v > 0xFFFFFFFFull) return false;
        }
        out = static_cast<std::uint32_t>(v);
        return true;
    }

    // "s 'text'" or "d number" after the '='.
    bool parseTypedValue(ScriptValue& value) {
        const Token& type = next();
        const Token& data = next();
        if (data.kind != Token::Kind::Word && data.kind != Token::Kind::Quoted)
            return fail(data.line, "value data was expected");
        if (isWord(type, u"s")) {
            value.type = ScriptValue::Type::String;
            return replace(data, value.text);
        }
        if (isWord(type, u"d")) {
            value.type = ScriptValue::Type::Dword;
            std::u16string digits;
            if (!replace(data, digits)) return false;
            if (!parseNumber(digits, value.number))
                return fail(data.line, "not a DWORD number: " + tvxlog::toUtf8(digits));
            return true;
        }
        return fail(type.line, "unsupported value type \"" + tvxlog::toUtf8(type.text) + "\" (s and d only)");
    }

    bool parseBlock(std::vector<ScriptKey>& keys, ScriptKey* owner) {
        while (true) {
            const Token& token = next();
            if (token.kind == Token::Kind::Close) return true;
            if (token.kind == Token::Kind::End) return fail(token.line, "missing }");
            if (isWord(token, u"val")) {
                if (!owner) return fail(token.line, "a value outside any key");
                ScriptValue value;
                if (!parseName(next(), value.name)) return false;
                const Token& eq = next();
                if (eq.kind != Token::Kind::Equals) return fail(eq.line, "= was expected");
                if (!parseTypedValue(value)) return false;
                owner->values.push_back(std::move(value));
                continue;
            }
            if (isWord(token, u"Delete")) return fail(token.line, "Delete is not supported");
            ScriptKey key;
            const Token* nameToken = &token;
            if (isWord(token, u"ForceRemove")) {
                key.mode = ScriptKey::Mode::ForceRemove;
                nameToken = &next();
            } else if (isWord(token, u"NoRemove")) {
                key.mode = ScriptKey::Mode::NoRemove;
                nameToken = &next();
            }
            if (!parseName(*nameToken, key.name)) return false;
            if (peek().kind == Token::Kind::Equals) {
                next();
                ScriptValue value;
                if (!parseTypedValue(value)) return false;
                key.values.insert(key.values.begin(), std::move(value));
            }
            if (peek().kind == Token::Kind::Open) {
                next();
                if (!parseBlock(key.subkeys, &key)) return false;
            }
            keys.push_back(std::move(key));
        }
    }

    bool parseRoots(Script& script) {
        while (peek().kind != Token::Kind::End) {
            const Token& name = next();
            ScriptRoot root;
            if (isWord(name, u"HKCR") || isWord(name, u"HKEY_CLASSES_ROOT")) root.hive = Hive::ClassesRoot;
            else if (isWord(name, u"HKCU") || isWord(name, u"HKEY_CURRENT_USER")) root.hive = Hive::CurrentUser;
            else if (isWord(name, u"HKLM") || isWord(name, u"HKEY_LOCAL_MACHINE")) root.hive = Hive::LocalMachine;
            else if (isWord(name, u"HKU") || isWord(name, u"HKEY_USERS")) root.hive = Hive::Users;
            else return fail(name.line, "a registry root was expected");
            const Token& open = next();
            if (open.kind != Token::Kind::Open) return fail(open.line, "{ was expected");
            if (!parseBlock(root.keys, nullptr)) return false;
            script.roots.push_back(std::move(root));
        }
        return true;
    }

    std::u16string_view text_;
    const Replacements& replacements_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    std::string error_;
};

std::u16string join(const std::u16string& base, const std::u16string& name) {
    return base.empty() ? name : base + u'\\' + name;
}

// The hive and path prefix that a script root lands in.
bool skipped(Hive hive, Target target) {
    return !target.userKeys && (hive == Hive::CurrentUser || hive == Hive::Users);
}

std::pair<Hive, std::u16string> place(Hive hive, Target target) {
    if (hive == Hive::ClassesRoot && target.perUser) return {Hive::CurrentUser, u"Software\\Classes"};
    return {hive, u""};
}

long applyKeys(const std::vector<ScriptKey>& keys, RegistryWriter& writer, Hive hive, const std::u16string& base) {
    for (const ScriptKey& key : keys) {
        std::u16string path = join(base, key.name);
        if (key.mode == ScriptKey::Mode::ForceRemove) {
            long rc = writer.deleteTree(hive, path);
            if (rc != kSuccess && rc != kFileNotFound) return rc;
        }
        if (long rc = writer.createKey(hive, path); rc != kSuccess) return rc;
        for (const ScriptValue& value : key.values) {
            long rc = value.type == ScriptValue::Type::String ? writer.setString(hive, path, value.name, value.text)
                                                             : writer.setDword(hive, path, value.name, value.number);
            if (rc != kSuccess) return rc;
        }
        if (long rc = applyKeys(key.subkeys, writer, hive, path); rc != kSuccess) return rc;
    }
    return kSuccess;
}

long removeKeys(const std::vector<ScriptKey>& keys, RegistryWriter& writer, Hive hive, const std::u16string& base) {
    long first = kSuccess;
    auto note = [&first](long rc) {
        if (rc != kSuccess && rc != kFileNotFound && first == kSuccess) first = rc;
    };
    for (const ScriptKey& key : keys) {
        std::u16string path = join(base, key.name);
        note(removeKeys(key.subkeys, writer, hive, path));
        if (key.mode == ScriptKey::Mode::NoRemove) continue;
        for (const ScriptValue& value : key.values) note(writer.deleteValue(hive, path, value.name));
        note(writer.deleteKeyIfEmpty(hive, path));
    }
    return first;
}

const char* hiveName(Hive hive) {
    switch (hive) {
        case Hive::ClassesRoot: return "HKCR";
        case Hive::CurrentUser: return "HKCU";
        case Hive::LocalMachine: return "HKLM";
        case Hive::Users: return "HKU";
    }
    return "?";
}

}  // namespace

bool NoCaseLess::operator()(const std::u16string& a, const std::u16string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return lower(x) < lower(y); });
}

ParseResult parseScript(std::u16string_view text, const Replacements& replacements) {
    return ScriptParser(text, replacements).run();
}

long applyScript(const Script& script, RegistryWriter& writer, Target target) {
    for (const ScriptRoot& root : script.roots) {
        if (skipped(root.hive, target)) continue;
        auto [hive, base] = place(root.hive, target);
        if (long rc = applyKeys(root.keys, writer, hive, base); rc != kSuccess) return rc;
    }
    return kSuccess;
}

long removeScript(const Script& script, RegistryWriter& writer, Target target) {
    long first = kSuccess;
    for (const ScriptRoot& root : script.roots) {
        if (skipped(root.hive, target)) continue;
        auto [hive, base] = place(root.hive, target);
        long rc = removeKeys(root.keys, writer, hive, base);
        if (first == kSuccess) first = rc;
    }
    return first;
}

// ---- MemoryRegistry ----

std::u16string MemoryRegistry::fold(const std::u16string& s) {
    std::u16string out(s);
    for (char16_t& c : out) c = lower(c);
    return out;
}

MemoryRegistry::Key* MemoryRegistry::find(Hive hive, const std::u16string& path) {
    auto it = keys_.find({hive, fold(path)});
    return it == keys_.end() ? nullptr : &it->second;
}

bool MemoryRegistry::hasKey(Hive hive, const std::u16string& path) const {
    return path.empty() || keys_.count({hive, fold(path)}) != 0;
}

long MemoryRegistry::createKey(Hive hive, const std::u16string& path) {
    if (path.empty()) return kSuccess;
    std::size_t at = 0;
    while (true) {
        std::size_t sep = path.find(u'\\', at);
        std::u16string prefix = path.substr(0, sep);
        Id id{hive, fold(prefix)};
        if (!keys_.count(id)) keys_[id].path = prefix;
        if (sep == std::u16string::npos) return kSuccess;
        at = sep + 1;
    }
}

long MemoryRegistry::setValue(Hive hive, const std::u16string& path, const std::u16string& name, Value v) {
    Key* key = find(hive, path);
    if (!key) return kFileNotFound;
    for (auto& [n, existing] : key->values) {
        if (fold(n) == fold(name)) {
            existing = std::move(v);
            return kSuccess;
        }
    }
    key->values.emplace_back(name, std::move(v));
    return kSuccess;
}

long MemoryRegistry::setString(Hive hive, const std::u16string& path, const std::u16string& name,
                               const std::u16string& data) {
    return setValue(hive, path, name, Value{ScriptValue::Type::String, data, 0});
}

long MemoryRegistry::setDword(Hive hive, const std::u16string& path, const std::u16string& name,
                              std::uint32_t data) {
    return setValue(hive, path, name, Value{ScriptValue::Type::Dword, u"", data});
}

long MemoryRegistry::deleteValue(Hive hive, const std::u16string& path, const std::u16string& name) {
    Key* key = find(hive, path);
    if (!key) return kFileNotFound;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const auto& entry) { return fold(entry.first) == fold(name); });
    if (it == key->values.end()) return kFileNotFound;
    key->values.erase(it);
    return kSuccess;
}

long MemoryRegistry::deleteTree(Hive hive, const std::u16string& path) {
    std::u16string folded = fold(path);
    if (!keys_.count({hive, folded})) return kFileNotFound;
    for (auto it = keys_.begin(); it != keys_.end();) {
        const auto& [h, p] = it->first;
        if (h == hive && (p == folded || p.rfind(folded + u'\\', 0) == 0)) it = keys_.erase(it);
        else ++it;
    }
    return kSuccess;
}

long MemoryRegistry::deleteKeyIfEmpty(Hive hive, const std::u16string& path) {
    std::u16string folded = fold(path);
    auto it = keys_.find({hive, folded});
    if (it == keys_.end()) return kFileNotFound;
    if (!it->second.values.empty()) return kSuccess;
    for (const auto& [id, key] : keys_)
        if (id.first == hive && id.second.rfind(folded + u'\\', 0) == 0) return kSuccess;
    keys_.erase(it);
    return kSuccess;
}

std::optional<MemoryRegistry::Value> MemoryRegistry::value(Hive hive, const std::u16string& path,
                                                           const std::u16string& name) const {
    auto it = keys_.find({hive, fold(path)});
    if (it == keys_.end()) return std::nullopt;
    for (const auto& [n, v] : it->second.values)
        if (fold(n) == fold(name)) return v;
    return std::nullopt;
}

std::vector<std::string> MemoryRegistry::dump() const {
    std::vector<std::string> out;
    for (const auto& [id, key] : keys_) {
        std::string path = std::string(hiveName(id.first)) + "\\" + tvxlog::toUtf8(key.path);
        out.push_back(path);
        for (const auto& [name, v] : key.values) {
            std::string line = path + " " + (name.empty() ? std::string("@") : tvxlog::toUtf8(name)) + " = ";
            line += v.type == ScriptValue::Type::String ? "s:" + tvxlog::toUtf8(v.text) : "d:" + std::to_string(v.number);
            out.push_back(line);
        }
    }
    return out;
}

}  // namespace registrar
