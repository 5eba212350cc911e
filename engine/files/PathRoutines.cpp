// Path and file-name routines. Engine paths are code page 932 text in which the
// trail byte of a double-byte character may be 0x5C, the byte of "\"; every scan
// below walks whole characters so such a name never seems to hold a separator.
#include <string>

#include "engine/files/EngineFile.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "platform/Locale.h"
#include "platform/Sync.h"

namespace kura {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Byte length of the character at s[i].
size_t CharLengthAt(std::string_view s, size_t i) {
    return platform::IsDBCSLeadByte(static_cast<uint8_t>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

// Start of the last character, npos for an empty text.
size_t LastCharStart(std::string_view s) {
    size_t last = std::string_view::npos;
    for (size_t i = 0; i < s.size(); i += CharLengthAt(s, i)) last = i;
    return last;
}

bool EndsInSeparator(std::string_view s) {
    const size_t last = LastCharStart(s);
    return last != std::string_view::npos && last + 1 == s.size() && IsSeparator(s[last]);
}

// The end of s once every trailing separator is gone.
size_t EndWithoutSeparators(std::string_view s) {
    size_t end = 0;
    for (size_t i = 0; i < s.size(); i += CharLengthAt(s, i)) {
        if (!(CharLengthAt(s, i) == 1 && IsSeparator(s[i]))) end = i + CharLengthAt(s, i);
    }
    return end;
}

size_t StartWithoutSeparators(std::string_view s) {
    size_t start = 0;
    while (start < s.size() && IsSeparator(s[start])) ++start;
    return start;
}

// Position of the last single-byte character for which stop() holds, npos if none.
template <typename Pred>
size_t LastCharWhere(std::string_view s, Pred stop) {
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < s.size(); i += CharLengthAt(s, i)) {
        if (CharLengthAt(s, i) == 1 && stop(s[i])) found = i;
    }
    return found;
}

// The platform's Trim: control characters and blanks off both ends.
std::string_view Trimmed(std::string_view s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return s.substr(first, last - first);
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Equal without regard to the case of ASCII letters; double-byte characters exactly.
bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size();) {
        const size_t len = CharLengthAt(a, i);
        if (len == 2) {
            if (a.compare(i, 2, b, i, 2) != 0) return false;
        } else if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

std::string NormalizePathDelimiters(std::string_view s) {
    std::string text(s);
    for (char& c : text) {
        if (c == '/') c = '\\';  // "/" is never a trail byte
    }
    return text;
}

std::string AddTrailingBackslash(std::string_view s) {
    const std::string_view t = Trimmed(s);
    if (t.empty() || EndsInSeparator(t)) return std::string(t);
    return std::string(t) + "\\";
}

std::string StripTrailingBackslash(std::string_view s) {
    const std::string_view t = Trimmed(s);
    return std::string(EndsInSeparator(t) ? t.substr(0, t.size() - 1) : t);
}

std::string StripLeadingBackslash(std::string_view s) {
    const std::string_view t = Trimmed(s);
    return std::string(!t.empty() && IsSeparator(t[0]) ? t.substr(1) : t);
}

std::string StripAllTrailingBackslashes(std::string_view s) { return std::string(s.substr(0, EndWithoutSeparators(s))); }

std::string StripAllLeadingBackslashes(std::string_view s) { return std::string(s.substr(StartWithoutSeparators(s))); }

std::string StripBackslashes(std::string_view s) {
    return StripAllLeadingBackslashes(StripAllTrailingBackslashes(s));
}

bool ContainsPath(std::string_view s) {
    return s.empty() || LastCharWhere(s, [](char c) { return c == ':' || IsSeparator(c); }) != std::string_view::npos;
}

std::string ExtractFileName(std::string_view path) {
    const size_t last = LastCharWhere(path, [](char c) { return c == ':' || IsSeparator(c); });
    return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string ExtractFileExt(std::string_view path) {
    const size_t last = LastCharWhere(path, [](char c) { return c == '.' || c == ':' || IsSeparator(c); });
    if (last == std::string_view::npos || path[last] != '.') return {};
    return std::string(path.substr(last));
}

void ExtractFileExtPart(std::string_view s, std::string_view ext, std::string& name) {
    const std::string current = ExtractFileExt(s);
    if (!current.empty() && (ext.empty() || SameText(current, ext))) {
        name = std::string(s.substr(0, s.size() - current.size()));
    } else {
        name = std::string(s);
    }
}

void SplitFileNameExt(std::string_view path, std::string_view ext, std::string& name) {
    ExtractFileExtPart(ExtractFileName(path), ext, name);
}

void ReplaceFileExt(std::string_view s, std::string_view oldExt, std::string_view newExt, std::string& name) {
    const std::string_view t = Trimmed(s);
    const std::string current = ExtractFileExt(t);
    if (SameText(current, oldExt)) {
        name = std::string(t.substr(0, t.size() - current.size())) + std::string(newExt);
    } else {
        name = std::string(t) + std::string(newExt);
    }
}

bool FileExistsInList(std::string_view name, bool isMemory) {
    // Before the engine library starts there is no registry; only disk files exist.
    if (FileList == nullptr) return !isMemory && DiskFileExists(name);
    return FileList->FileExists(std::string(name), isMemory);
}

void CreateUniqueFileName(std::string_view directory, std::string_view extension, bool isMemory,
                          std::string& name) {
    // The thread prefix keeps threads that look for a name at the same time apart.
    const std::string prefix = std::to_string(platform::GetCurrentThreadId()).substr(0, 5);
    const std::string base = AddTrailingBackslash(directory) + prefix;
    for (uint64_t counter = 0;; ++counter) {
        name = base + std::to_string(counter) + std::string(extension);
        if (!FileExistsInList(name, isMemory)) return;
    }
}

}  // namespace kura
