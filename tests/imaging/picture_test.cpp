// The picture-class registry: TPxDIB answers for "dib" files and CF_DIB.
#include <gtest/gtest.h>

#include "imaging/PxDIB.h"
#include "imaging/PxDIBErrors.h"
#include "imaging/PxPicture.h"
#include "tests/common/TestSupport.h"

namespace imaging {
namespace {

TEST(PictureClasses, DibFilesAndTheClipboardFormatBelongToTPxDIB)
{
    TPxDIB keepLinked;
    const TFileFormat* format = FindFileFormat("DIB");
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->Description, "Device Independent Bitmap");
    EXPECT_NE(dynamic_cast<TPxDIB*>(CreateGraphicForClipboardFormat(CF_DIB).get()), nullptr);
    EXPECT_EQ(CreateGraphicForClipboardFormat(2), nullptr);

    kura::test::TempDir dir;
    keepLinked.SetBitCount(4);
    keepLinked.SetWidth(7);
    keepLinked.SaveToFile(dir.file("page.dib"));
    auto picture = LoadPicture(dir.file("page.dib"));
    EXPECT_EQ(picture->GetWidth(), 7);
    EXPECT_THROW(LoadPicture(dir.file("page.xyz")), EInvalidGraphic);

    const TFileFormat registered = *format;
    UnregisterGraphicClass("TPxDIB");
    EXPECT_EQ(FindFileFormat("dib"), nullptr);
    EXPECT_EQ(CreateGraphicForClipboardFormat(CF_DIB), nullptr);

    // The registry is the process's: the class goes back as the library registered it.
    RegisterClipboardFormat(CF_DIB, registered.ClassName, registered.Create);
    RegisterFileFormat(registered.Extension, registered.Description, registered.ClassName, registered.Create);
    EXPECT_EQ(LoadPicture(dir.file("page.dib"))->GetWidth(), 7);
}

}  // namespace
}  // namespace imaging
