#pragma once
// The preview page cache: renders the pages of a report page (TLightRep) into sheets,
// keeps every sheet as a run-length-compressed bitmap in a temporary page file, and
// shows any stored sheet in the report form's image. Only the sheet being drawn is held
// in memory; a sheet once rendered is revisited from the file, because the report's data
// move only forward.
//
// The page file is "vLR<n>.tmp" in the temporary folder, created exclusively (a file of
// another program is never reused); it holds one whole BMP file per sheet, appended in
// storing order, 8-bit RLE (4-bit RLE for a 4-bit page bitmap), and no index: the offsets
// live in memory. It is deleted by the next Start and on destruction.
//
// Sheets are numbered from 1 for GotoPage; marks map each rendered report page (from 1)
// to the sheet that holds it. An out-of-range number only beeps.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/print/Graphics.h"
#include "report/LightRep.h"

class QImage;

namespace report {

class PageFile;

// Where sheets are shown: the report form's image.
class TImageTarget {
public:
    virtual ~TImageTarget() = default;
    virtual int ImageWidth() const = 0;
    virtual int ImageHeight() const = 0;
    virtual void SetPicture(const QImage& picture) = 0;
};

class TLRPreviewControl {
public:
    TLRPreviewControl();
    ~TLRPreviewControl();
    TLRPreviewControl(const TLRPreviewControl&) = delete;
    TLRPreviewControl& operator=(const TLRPreviewControl&) = delete;

    TLightRep* LightRep = nullptr;
    TPixelFormat PixelFormat = TPixelFormat::pf8bit;
    // Called for an out-of-range page number; QApplication::beep by default.
    std::function<void()> OnBeep;

    void Start(TImageTarget* image);
    int StorePage(platform::TBitmap& bitmap);
    void ShowPage(int index);
    void MarkPage();
    bool NextStoredPage();
    void NextPage();
    void PriorPage();
    void DrawScaledPart(int x, int y, int percent);
    void StoreAndShowPage();
    int RenderPage();
    void RenderScaledPart(int x, int y, int percent);
    void StoreAndClear();
    void GotoPage(int n);
    void GotoMarkedPage(int n);
    void FirstPage() { GotoPage(1); }
    void LastPage() { GotoPage(GetPageCount()); }

    int GetPageNumber() const { return current_ + 1; }
    int GetPageCount() const { return static_cast<int>(offsets_.size()); }
    bool IsFirstPage() const { return current_ == 0; }
    bool IsLastPage() const { return offsets_.empty() || current_ == GetPageCount() - 1; }
    // The page file in the temporary folder, by the system's name (UTF-8).
    const std::string& FileName() const { return fileName_; }
    // The sheet holding report page n (from 1), or -1.
    int MarkOf(int n) const;
    // Reads stored sheet index (from 0) back from the page file.
    QImage ReadSheet(int index);

private:
    void PreparePageBitmap();
    void CloseFile();
    void Beep();
    platform::TBitmap& PageBitmap();

    std::vector<int64_t> offsets_;
    std::vector<int32_t> marks_;
    std::unique_ptr<platform::TBitmap> pageBitmap_;
    int current_ = 0;
    TImageTarget* image_ = nullptr;
    std::string fileName_;
    std::unique_ptr<PageFile> file_;
};

}  // namespace report
