#include "platform/gui/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
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

}  // namespace

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
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
    // As every file beside a table: never opened through a link someone put at its
    // name (the settings would be written wherever it leads), nor anything but a
    // plain file (a FIFO would hold the program).
    const int fd = calls.open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP)
            throw EIniFileError("Cannot write " + path_ + ": a symbolic link stands at " + temp,
                                platform::ERROR_CANT_RESOLVE_FILENAME, temp);
        fail(err);
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        calls.close(fd);
        throw EIniFileError("Cannot write " + path_ + ": " + temp + " is not a file",
                            platform::ERROR_ACCESS_DENIED, temp);
    }
    const std::string text = out.str();
    int err = 0;
    for (std::size_t done = 0; done < text.size() && err == 0;) {
        const ssize_t n = calls.pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0) err = ENOSPC;
        else if (errno != EINTR) err = errno;
    }
    if (calls.close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && calls.rename(temp.c_str(), path_.c_str()) != 0) err = errno;
    if (err != 0) {
        calls.unlink(temp.c_str());
        fail(err);
    }
}

}  // namespace gui
