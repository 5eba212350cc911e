// Small requests of the cursor handed to the shared table and its files, the index
// path stack, and header values that are read whether the cursor is open or not.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataTable.h"
#include "engine/expr/ExpToken.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/FileHandler.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

// Reads that a change check keeps interrupting are repeated this many times.
constexpr int32_t PAGE_READ_ATTEMPTS = 1000;

uint32_t ReadU32(const uint8_t* p) { return dfbytes::GetU32(p); }

}  // namespace

// ---- Index file ---------------------------------------------------------------------

void TDataCursor::SetRootPage(uint32_t page) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetIndexFile().SetRootPage(FIndexNo, page);
}

void TDataCursor::SetParamsPage(uint32_t page) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetIndexFile().SetParamsPage(FIndexNo, page);
}

TPage* TDataCursor::AllocatePage() {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    TPage* page = nullptr;
    FTable->GetIndexFile().AllocatePage(*this, page);
    return page;
}

void TDataCursor::FreePage(TPage* page) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetIndexFile().FreePage(*this, page);
}

bool TDataCursor::GetFirstIndexPage(TPage*& page, bool& retry) {
    page = nullptr;
    retry = false;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    bool failed = false;
    const bool found = FTable->GetIndexFile().ReadRootPage(*this, page, failed);
    retry = failed;
    return found;
}

bool TDataCursor::GetFirstIndexPage(TPage*& page) {
    bool retry = false;
    for (int32_t attempt = 0; attempt < PAGE_READ_ATTEMPTS; ++attempt) {
        if (GetFirstIndexPage(page, retry)) return true;
        if (!retry) return false;
    }
    RaiseError(KURA_LOCKTIMEOUT);
}

bool TDataCursor::GetParamsPage(TPage*& page) {
    page = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    bool failed = false;
    // The index file repeats the read a bounded number of times and then raises.
    return FTable->GetIndexFile().ReadParamsPage(*this, page, failed);
}

bool TDataCursor::GetIndexPage(uint32_t pageNo, bool isNew, TPage*& page) {
    page = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetIndexFile().ReadPage(*this, pageNo, page, isNew);
}

void TDataCursor::ReleaseIndexPage(TPage*& page) {
    if (!page) return;
    if (FTable) FTable->GetIndexFile().ReleasePage(page);
    page = nullptr;
}

TPage* TDataCursor::PopPage() {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetIndexFile().PopPage();
}

void TDataCursor::PushPage(TPage*& page) {
    if (!page) return;
    if (FTable) {
        FTable->GetIndexFile().PushPage(page);
    } else {
        delete page;
    }
    page = nullptr;
}

// ---- Index path stack ---------------------------------------------------------------

uint32_t TDataCursor::GetPathPage() const { return FPosition.PathPages[FPosition.Depth - 1u]; }
void TDataCursor::SetPathPage(uint32_t page) {
    FPosition.PagesUsed = std::max(FPosition.PagesUsed, FPosition.Depth);
    FPosition.PathPages[FPosition.Depth - 1u] = page;
}
uint32_t TDataCursor::GetPathSlot() const { return FPosition.PathSlots[FPosition.Depth - 1u]; }
void TDataCursor::SetPathSlot(uint32_t slot) {
    FPosition.SlotsUsed = std::max(FPosition.SlotsUsed, FPosition.Depth);
    FPosition.PathSlots[FPosition.Depth - 1u] = slot;
}
// Every descent clears the path first: only the depths written since the last
// clear, the rest are zero already.
void TDataCursor::ClearPathPages() {
    std::fill_n(FPosition.PathPages.begin(), FPosition.PagesUsed, 0u);
    FPosition.PagesUsed = 0;
}
void TDataCursor::ClearPathSlots() {
    std::fill_n(FPosition.PathSlots.begin(), FPosition.SlotsUsed, 0u);
    FPosition.SlotsUsed = 0;
}

