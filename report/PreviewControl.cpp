#include "report/PreviewControl.h"

#include <QApplication>
#include <QImage>

#include <cstdio>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/TempFile.h"
#include "report/PageFile.h"

namespace report {

TLRPreviewControl::TLRPreviewControl() = default;

TLRPreviewControl::~TLRPreviewControl() { CloseFile(); }

void TLRPreviewControl::CloseFile() {
    file_.reset();
    if (!fileName_.empty()) std::remove(fileName_.c_str());
    fileName_.clear();
}

void TLRPreviewControl::Beep() {
    if (OnBeep)
        OnBeep();
    else
        QApplication::beep();
}

platform::TBitmap& TLRPreviewControl::PageBitmap() {
    if (!pageBitmap_) PreparePageBitmap();
    return *pageBitmap_;
}

void TLRPreviewControl::PreparePageBitmap() {
    const int width = image_ ? image_->ImageWidth() : (LightRep ? LightRep->Width() : 1);
    const int height = image_ ? image_->ImageHeight() : (LightRep ? LightRep->Height() : 1);
    if (!pageBitmap_) pageBitmap_ = std::make_unique<platform::TBitmap>(width, height, PixelFormat);
    pageBitmap_->SetPixelFormat(PixelFormat);
    pageBitmap_->SetSize(width, height);
    TCanvas& canvas = pageBitmap_->Canvas();
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.BrushColor = platform::clWhite;
    canvas.FillRect(platform::Rect(0, 0, width, height));
}

void TLRPreviewControl::Start(TImageTarget* image) {
    offsets_.clear();
    marks_.clear();
    current_ = 0;
    CloseFile();
    const std::string folder = platform::GetTempPath();
    std::string name;
    if (platform::GetTempFileName(folder, "vLR", 0, &name) == 0)
        throw std::runtime_error("Cannot create a page file in " + platform::NativePath(folder));
    // The bitmap library and the C library read and write it: by the system's name.
    fileName_ = platform::NativePath(name);
    file_ = std::make_unique<PageFile>(fileName_);
    image_ = image;
    PreparePageBitmap();
    if (LightRep) LightRep->BeginPreview();
}

int TLRPreviewControl::StorePage(platform::TBitmap& bitmap) {
    if (!file_) throw std::runtime_error("The preview has not been started");
    offsets_.push_back(file_->Append(bitmap));
    return static_cast<int>(offsets_.size()) - 1;
}

QImage TLRPreviewControl::ReadSheet(int index) {
    if (!file_ || index < 0 || index >= GetPageCount()) return QImage();
    return file_->Read(offsets_[static_cast<size_t>(index)]);
}

void TLRPreviewControl::ShowPage(int index) {
    const QImage sheet = ReadSheet(index);
    if (image_) image_->SetPicture(sheet);
    current_ = index;
}

void TLRPreviewControl::MarkPage() { marks_.push_back(GetPageCount()); }

int TLRPreviewControl::MarkOf(int n) const {
    if (n < 1 || n > static_cast<int>(marks_.size())) return -1;
    return marks_[static_cast<size_t>(n - 1)];
}

bool TLRPreviewControl::NextStoredPage() {
    if (offsets_.empty() || current_ + 1 >= GetPageCount()) return false;
    ShowPage(current_ + 1);
    return true;
}

void TLRPreviewControl::NextPage() {
    if (NextStoredPage()) return;
    ShowPage(RenderPage());
}

void TLRPreviewControl::PriorPage() {
    if (current_ > 0) ShowPage(current_ - 1);
}

void TLRPreviewControl::RenderScaledPart(int x, int y, int percent) {
    if (!LightRep) return;
    platform::TBitmap& page = PageBitmap();
    LightRep->DrawScaledPage(page.Canvas(), x, PixelFormat, percent, y);
    MarkPage();
}

void TLRPreviewControl::DrawScaledPart(int x, int y, int percent) {
    RenderScaledPart(x, y, percent);
    if (image_) image_->SetPicture(PageBitmap().Image());
}

void TLRPreviewControl::StoreAndClear() {
    StorePage(PageBitmap());
    PreparePageBitmap();
}

void TLRPreviewControl::StoreAndShowPage() {
    const int index = StorePage(PageBitmap());
    ShowPage(index);
    PreparePageBitmap();
}

int TLRPreviewControl::RenderPage() {
    platform::TBitmap& page = PageBitmap();
    if (LightRep) LightRep->DrawPreviewPage(page.Canvas());
    MarkPage();
    return StorePage(page);
}

void TLRPreviewControl::GotoPage(int n) {
    if (n < 1 || n > GetPageCount()) {
        Beep();
        return;
    }
    ShowPage(n - 1);
}

void TLRPreviewControl::GotoMarkedPage(int n) {
    const int sheet = MarkOf(n);
    if (sheet < 0 || sheet >= GetPageCount()) {
        Beep();
        return;
    }
    ShowPage(sheet);
}

}  // namespace report
