#pragma once
// The picture-class registry: which graphic class reads a file extension or a
// clipboard format. TPxDIB registers itself for "dib" ("Device Independent Bitmap")
// and for CF_DIB when the library is loaded. Extensions match without regard to case.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/PxGraph.h"

namespace imaging {

using TGraphicFactory = std::function<std::unique_ptr<TPxGraphic>()>;

struct TFileFormat {
    std::string Extension;    // without the dot, lower case
    std::string Description;
    std::string ClassName;
    TGraphicFactory Create;
};

void RegisterFileFormat(const std::string& extension, const std::string& description, const std::string& className,
                        TGraphicFactory create);
void RegisterClipboardFormat(uint16_t format, const std::string& className, TGraphicFactory create);
// Removes every registration of the class.
void UnregisterGraphicClass(const std::string& className);

// nullptr when no class reads the extension / format.
const TFileFormat* FindFileFormat(const std::string& extension);
std::unique_ptr<TPxGraphic> CreateGraphicForClipboardFormat(uint16_t format);
std::vector<TFileFormat> FileFormats();

// Reads a picture file with the class its extension names; EInvalidGraphic when none does.
std::unique_ptr<TPxGraphic> LoadPicture(const std::string& path);

}  // namespace imaging
