#include "dns_message.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace dns {
namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kClassIn = 1;
// Enough for any honest name; a longer chain of pointers is a loop.
constexpr int kMaxPointerHops = 16;

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool u16(std::size_t& at, std::uint16_t& value) const {
        if (at > size_ || size_ - at < 2) return false;
        value = static_cast<std::uint16_t>(data_[at] << 8 | data_[at + 1]);
        at += 2;
        return true;
    }
    bool skip(std::size_t& at, std::size_t n) const {
        if (at > size_ || size_ - at < n) return false;
        at += n;
        return true;
    }
    // A name as dotted text (no trailing dot), pointers followed; at moves past
    // the name where it stands.
    bool name(std::size_t& at, std::string& text) const {
        text.clear();
        std::size_t pos = at;
        bool jumped = false;
        int hops = 0;
        for (;;) {
            if (pos >= size_) return false;
            const std::uint8_t length = data_[pos];
            if ((length & 0xC0) == 0xC0) {
                if (pos + 1 >= size_ || ++hops > kMaxPointerHops) return false;
                if (!jumped) at = pos + 2;
                jumped = true;
                pos = static_cast<std::size_t>((length & 0x3F) << 8 | data_[pos + 1]);
                continue;
            }
            if (length & 0xC0) return false;  // the reserved label kinds
            if (length == 0) {
                if (!jumped) at = pos + 1;
                return true;
            }
            if (size_ - pos - 1 < length || text.size() + length + 1 > 255) return false;
            if (!text.empty()) text += '.';
            text.append(reinterpret_cast<const char*>(data_ + pos + 1), length);
            pos += 1 + length;
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

std::vector<std::uint8_t> buildAQuery(std::uint16_t id, const std::string& name) {
    if (name.empty() || name.size() > 253) return {};
    std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00,
                                   0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::size_t end = dot == std::string::npos ? name.size() : dot;
        if (end == start || end - start > 63) return {};
        q.push_back(static_cast<std::uint8_t>(end - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(end));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    q.insert(q.end(), {0, 0, kTypeA, 0, kClassIn});
    return q;
}

Reply parseAReply(const std::uint8_t* data, std::size_t size, std::uint16_t id, const std::string& name,
                  std::vector<std::uint32_t>& addresses) {
    addresses.clear();
    const Reader r(data, size);
    std::size_t at = 0;
    std::uint16_t gotId = 0, flags = 0, questions = 0, answers = 0;
    if (!r.u16(at, gotId) || !r.u16(at, flags) || !r.u16(at, questions) || !r.u16(at, answers) ||
        !r.skip(at, kHeaderSize - 8))
        return Reply::malformed;
    // A response (QR), a standard query's (opcode 0), to our one question.
    if (gotId != id || !(flags & 0x8000) || (flags & 0x7800) || questions != 1) return Reply::foreign;
    std::string asked;
    std::uint16_t type = 0, klass = 0;
    if (!r.name(at, asked) || !r.u16(at, type) || !r.u16(at, klass)) return Reply::malformed;
    if (!sameName(asked, name) || type != kTypeA || klass != kClassIn) return Reply::foreign;
    if (flags & 0x000F) return Reply::refused;

    // Names the answers stand for: ours, then each alias target met.
    std::vector<std::string> owners = {name};
    auto malformed = [&addresses] {
        addresses.clear();
        return Reply::malformed;
    };
    for (std::uint16_t i = 0; i < answers; ++i) {
        std::string owner;
        std::uint16_t rdLength = 0;
        if (!r.name(at, owner) || !r.u16(at, type) || !r.u16(at, klass) || !r.skip(at, 4) || !r.u16(at, rdLength))
            return malformed();
        const std::size_t rdata = at;
        if (!r.skip(at, rdLength)) return malformed();
        const bool ours = std::any_of(owners.begin(), owners.end(), [&](const std::string& o) { return sameName(o, owner); });
        if (!ours || klass != kClassIn) continue;
        if (type == kTypeA && rdLength == 4) {
            std::uint32_t address = 0;
            std::memcpy(&address, data + rdata, sizeof address);  // stays in network byte order
            addresses.push_back(address);
        } else if (type == kTypeCname) {
            std::size_t target = rdata;
            std::string alias;
            if (!r.name(target, alias) || target > rdata + rdLength) return malformed();
            owners.push_back(alias);
        }
    }
    return Reply::answer;
}

}  // namespace dns