void TDataCursor::PushPath() {
    // A deeper path than the stack holds can only come from a damaged index.
    if (FPosition.Depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
    ++FPosition.Depth;
}

void TDataCursor::PopPath() {
    if (FPosition.Depth > 1) --FPosition.Depth;
}

void TDataCursor::SetPathDepth(uint8_t depth) {
    if (depth < 1 || depth > MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
    FPosition.Depth = depth;
}

uint32_t TDataCursor::GetPathSlot(uint8_t depth) const {
    if (depth < 1 || depth > MAX_INDEX_DEPTH) return 0;
    return FPosition.PathSlots[depth - 1u];
}

void TDataCursor::SetPathSlot(uint8_t depth, uint32_t slot) {
    if (depth < 1 || depth > MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
    FPosition.SlotsUsed = std::max(FPosition.SlotsUsed, depth);
    FPosition.PathSlots[depth - 1u] = slot;
}

uint32_t TDataCursor::GetPathParent(uint8_t depth) const {
    if (depth < 1 || depth > MAX_INDEX_DEPTH) return 0;
    return FPosition.PathPages[depth - 1u];
}

// ---- Data file ----------------------------------------------------------------------

TRecord* TDataCursor::PopRecord() {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetDataFile().PopRecord();
}

void TDataCursor::PushRecord(TRecord*& record) {
    if (!record) return;
    if (FTable) {
        FTable->GetDataFile().PushRecord(record);
    } else {
        delete record;
    }
    record = nullptr;
}

uint32_t TDataCursor::GetNextFreeRecord() const {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetDataFile().GetNextFreeRecord();
}

bool TDataCursor::AllocateRecord(TRecord*& record) {
    record = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    // The cached slot keeps the table's record size: computed fields live only in
    // the cursor's buffers, and a cached record larger than its slot would be
    // written past it.
    return FTable->GetDataFile().AllocateRecord(this, record);
}

void TDataCursor::FreeRecord(uint32_t recordNo) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    TRecord* record = nullptr;
    int32_t attempts = 0;
    while (!GetRecord(recordNo, 0, record)) {
        if (++attempts >= PAGE_READ_ATTEMPTS) RaiseError(KURA_LOCKTIMEOUT);
    }
    FTable->GetDataFile().FreeRecord(record);
    record->Modified = 1;
    ReleaseRecord(record);
}

bool TDataCursor::GetRecord(uint32_t recordNo, uint8_t options, TRecord*& record, int32_t direction) {
    record = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    TDataFile& data = FTable->GetDataFile();
    if (recordNo == 0 || recordNo >= data.GetNextRecordNumber()) RaiseError(KURA_RECNOTFOUND);
    const bool readAhead = (options & grReadAhead) != 0;
    const bool block = (options & grBlockRead) != 0;
    // A read-ahead follows the cursor's order; a block read takes the slots that
    // follow in the file, which is what a scan in record-number order visits next.
    return data.ReadRecord(this, recordNo, record, direction, readAhead, readAhead || block);
}

void TDataCursor::ReleaseRecord(TRecord*& record) {
    if (!record) return;
    if (FTable) FTable->GetDataFile().ReleaseRecord(record);
    record = nullptr;
}

uint32_t TDataCursor::GetLastAutoIncValue() {
    if (FOpen && FTable) return FTable->GetLastAutoInc();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return ReadU32(&header[dho::LastAutoInc]);
}

void TDataCursor::SetLastAutoIncValue(uint32_t value) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->SetLastAutoInc(value);
}

uint32_t TDataCursor::GetNextBlobID() {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetNextBlobId();
}

uint32_t TDataCursor::GetBufferRecordNo(const uint8_t* buffer) { return ReadU32(buffer + RH_NUMBER); }
uint32_t TDataCursor::GetBufferAutoInc(const uint8_t* buffer) { return ReadU32(buffer + RH_AUTOINC); }
void TDataCursor::SetBufferAutoInc(uint8_t* buffer, uint32_t value) { dfbytes::PutU32(buffer + RH_AUTOINC, value); }

uint32_t TDataCursor::GetBlobFieldID(const uint8_t* buffer, uint16_t fieldNo, bool useTableFields) const {
    TFieldDesc desc;
    if (useTableFields) {
        GetTableFieldDesc(fieldNo, desc);
    } else {
        GetFieldDesc(fieldNo, desc);
    }
    if (desc.FieldType() != fldBLOB || desc.Offset() + 9u > FRecordSize) RaiseError(KURA_NOTABLOB, desc.Name());
    return ReadU32(buffer + desc.Offset() + 5);
}

void TDataCursor::SetBlobFieldID(uint8_t* buffer, uint16_t fieldNo, bool useTableFields, uint32_t blobId) const {
    TFieldDesc desc;
    if (useTableFields) {
        GetTableFieldDesc(fieldNo, desc);
    } else {
        GetFieldDesc(fieldNo, desc);
    }
    if (desc.FieldType() != fldBLOB || desc.Offset() + 9u > FRecordSize) RaiseError(KURA_NOTABLOB, desc.Name());
    dfbytes::PutU32(buffer + desc.Offset() + 5, blobId);
}

// ---- BLOB file ----------------------------------------------------------------------

bool TDataCursor::AllocateBlobBlock(TBlock*& block) {
    block = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetBlobFile().AllocateBlock(this, block);
}

bool TDataCursor::GetBlobBlock(uint32_t blockNo, int32_t count, bool readAhead, TBlock*& block) {
    block = nullptr;
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->GetBlobFile().ReadBlock(this, blockNo, block, count, readAhead);
}

void TDataCursor::ReleaseBlobBlock(TBlock*& block) {
    if (!block) return;
    if (FTable) FTable->GetBlobFile().ReleaseBlock(block);
    block = nullptr;
}

bool TDataCursor::FreeBlobChain(uint32_t& firstBlock, uint32_t recordNo, uint32_t blobId) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->FreeBlobChain(this, firstBlock, false, recordNo, blobId);
}

