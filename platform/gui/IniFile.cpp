#include "platform/gui/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"

namespace gui {

namespace {

// Sections and keys compare without regard to the case of ASCII letters. Names are
// UTF-8 here, where no byte of a multi-byte character is an ASCII letter, so a
// byte-wise fold never touches one.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// The settings as the file at `path` holds them; none where no plain file stands
// there. A link is not followed (what it leads to is someone else's, and the next
// write replaces the link), and a FIFO, a folder or a device is not read: none of
// them holds settings, and a FIFO would hold the program.
std::string ReadSettings(const std::string& path) {
    const platform::FileCallTable& calls = platform::FileCalls();
    const int fd = calls.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) return {};
    std::string text;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[8192];
        for (ssize_t n; (n = calls.pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) != 0;) {
            if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
            else if (errno != EINTR) break;
        }
    }
    calls.close(fd);
    return text;
}

}  // namespace

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {
    std::istringstream in(ReadSettings(path_));
    std::string line;
    Section* current = nullptr;
    while (std::getline(in, line)) {
        line = Trim(platform::Cp932ToUtf8(line));
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            const std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            current = nullptr;
            for (auto& s : sections_)
                if (SameName(s.name, name)) current = &s;
            if (!current) {
                sections_.push_back({name, {}});
                current = &sections_.back();
            }
            continue;
        }
        const auto eq = line.find('=');
        if (!current || eq == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = line.substr(eq + 1);
        bool replaced = false;
        for (auto& e : current->entries)
            if (SameName(e.key, key)) e.value = value, replaced = true;
        if (!replaced) current->entries.push_back({key, value});
    }
}

const TIniFile::Entry* TIniFile::Find(const std::string& section, const std::string& key) const {
    for (const auto& s : sections_) {
        if (!SameName(s.name, section)) continue;
        for (const auto& e : s.entries)
            if (SameName(e.key, key)) return &e;
    }
    return nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return Find(section, key) != nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    const Entry* e = Find(section, key);
    return e ? e->value : def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    const std::string text = Trim(ReadString(section, key, ""));
    if (text.empty()) return def;
    const char* b = text.data();
    const char* e = b + text.size();
    if (*b == '+') ++b;
    int value = 0;
    const auto r = std::from_chars(b, e, value);
    if (r.ec != std::errc() || r.ptr != e) return def;
    return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key, double def) const {
    const std::string text = Trim(ReadString(section, key, ""));
    if (text.empty()) return def;
    double value = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return def;
    return value;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    for (auto& s : sections_) {
        if (!SameName(s.name, section)) continue;
        for (auto& e : s.entries)
            if (SameName(e.key, key)) {
                e.value = value;
                return;
            }
        s.entries.push_back({key, value});
        return;
    }
    sections_.push_back({section, {{key, value}}});
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
    WriteString(section, key, FloatText(value));
}

std::string TIniFile::FloatText(double value) {
    char buffer[64];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

void TIniFile::UpdateFile() {
    std::ostringstream out;
    for (const auto& s : sections_) {
        out << '[' << platform::Utf8ToCp932(s.name) << "]\r\n";
        for (const auto& e : s.entries)
            out << platform::Utf8ToCp932(e.key) << '=' << platform::Utf8ToCp932(e.value) << "\r\n";
        out << "\r\n";
    }
    const std::string temp = path_ + ".tmp";
    const platform::FileCallTable& calls = platform::FileCalls();
    auto fail = [&](int err) {
        throw EIniFileError("Cannot write " + path_ + ": " + std::strerror(err), platform::Win32ErrorFromErrno(err));
    };
    // What stands at a name where a file was to be written, when it is no plain file
    // (at the settings file's own name only a folder is in the way: the rename
    // replaces anything else).
    auto inTheWay = [&](const std::string& name, bool temporary) {
        struct stat st{};
        if (lstat(name.c_str(), &st) != 0 || S_ISREG(st.st_mode) || (!temporary && !S_ISDIR(st.st_mode))) return;
        const std::string file = temporary ? name : std::string();
        if (S_ISLNK(st.st_mode))
            throw EIniFileError("Cannot write " + path_ + ": a symbolic link stands at " + name,
                                platform::ERROR_CANT_RESOLVE_FILENAME, file);
        if (S_ISDIR(st.st_mode))
            throw EIniFileError("Cannot write " + path_ + ": a folder stands at " + name, platform::ERROR_DIRECTORY,
                                file);
        throw EIniFileError("Cannot write " + path_ + ": " + name + " is not a file", platform::ERROR_ALREADY_EXISTS,
                            file);
    };
    // As every file beside a table: never opened through a link someone put at its
    // name (the settings would be written wherever it leads), nor anything but a
    // plain file (a FIFO would hold the program).
    const int fd = calls.open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int err = errno;
        inTheWay(temp, true);
        fail(err);
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        calls.close(fd);
        inTheWay(temp, true);
        throw EIniFileError("Cannot write " + path_ + ": " + temp + " is not a file", platform::ERROR_ALREADY_EXISTS,
                            temp);
    }
    const std::string text = out.str();
    int err = 0;
    for (std::size_t done = 0; done < text.size() && err == 0;) {
        const ssize_t n = calls.pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0) err = ENOSPC;
        else if (errno != EINTR) err = errno;
    }
    // On the disk before it takes the settings file's name, so that a power cut
    // leaves the old settings or the new ones, never an empty file.
    if (err == 0 && calls.fsync(fd) != 0) err = errno;
    if (calls.close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && calls.rename(temp.c_str(), path_.c_str()) != 0) {
        err = errno;
        calls.unlink(temp.c_str());
        inTheWay(path_, false);
        fail(err);
    }
    if (err != 0) {
        calls.unlink(temp.c_str());
        fail(err);
    }
    // The new name on the disk too. Where the folder cannot be synced the settings
    // stand all the same: the program and every later start read them, and a power
    // cut could at worst bring back the whole older file, which nobody can act on,
    // so it is not said.
    const std::size_t slash = path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const int dir = calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        calls.fsync(dir);
        calls.close(dir);
    }
}

}  // namespace gui
