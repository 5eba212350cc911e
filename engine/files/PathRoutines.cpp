// Path and file-name routines. Engine paths are code page 932 text in which the
// trail byte of a double-byte character may be 0x5C, the byte of "\"; every scan
// below walks whole characters so such a name never seems to hold a separator.
#include <string>

#include "engine/files/EngineFile.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "platform/CodePage.h"
#include "platform/Sync.h"

namespace kura {

namespace {

constexpr std::string_view kPathDelimiters = "\\/:";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

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

// A lead byte is never a separator, so the first bytes can be looked at one by one.
size_t StartWithoutSeparators(std::string_view s) {
    size_t start = 0;
    while (start < s.size() && IsSeparator(s[start])) ++start;
    return start;
}

// The platform's Trim: control characters and blanks off both ends.
std::string_view Trimmed(std::string_view s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return s.substr(first, last - first);
}

}  // namespace

size_t CharLengthAt(std::string_view s, size_t i) { return platform::Cp932CharLength(s, i); }

size_t LastDelimiter(std::string_view s, std::string_view chars) { return platform::Cp932FindLastOf(s, chars); }

size_t FirstDelimiter(std::string_view s, std::string_view chars, size_t from) {
    return platform::Cp932FindFirstOf(s, chars, from);
}

bool SameNameText(std::string_view a, std::string_view b) { return platform::Cp932SameText(a, b); }

int32_t CompareNameText(std::string_view a, std::string_view b) { return platform::Cp932CompareText(a, b); }

std::string UpperCaseName(std::string_view s) { return platform::Cp932UpperCase(s); }

bool NamesTableFile(std::string_view name) {
    std::string base;
    ExtractFileExtPart(ExtractFileName(Trimmed(name)), ".DAT", base);
    const std::string_view last = Trimmed(base);
    return !last.empty() && last != "." && last != "..";
}

std::string NormalizePathDelimiters(std::string_view s) {
    std::string text(s);
    for (size_t i = 0; i < text.size(); i += CharLengthAt(text, i))
        if (CharLengthAt(text, i) == 1 && text[i] == '/') text[i] = '\\';
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

bool ContainsPath(std::string_view s) { return s.empty() || LastDelimiter(s, kPathDelimiters) != std::string_view::npos; }

std::string ExtractFileName(std::string_view path) {
    const size_t last = LastDelimiter(path, kPathDelimiters);
    return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string ExtractFilePath(std::string_view path) {
    const size_t last = LastDelimiter(path, kPathDelimiters);
    return std::string(last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1));
}

std::string ExtractFileDir(std::string_view path) {
    const std::string folder = ExtractFilePath(path);
    if (!folder.empty() && folder.back() == ':') return folder;  // ":" is never a trail byte
    return StripAllTrailingBackslashes(folder);
}

std::string ExtractFileExt(std::string_view path) {
    const size_t last = LastDelimiter(path, ".\\/:");
    if (last == std::string_view::npos || path[last] != '.') return {};
    return std::string(path.substr(last));
}

void ExtractFileExtPart(std::string_view s, std::string_view ext, std::string& name) {
    const std::string current = ExtractFileExt(s);
    if (!current.empty() && (ext.empty() || SameNameText(current, ext))) {
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
    if (SameNameText(current, oldExt)) {
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