bool TDataCursor::FreeBlockChain(TBlock* block, uint32_t recordNo, uint32_t blobId, int32_t count) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    return FTable->FreeBlockChain(this, block, false, recordNo, blobId, count);
}

uint16_t TDataCursor::GetBlobBlockSize() {
    uint16_t size = 0;
    if (FOpen && FTable) {
        size = FTable->GetDataFile().GetBlobBlockSize();
    } else {
        uint8_t header[DATA_HEADER_SIZE];
        GetDataHeader(header);
        size = static_cast<uint16_t>(ReadU32(&header[dho::BlobBlockSize]));
    }
    return size == 0 ? DEFAULT_BLOB_BLOCK_SIZE : size;
}

int32_t TDataCursor::GetBlobBlockDataSize() { return static_cast<int32_t>(GetBlobBlockSize()) - BLOCK_HEADER_SIZE; }

TBlobFile* TDataCursor::GetBlobFile() { return (FTable && !IsRemote()) ? &FTable->GetBlobFile() : nullptr; }

// ---- Header values ------------------------------------------------------------------

void TDataCursor::GetDataHeader(uint8_t* buffer) {
    if (FOpen && FTable) {
        FTable->CopyDataHeader(buffer);
        return;
    }
    if (IsRemote()) {
        GetRemoteDataHeader(buffer);
        return;
    }
    if (!FDirectory) RaiseError(KURA_NOTINITIALIZED);
    TFileHandler file;
    std::string name;
    ReplaceFileExt(FTableName, ".DAT", ".DAT", name);
    file.FileName = FDirectory->Path + name;
    file.ReadOnly = true;
    file.IsMemory = FInMemory;
    file.OpenFile();
    std::memset(buffer, 0, DATA_HEADER_SIZE);
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, 0);
        file.ReadBuffer(buffer, DATA_HEADER_SIZE, true);
    }
    file.CloseFile();
    if (buffer[dho::Version] != DATA_FILE_VERSION) {
        const uint8_t version = buffer[dho::Version];
        std::memset(buffer, 0, DATA_HEADER_SIZE);
        buffer[dho::Version] = version;
        return;
    }
    if (buffer[dho::Encrypted] != 0) {
        std::string password = dfbytes::GetPStr(&buffer[dho::Password], TABLE_PASSWORD_LENGTH);
        if (!password.empty())
            UnscrambleBuffer(password.data(), static_cast<int32_t>(password.size()), STRING_SCRAMBLE_LOW,
                             STRING_SCRAMBLE_HIGH);
        CheckTablePassword(password);
    }
}

uint16_t TDataCursor::GetLocaleID() {
    if (FOpen) return FLocaleID;
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return dfbytes::GetU16(&header[dho::LocaleId]);
}

uint16_t TDataCursor::GetSortID() {
    if (FOpen) return FSortID;
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return dfbytes::GetU16(&header[dho::SortId]);
}

uint16_t TDataCursor::GetUserMajorVersion() {
    if (FOpen && FTable) return FTable->GetUserMajorVersion();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return dfbytes::GetU16(&header[dho::UserMajor]);
}

uint16_t TDataCursor::GetUserMinorVersion() {
    if (FOpen && FTable) return FTable->GetUserMinorVersion();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return dfbytes::GetU16(&header[dho::UserMinor]);
}

namespace {

// A header text, unscrambled when the table is encrypted.
std::string HeaderText(const uint8_t* header, int offset, uint8_t maxLength) {
    std::string text = dfbytes::GetPStr(&header[offset], maxLength);
    if (header[dho::Encrypted] == 1 && !text.empty())
        ScrambleBuffer(text.data(), static_cast<int32_t>(text.size()), STRING_SCRAMBLE_LOW, STRING_SCRAMBLE_HIGH);
    return text;
}

}  // namespace

std::string TDataCursor::GetTableDescription() {
    if (FOpen && FTable) return FTable->GetDataFile().GetDescription();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return HeaderText(header, dho::Description, TABLE_DESCRIPTION_LENGTH);
}

bool TDataCursor::IsTableEncrypted() {
    if (FOpen && FTable) return FTable->IsEncrypted();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    return header[dho::Encrypted] == 1;
}

std::string TDataCursor::GetTablePassword() {
    if (FOpen && FTable) return FTable->GetDataFile().GetPassword();
    uint8_t header[DATA_HEADER_SIZE];
    GetDataHeader(header);
    if (header[dho::Encrypted] != 1) return {};
    return HeaderText(header, dho::Password, TABLE_PASSWORD_LENGTH);
}

}  // namespace kura
