#include "platform/CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace platform {
namespace {

// An iconv descriptor holds conversion state, so every call opens its own.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Length of the well-formed UTF-8 sequence at text[pos], or 0 when it is malformed.
size_t Utf8SequenceLength(std::string_view text, size_t pos) {
    const auto b = static_cast<uint8_t>(text[pos]);
    size_t n;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3;
    else if (b >= 0xF0 && b <= 0xF4) n = 4;
    else return 0;
    if (pos + n > text.size()) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<uint8_t>(text[pos + i]) & 0xC0) != 0x80) return 0;
    return n;
}

// Runs the conversion, handing each undecodable spot to skip(), which returns how many
// input bytes to pass over and appends its replacement.
template <typename Skip>
std::string Convert(const char* to, const char* from, std::string_view text, Skip skip) {
    std::string out;
    Iconv cd(to, from);
    if (!cd.ok()) {
        // Without the converter only ASCII can pass through faithfully.
        for (size_t pos = 0; pos < text.size();) {
            const auto b = static_cast<uint8_t>(text[pos]);
            if (b < 0x80) {
                out.push_back(static_cast<char>(b));
                ++pos;
            } else {
                pos += skip(pos, out);
            }
        }
        return out;
    }
    out.reserve(text.size() * 3 / 2 + 4);
    size_t pos = 0;
    char buffer[1024];
    while (pos < text.size()) {
        char* in = const_cast<char*>(text.data() + pos);
        size_t inLeft = text.size() - pos;
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(cd.get(), &in, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        pos = text.size() - inLeft;
        if (rc != static_cast<size_t>(-1)) continue;
        if (err == E2BIG) continue;
        // EILSEQ or EINVAL (a sequence cut off at the end): replace and go on.
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        pos += skip(pos, out);
    }
    return out;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view text) {
    return Convert("UTF-8", "CP932", text, [](size_t, std::string& out) -> size_t {
        out += "\xEF\xBF\xBD";
        return 1;
    });
}

std::string Utf8ToCp932(std::string_view text) {
    return Convert("CP932", "UTF-8", text, [text](size_t pos, std::string& out) -> size_t {
        out += '?';
        const size_t n = Utf8SequenceLength(text, pos);
        return n == 0 ? 1 : n;
    });
}

bool TryUtf8ToCp932(std::string_view text, std::string& out) {
    bool lost = false;
    out = Convert("CP932", "UTF-8", text, [&lost, text](size_t pos, std::string&) -> size_t {
        lost = true;
        const size_t n = Utf8SequenceLength(text, pos);
        return n == 0 ? 1 : n;
    });
    return !lost;
}

bool IsValidCp932(std::string_view text) {
    bool bad = false;
    Convert("UTF-8", "CP932", text, [&bad](size_t, std::string&) -> size_t {
        bad = true;
        return 1;
    });
    return !bad;
}

size_t Cp932PrefixLength(std::string_view text, size_t maxBytes) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t width = IsCp932LeadByte(static_cast<uint8_t>(text[pos])) ? 2 : 1;
        if (pos + width > maxBytes || pos + width > text.size()) break;
        pos += width;
    }
    return pos;
}

// ---- Names ------------------------------------------------------------------------

size_t Cp932CharLength(std::string_view text, size_t pos) {
    return IsCp932LeadByte(static_cast<uint8_t>(text[pos])) && pos + 1 < text.size() ? 2 : 1;
}

size_t Cp932FindFirstOf(std::string_view text, std::string_view chars, size_t from) {
    for (size_t i = 0; i < text.size(); i += Cp932CharLength(text, i)) {
        if (i >= from && Cp932CharLength(text, i) == 1 && chars.find(text[i]) != std::string_view::npos) return i;
    }
    return std::string_view::npos;
}

size_t Cp932FindLastOf(std::string_view text, std::string_view chars) {
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < text.size(); i += Cp932CharLength(text, i)) {
        if (Cp932CharLength(text, i) == 1 && chars.find(text[i]) != std::string_view::npos) found = i;
    }
    return found;
}

namespace {

uint8_t UpperAscii(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c; }

// Full-width Latin letters: Ａ-Ｚ are 0x8260-0x8279, ａ-ｚ 0x8281-0x829A.
constexpr uint8_t kFullWidthLead = 0x82;
constexpr uint8_t kFullWidthLowerFirst = 0x81;
constexpr uint8_t kFullWidthLowerLast = 0x9A;
constexpr uint8_t kFullWidthCaseDistance = 0x81 - 0x60;

// The trail byte of the double-byte character lead, trail with a full-width
// small letter made capital.
uint8_t UpperFullWidthTrail(uint8_t lead, uint8_t trail) {
    const bool small = lead == kFullWidthLead && trail >= kFullWidthLowerFirst && trail <= kFullWidthLowerLast;
    return small ? static_cast<uint8_t>(trail - kFullWidthCaseDistance) : trail;
}

}  // namespace

int Cp932CompareText(std::string_view a, std::string_view b) {
    // Up to a difference both texts agree on where characters start, so a's
    // stepping serves both.
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (i < n) {
        const size_t width = Cp932CharLength(a, i);
        for (size_t k = i; k < i + width && k < n; ++k) {
            uint8_t x = static_cast<uint8_t>(a[k]);
            uint8_t y = static_cast<uint8_t>(b[k]);
            if (width == 1) {
                x = UpperAscii(x);
                y = UpperAscii(y);
            } else if (k > i) {
                // The leads are equal here: fold the trails of full-width letters.
                x = UpperFullWidthTrail(static_cast<uint8_t>(a[i]), x);
                y = UpperFullWidthTrail(static_cast<uint8_t>(b[i]), y);
            }
            if (x != y) return x < y ? -1 : 1;
        }
        i += width;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool Cp932SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Cp932CompareText(a, b) == 0;
}

std::string Cp932UpperCase(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); i += Cp932CharLength(out, i)) {
        const auto lead = static_cast<uint8_t>(out[i]);
        if (Cp932CharLength(out, i) == 1)
            out[i] = static_cast<char>(UpperAscii(lead));
        else
            out[i + 1] = static_cast<char>(UpperFullWidthTrail(lead, static_cast<uint8_t>(out[i + 1])));
    }
    return out;
}

}  // namespace platform
