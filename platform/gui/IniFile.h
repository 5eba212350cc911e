#pragma once
// The settings file: sections in square brackets, one "key=value" line per key,
// section and key names compared without regard to (ASCII) case, code page 932 on
// disk. The object reads the whole file when it is made and keeps it in memory; what
// is no plain file at its name (a link, a FIFO, a folder) is not read, the object
// then holds no settings. UpdateFile writes them back (to a temporary beside it,
// synced, then renamed over it and the folder synced, so a failed write or a power
// cut never leaves half a file, and a link or a FIFO at the settings file's name is
// replaced, never written through) and reports failure by throwing EIniFileError
// with the system's reason. The temporary file is never opened through a link, nor
// as anything but a plain file: a link, a folder or a FIFO at its name refuses the
// write, naming it. Its calls go through the file layer's call table
// (platform/FileCalls.h), where a test can make them fail as a full disk does.
// Names and values cross this interface as UTF-8.
//
// Values: integers in decimal (a text that is no integer reads as the default),
// booleans as "1"/"0" (true when the integer read is not 0), floats in the shortest
// text that reads back the same double.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace gui {

class EIniFileError : public std::runtime_error {
public:
    EIniFileError(const std::string& message, uint32_t error, std::string file = {})
        : std::runtime_error(message), Error(error), File(std::move(file)) {}
    // Why, as a Win32 number of platform/LastError.h (ERROR_DISK_FULL, ERROR_ACCESS_DENIED,
    // ...), or what stands in the way of the file: ERROR_CANT_RESOLVE_FILENAME a
    // symbolic link, ERROR_DIRECTORY a folder, ERROR_ALREADY_EXISTS something else
    // that is no plain file (a FIFO, a socket, a device).
    uint32_t Error;
    // The name in the way when it is not the settings file's own (its temporary
    // file's), else "".
    std::string File;
};

class TIniFile {
public:
    explicit TIniFile(std::string path);
    const std::string& FileName() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    double ReadFloat(const std::string& section, const std::string& key, double def) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void WriteFloat(const std::string& section, const std::string& key, double value);

    void UpdateFile();

    // The runtime's float-to-text form (1.02 -> "1.02", 2 -> "2").
    static std::string FloatText(double value);

private:
    struct Entry {
        std::string key, value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    const Entry* Find(const std::string& section, const std::string& key) const;
    std::string path_;
    std::vector<Section> sections_;
};

}  // namespace gui
