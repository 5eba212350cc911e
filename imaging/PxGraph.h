#pragma once
// TPxGraphic: the abstract picture of the bitmap library, standing where the GUI
// class library's graphic family stood. A picture has a size, a palette, is drawn on
// a canvas, moves through streams and the clipboard, and tells its owner of changes
// (OnChange) and of the progress of long conversions (OnProgress).
#include <cstdint>
#include <functional>
#include <string>

#include "imaging/PxStream.h"
#include "platform/Memory.h"
#include "platform/gdi/Geometry.h"
#include "platform/gdi/Palette.h"

namespace platform::gdi {
class Canvas;
}

namespace imaging {

using platform::gdi::TRect;

enum class TProgressStage { psStarting, psRunning, psEnding };

class TPxGraphic {
public:
    using TNotify = std::function<void(TPxGraphic& sender)>;
    using TProgressEvent = std::function<void(TPxGraphic& sender, TProgressStage stage, uint8_t percentDone,
                                              bool redrawNow, const TRect& r, const std::string& msg)>;

    virtual ~TPxGraphic() = default;

    virtual void Draw(platform::gdi::Canvas& canvas, const TRect& rect) = 0;
    virtual bool GetEmpty() const = 0;
    virtual int32_t GetHeight() const = 0;
    virtual int32_t GetWidth() const = 0;
    virtual void SetHeight(int32_t value) = 0;
    virtual void SetWidth(int32_t value) = 0;
    virtual platform::gdi::HPALETTE GetPalette() = 0;
    virtual void SetPalette(platform::gdi::HPALETTE value) = 0;
    virtual void LoadFromStream(TPxStream& stream) = 0;
    virtual void SaveToStream(TPxStream& stream) = 0;
    virtual void LoadFromClipboardFormat(uint16_t format, const platform::GlobalBlock* data,
                                         platform::gdi::HPALETTE palette) = 0;
    virtual void SaveToClipboardFormat(uint16_t& format, platform::HGlobal& data,
                                       platform::gdi::HPALETTE& palette) = 0;
    virtual uint16_t GetClipboardFormat() const = 0;

    // Reads the picture from the system clipboard in GetClipboardFormat.
    void AssignFromClipboard();

    TNotify OnChange;
    TProgressEvent OnProgress;
    bool PaletteModified = false;

protected:
    void Changed()
    {
        if (OnChange)
            OnChange(*this);
    }
    void Progress(TProgressStage stage, uint8_t percent, bool redrawNow, const TRect& r, const std::string& msg)
    {
        if (OnProgress)
            OnProgress(*this, stage, percent, redrawNow, r, msg);
    }
};

}  // namespace imaging
