#include "imaging/PxPicture.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "imaging/PxDIBErrors.h"

namespace imaging {
namespace {

struct Registry {
    std::mutex lock;
    std::vector<TFileFormat> files;
    std::map<uint16_t, std::pair<std::string, TGraphicFactory>> clipboard;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

void RegisterFileFormat(const std::string& extension, const std::string& description, const std::string& className,
                        TGraphicFactory create)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    const std::string ext = Lower(extension);
    std::erase_if(r.files, [&](const TFileFormat& f) { return f.Extension == ext; });
    r.files.push_back({ext, description, className, std::move(create)});
}

void RegisterClipboardFormat(uint16_t format, const std::string& className, TGraphicFactory create)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    r.clipboard[format] = {className, std::move(create)};
}

void UnregisterGraphicClass(const std::string& className)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    std::erase_if(r.files, [&](const TFileFormat& f) { return f.ClassName == className; });
    std::erase_if(r.clipboard, [&](const auto& entry) { return entry.second.first == className; });
}

const TFileFormat* FindFileFormat(const std::string& extension)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    const std::string ext = Lower(extension);
    for (const TFileFormat& f : r.files)
        if (f.Extension == ext)
            return &f;
    return nullptr;
}

std::unique_ptr<TPxGraphic> CreateGraphicForClipboardFormat(uint16_t format)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    auto it = r.clipboard.find(format);
    return it == r.clipboard.end() ? nullptr : it->second.second();
}

std::vector<TFileFormat> FileFormats()
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    return r.files;
}

std::unique_ptr<TPxGraphic> LoadPicture(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    const TFileFormat* format = dot == std::string::npos ? nullptr : FindFileFormat(path.substr(dot + 1));
    if (format == nullptr)
        throw EInvalidGraphic("TPicture.LoadFromFile: Unknown picture file extension (" + path + ")");
    std::unique_ptr<TPxGraphic> graphic = format->Create();
    TPxFileStream stream(path, TPxFileStream::TMode::OpenRead);
    graphic->LoadFromStream(stream);
    return graphic;
}

}  // namespace imaging
