#include "platform/CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {
namespace {

enum class Direction { ToUtf8, ToCp932 };

// Opening an iconv descriptor costs more than converting a cell of text, so the
// descriptors are kept for reuse. One holds conversion state: a conversion has one
// to itself (taken from the free ones of its direction, or opened) and starts it
// from its initial state; then it goes back.
class Converters {
public:
    static Converters& Shared() {
        // Never destroyed: a thread may still convert while the program ends.
        static Converters* shared = new Converters;
        return *shared;
    }
    iconv_t Take(Direction direction) {
        std::vector<iconv_t>& free = Free(direction);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!free.empty()) {
                const iconv_t cd = free.back();
                free.pop_back();
                iconv(cd, nullptr, nullptr, nullptr, nullptr);
                return cd;
            }
        }
        return direction == Direction::ToUtf8 ? iconv_open("UTF-8", "CP932") : iconv_open("CP932", "UTF-8");
    }
    void Give(Direction direction, iconv_t cd) {
        if (cd == reinterpret_cast<iconv_t>(-1)) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        Free(direction).push_back(cd);
    }

private:
    std::vector<iconv_t>& Free(Direction direction) {
        return direction == Direction::ToUtf8 ? toUtf8_ : toCp932_;
    }
    std::mutex mutex_;
    std::vector<iconv_t> toUtf8_, toCp932_;
};

class Iconv {
public:
    explicit Iconv(Direction direction) : direction_(direction), cd_(Converters::Shared().Take(direction)) {}
    ~Iconv() { Converters::Shared().Give(direction_, cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    Direction direction_;
    iconv_t cd_;
};

// ASCII reads the same in both encodings.
bool IsAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

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
std::string Convert(Direction direction, std::string_view text, Skip skip) {
    if (IsAscii(text)) return std::string(text);
    std::string out;
    Iconv cd(direction);
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
    return Convert(Direction::ToUtf8, text, [](size_t, std::string& out) -> size_t {
        out += "\xEF\xBF\xBD";
        return 1;
    });
}

std::string Utf8ToCp932(std::string_view text) {
    return Convert(Direction::ToCp932, text, [text](size_t pos, std::string& out) -> size_t {
        out += '?';
        const size_t n = Utf8SequenceLength(text, pos);
        return n == 0 ? 1 : n;
    });
}

bool TryUtf8ToCp932(std::string_view text, std::string& out) {
    bool lost = false;
    out = Convert(Direction::ToCp932, text, [&lost, text](size_t pos, std::string&) -> size_t {
        lost = true;
        const size_t n = Utf8SequenceLength(text, pos);
        return n == 0 ? 1 : n;
    });
    return !lost;
}

bool IsValidCp932(std::string_view text) {
    bool bad = false;
    Convert(Direction::ToUtf8, text, [&bad](size_t, std::string&) -> size_t {
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
