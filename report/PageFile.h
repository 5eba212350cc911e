#pragma once
// The preview page file: whole BMP files as TPxDIB writes them, appended one after
// another and read back from their start offsets. A 4-bit bitmap is stored 4-bit RLE,
// any other 8-bit RLE (colours mapped onto the format's default palette).
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
    // Appends the bitmap at the end of the file; answers its offset. Errors of the
    // stream and of the bitmap library pass to the caller.
    int64_t Append(platform::TBitmap& bitmap);
    QImage Read(int64_t offset);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace report
