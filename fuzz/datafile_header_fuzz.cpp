// Opens arbitrary bytes as a data file: the header checks must turn any damage into
// an engine error, and what they let through must read without an over-read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "engine/errors/EngineErrors.h"
#include "engine/files/DataFile.h"
#include "engine/files/EngineFile.h"

namespace {

const std::string& ScratchFile() {
    static const std::string path = [] {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/kura-fuzz-" + std::to_string(getpid()) + ".DAT";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!kura::FileList) kura::FileList = new kura::TFileList();
    const std::string& path = ScratchFile();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size > 0) std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    kura::TDataFile file(nullptr);
    file.FileName = path;
    try {
        file.OpenFile();
        try {
            file.VerifyHeader();
        } catch (const kura::EKuraEngineError&) {
            // Reading must stay safe even after verification found a fault.
        }
        const uint32_t last = file.GetLastRecordNumber();
        for (uint32_t n = 1; n <= last && n <= 16; ++n) {
            kura::TRecord* record = nullptr;
            try {
                file.ReadRecord(nullptr, n, record, 1, false, true);
            } catch (const kura::EKuraEngineError&) {
            }
            if (record) file.ReleaseRecord(record);
        }
    } catch (const kura::EKuraEngineError&) {
    }
    try {
        file.CloseFile();
    } catch (const kura::EKuraEngineError&) {
    }
    std::remove(path.c_str());
    return 0;
}
