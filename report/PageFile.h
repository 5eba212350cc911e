#pragma once
// The preview page file: whole BMP files appended one after another, each read back
// from its start offset. The bits are run-length compressed.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/print/Graphics.h"

class QImage;

namespace report {

class PageFile {
public:
    // Opens (truncating) the file, which the caller has created.
    explicit PageFile(const std::string& path);
    ~PageFile();
    // Appends the bitmap at the end of the file; answers its offset.
    int64_t Append(platform::TBitmap& bitmap);
    QImage Read(int64_t offset);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace report
