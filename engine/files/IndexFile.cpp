#include "engine/files/IndexFile.h"

#include <algorithm>
#include <cstring>

#include "engine/files/FieldDesc.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

using dfbytes::GetU16;
using dfbytes::GetU32;
using dfbytes::PutU16;
using dfbytes::PutU32;

namespace {

std::string TrimBlanks(std::string_view s) {
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && static_cast<uint8_t>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<uint8_t>(s[last - 1]) <= ' ') --last;
    return std::string(s.substr(first, last - first));
}

}  // namespace

// ---- TIndexDesc ---------------------------------------------------------------

std::string TIndexDesc::GetName() const { return dfbytes::GetPStr(&Bytes[ido::Name], INDEX_NAME_LENGTH); }

void TIndexDesc::SetName(std::string_view name) {
    std::fill(Bytes.begin() + ido::Name, Bytes.begin() + ido::Name + 1 + INDEX_NAME_LENGTH, 0);
    dfbytes::PutPStr(&Bytes[ido::Name], INDEX_NAME_LENGTH, name);
}

uint16_t TIndexDesc::GetKeySize() const { return GetU16(&Bytes[ido::KeySize]); }
void TIndexDesc::SetKeySize(uint16_t size) { PutU16(&Bytes[ido::KeySize], size); }
uint16_t TIndexDesc::GetField(int i) const { return GetU16(&Bytes[ido::Fields + 2 * i]); }
void TIndexDesc::SetField(int i, uint16_t fieldNo) { PutU16(&Bytes[ido::Fields + 2 * i], fieldNo); }
uint32_t TIndexDesc::GetU32(int offset) const { return dfbytes::GetU32(&Bytes[offset]); }
void TIndexDesc::SetU32(int offset, uint32_t value) { dfbytes::PutU32(&Bytes[offset], value); }

// ---- Construction -------------------------------------------------------------

TIndexFile::TIndexFile(TIndexFileOwner* owner) : TFileHandler(owner), FOwner(owner) {
    if (IsRemote()) return;
    FPool = std::make_unique<TPageStack>(this);
    for (auto& list : FLists) {
        list.Capacity = ConfiguredCacheSize();
        list.Reserve(list.Capacity);
    }
}

TIndexFile::~TIndexFile() {
    if (IsRemote()) return;
    try {
        CloseFile();
    } catch (...) {
        // A destructor cannot report a failed close; the registry still frees the file.
    }
    for (TPage* page : FDetached) delete page;
    FDetached.clear();
}

std::string TIndexFile::GetTableName() const { return FOwner ? FOwner->GetTableName() : FileName; }
TTableErrorContext TIndexFile::GetErrorContext() const { return FOwner ? FOwner->GetErrorContext() : TTableErrorContext{}; }

void TIndexFile::RaiseError(TEngineErrorCode code, std::string_view indexName) const {
    TTableErrorContext context = GetErrorContext();
    RaiseEngineError(code, context.Server, context.User, context.Database, GetTableName(), {}, indexName);
}

bool TIndexFile::IsEncrypted() const { return FOwner && FOwner->IsEncrypted(); }
bool TIndexFile::IsRemote() const { return FOwner && FOwner->IsRemote(); }
bool TIndexFile::InTransaction() const { return FOwner && FOwner->InTransaction(); }
bool TIndexFile::GetFilesWritten() const { return FOwner && FOwner->GetFilesWritten(); }
void TIndexFile::SetFilesWritten() {
    if (FOwner) FOwner->SetFilesWritten();
}

int32_t TIndexFile::ConfiguredCacheSize() const {
    int32_t limit = FOwner ? FOwner->GetIndexCacheLimit() : DEFAULT_INDEX_CACHE_LIMIT;
    return limit > 0 ? limit / 8192 : 0;
}

void TIndexFile::CheckSlot(uint8_t slot) const {
    if (slot >= INDEX_SLOT_COUNT) RaiseError(KURA_INVALIDIDXDESC);
}

// ---- File operations ------------------------------------------------------------

void TIndexFile::OpenFile() {
    if (IsOpen) return;
    TFileHandler::OpenFile();
    try {
        // Made, and its header never written (its program cut off): no index file yet.
        if (GetFileSize() == 0) RaiseEngineError(KURA_OSENOENT, {}, {}, {}, FileName);
        ReadHeader();
    } catch (...) {
        TFileHandler::CloseFile();
        throw;
    }
    FStatistics = {};
}

void TIndexFile::CloseFile() {
    if (!IsOpen) return;
    if (!IsRemote()) {
        RemoveTemporaryIndexes();
        FreePageCache(true);
        FreePageCache(false);
    }
    TFileHandler::CloseFile();
}

void TIndexFile::CreateFile() {
    TFileHandler::CreateFile();
    FHeader.fill(0);
    FHeader[iho::Version] = INDEX_FILE_VERSION;
    PutU32(&FHeader[iho::NextNewPage], 1);
    uint8_t* deleted = DescAt(SYS_DELETED_SLOT);
    dfbytes::PutPStr(deleted + ido::Name, INDEX_NAME_LENGTH, "Sys Deleted");
    PutU16(deleted + ido::KeySize, SYS_DELETED_KEY_SIZE);
    uint8_t* text = DescAt(SYS_TEXT_SLOT);
    dfbytes::PutPStr(text + ido::Name, INDEX_NAME_LENGTH, "Sys Text");
    PutU16(text + ido::KeySize, SYS_TEXT_KEY_SIZE);
    text[ido::Compression] = kcBoth;
    FHeader[iho::Modified] = 1;
    FStatistics = {};
}

// ---- Header ---------------------------------------------------------------------

// Everything later operations index with must be sound before the image is taken:
// the secondary count decides which slots are indexes, the key size the size of
// every page entry, the compression how pages unpack.
void TIndexFile::CheckHeaderStructure(const TIndexHeader& header) const {
    if (header[iho::Version] != INDEX_FILE_VERSION) RaiseError(KURA_OLDVERSION);
    const uint8_t count = header[iho::IndexCount];
    if (count > MAX_SECONDARY_INDEXES) RaiseError(KURA_HEADERCORRUPT);
    const uint32_t nextNew = GetU32(&header[iho::NextNewPage]);
    if (nextNew == 0 || nextNew > INDEX_PAGE_NUMBER_LIMIT + 1) RaiseError(KURA_HEADERCORRUPT);
    auto check = [&](uint8_t slot) {
        const uint8_t* d = &header[iho::Descs + slot * INDEX_DESC_SIZE];
        const uint16_t keySize = GetU16(d + ido::KeySize);
        if (keySize > MAX_INDEX_KEY_SIZE || d[ido::FieldCount] > MAX_INDEX_FIELDS || d[ido::Compression] > kcBoth)
            RaiseError(KURA_HEADERCORRUPT);
        const bool hasRoot = GetU32(d + ido::RootPage) != 0;
        if (keySize == 0 && (slot != 0 || hasRoot)) RaiseError(KURA_HEADERCORRUPT);
    };
    for (uint8_t slot = 0; slot <= count; ++slot) check(slot);
    check(SYS_DELETED_SLOT);
    check(SYS_TEXT_SLOT);
}

void TIndexFile::ReadHeaderImage(TIndexHeader& header) {
    if (FReadBuffer.size() < static_cast<std::size_t>(INDEX_PAGE_SIZE)) FReadBuffer.resize(INDEX_PAGE_SIZE);
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        ReadBuffer(FReadBuffer.data(), INDEX_PAGE_SIZE, false);
    }
    if (IsEncrypted()) UnscrambleBuffer(FReadBuffer.data(), INDEX_PAGE_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    std::copy_n(FReadBuffer.begin(), INDEX_PAGE_SIZE, header.begin());
}

void TIndexFile::ReadHeader() {
    TIndexHeader header;
    ReadHeaderImage(header);
    CheckHeaderStructure(header);
    FHeader = header;
    FHeader[iho::Modified] = 0;
}

void TIndexFile::AdoptRemoteHeader(const TIndexHeader& header) {
    CheckHeaderStructure(header);
    FHeader = header;
    FHeader[iho::Modified] = 0;
}

void TIndexFile::AdoptRemoteCounters(uint32_t changeCount, uint32_t recordCount) {
    PutU32(&FHeader[iho::ChangeCount], changeCount);
    PutU32(&FHeader[iho::RecordCount], recordCount);
}

void TIndexFile::CheckVersion() const {
    if (FHeader[iho::Version] != INDEX_FILE_VERSION) RaiseError(KURA_OLDVERSION);
}

void TIndexFile::CopyHeaderForWrite(uint8_t* dest) const {
    std::copy(FHeader.begin(), FHeader.end(), dest);
    uint8_t count = dest[iho::IndexCount];
    if (count > MAX_SECONDARY_INDEXES) return;
    for (int slot = count; slot >= 0; --slot) {
        uint8_t* d = dest + iho::Descs + slot * INDEX_DESC_SIZE;
        if (d[ido::Temporary] != 0) {
            std::fill(d, d + INDEX_DESC_SIZE, 0);
            --dest[iho::IndexCount];
        }
    }
}

bool TIndexFile::WriteHeader(bool force) {
    if (!force && FHeader[iho::Modified] == 0) return false;
    PutU32(&FHeader[iho::ChangeCount], GetU32(&FHeader[iho::ChangeCount]) + 1u);
    if (FWriteBuffer.size() < static_cast<std::size_t>(INDEX_PAGE_SIZE)) FWriteBuffer.resize(INDEX_PAGE_SIZE);
    CopyHeaderForWrite(FWriteBuffer.data());
    if (IsEncrypted()) ScrambleBuffer(FWriteBuffer.data(), INDEX_PAGE_SIZE, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        WriteBuffer(FWriteBuffer.data(), INDEX_PAGE_SIZE);
    }
    SetFilesWritten();
    FHeader[iho::Modified] = 0;
    return true;
}

void TIndexFile::MarkModified() {
    PutU32(&FHeader[iho::ChangeCount], GetU32(&FHeader[iho::ChangeCount]) + 1u);
    FHeader[iho::Modified] = 1;
    SetFilesWritten();
}

bool TIndexFile::HeaderChanged() {
    // Every check of every reader comes here: the 4-byte change counter decides,
    // and only a changed header is read whole.
    std::array<uint8_t, 4> counter{};
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, iho::ChangeCount);
        ReadBuffer(counter.data(), static_cast<int32_t>(counter.size()), false);
    }
    if (IsEncrypted())
        UnscrambleBuffer(counter.data(), static_cast<int32_t>(counter.size()), TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    if (GetU32(counter.data()) == GetU32(&FHeader[iho::ChangeCount])) return false;
    TIndexHeader disk;
    ReadHeaderImage(disk);
    if (GetU32(&disk[iho::ChangeCount]) == GetU32(&FHeader[iho::ChangeCount])) return false;
    CheckHeaderStructure(disk);
    FHeader = disk;
    FHeader[iho::Modified] = 0;
    return true;
}

uint32_t TIndexFile::GetChangeCount() const { return GetU32(&FHeader[iho::ChangeCount]); }

void TIndexFile::InitFile() {
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, INDEX_PAGE_SIZE);
        WriteBuffer(FHeader.data(), 0);
    }
    if (FOwner && FOwner->GetForceBufferFlush()) FlushFile();
    // Cached pages now lie beyond the end of the file and their numbers will be
    // handed out again.
    FreePageCache(true);
    FreePageCache(false);
    FSideNextNewPage = 1;
    FHeader[iho::Version] = INDEX_FILE_VERSION;
    PutU32(&FHeader[iho::NextNewPage], 1);
    PutU32(&FHeader[iho::RecordCount], 0);
    for (uint8_t slot = 0; slot < INDEX_SLOT_COUNT; ++slot) {
        uint8_t* d = DescAt(slot);
        PutU32(d + ido::RootPage, 0);
        PutU32(d + ido::FreeHead, 0);
        PutU32(d + ido::ParamsPage, 0);
    }
    SetModified();
}

void TIndexFile::IncRecordCount() {
    PutU32(&FHeader[iho::RecordCount], GetRecordCount() + 1u);
    SetModified();
}

void TIndexFile::DecRecordCount() {
    PutU32(&FHeader[iho::RecordCount], GetRecordCount() - 1u);
    SetModified();
}

void TIndexFile::SetRecordCount(uint32_t count) {
    if (count == GetRecordCount()) return;
    PutU32(&FHeader[iho::RecordCount], count);
    SetModified();
}

uint32_t TIndexFile::GetRecordCount() const { return GetU32(&FHeader[iho::RecordCount]); }
bool TIndexFile::GetNoPrimaryIndex() const { return FHeader[iho::NoPrimaryIndex] != 0; }

bool TIndexFile::NoIndexSet() const {
    const uint8_t* primary = DescAt(0);
    return !GetNoPrimaryIndex() && GetU16(primary + ido::KeySize) == 0 && primary[ido::FieldCount] == 0;
}

void TIndexFile::SetNoPrimaryIndex(bool flag) {
    if (GetNoPrimaryIndex() != flag) {
        FHeader[iho::NoPrimaryIndex] = flag ? 1 : 0;
        SetModified();
    }
    if (flag) ClearIndexDesc(0);
}

uint8_t TIndexFile::GetIndexCount() const { return FHeader[iho::IndexCount]; }

void TIndexFile::SetIndexCount(uint8_t count) {
    if (count == FHeader[iho::IndexCount]) return;
    FHeader[iho::IndexCount] = count;
    SetModified();
}

// ---- Descriptors ---------------------------------------------------------------

void TIndexFile::GetIndexDesc(uint8_t slot, TIndexDesc& desc) const {
    CheckSlot(slot);
    std::copy_n(DescAt(slot), INDEX_DESC_SIZE, desc.Bytes.begin());
}

void TIndexFile::SetIndexDesc(uint8_t slot, const TIndexDesc& desc) {
    CheckSlot(slot);
    uint8_t* d = DescAt(slot);
    std::fill(d + ido::Name, d + ido::Name + 1 + INDEX_NAME_LENGTH, 0);
    dfbytes::PutPStr(d + ido::Name, INDEX_NAME_LENGTH, desc.GetName());
    PutU16(d + ido::KeySize, desc.GetKeySize());
    for (int offset : {ido::Descending, ido::CaseInsensitive, ido::Unique, ido::NoCounts, ido::Compression,
                       ido::FieldCount, ido::Temporary})
        d[offset] = desc.Bytes[offset];
    std::copy_n(desc.Bytes.begin() + ido::Options, MAX_INDEX_FIELDS, d + ido::Options);
    std::copy_n(desc.Bytes.begin() + ido::Fields, 2 * MAX_INDEX_FIELDS, d + ido::Fields);
    PutU32(d + ido::RootPage, 0);
    d[ido::Build] = 0;
    std::fill(d + ido::Reserved, d + INDEX_DESC_SIZE, 0);
    SetModified();
}

void TIndexFile::SetIndexNameAndFields(uint8_t slot, const TIndexDesc& desc) {
    CheckSlot(slot);
    uint8_t* d = DescAt(slot);
    std::fill(d + ido::Name, d + ido::Name + 1 + INDEX_NAME_LENGTH, 0);
    dfbytes::PutPStr(d + ido::Name, INDEX_NAME_LENGTH, desc.GetName());
    std::copy_n(desc.Bytes.begin() + ido::Fields, 2 * MAX_INDEX_FIELDS, d + ido::Fields);
    SetModified();
}

void TIndexFile::GetIndexFieldList(uint8_t slot, uint16_t (&fields)[MAX_INDEX_FIELDS]) const {
    CheckSlot(slot);
    for (int i = 0; i < MAX_INDEX_FIELDS; ++i) fields[i] = GetU16(DescAt(slot) + ido::Fields + 2 * i);
}

void TIndexFile::ClearIndexDesc(uint8_t slot) {
    CheckSlot(slot);
    uint8_t* d = DescAt(slot);
    TIndexDesc before;
    std::copy_n(d, INDEX_DESC_SIZE, before.Bytes.begin());
    std::fill(d, d + ido::FreeHead, 0);  // name .. root page
    d[ido::Build] = 0;
    d[ido::NoCounts] = 0;
    d[ido::Temporary] = 0;
    std::fill(d + ido::Reserved, d + INDEX_DESC_SIZE, 0);
    if (!std::equal(before.Bytes.begin(), before.Bytes.end(), d)) SetModified();
}

// Key fields must exist in the data file (when the owner can tell) and must not be
// BLOBs; a BLOB is refused with its name.
void TIndexFile::CheckKeyFields(const TIndexDesc& desc, bool allowBlob) const {
    if (!FOwner) return;
    const int count = std::min<int>(desc.GetFieldCount(), MAX_INDEX_FIELDS);
    for (int i = 0; i < count; ++i) {
        uint16_t fieldNo = desc.GetField(i);
        if (fieldNo == 0) continue;
        TIndexKeyField field;
        if (!FOwner->GetKeyField(fieldNo, field)) continue;
        if (!allowBlob && field.FieldType == fldBLOB) {
            TTableErrorContext context = GetErrorContext();
            RaiseEngineError(KURA_SEARCHCOLREQD, context.Server, context.User, context.Database, GetTableName(),
                             field.Name);
        }
    }
}

void TIndexFile::SetPrimaryIndexDesc(const TIndexDesc& desc) {
    if (GetU16(DescAt(0) + ido::KeySize) != 0) RaiseError(KURA_PRIMARYKEYREDEFINE);
    if (desc.GetFieldCount() > MAX_INDEX_FIELDS) RaiseError(KURA_INDEXLIMIT);
    if (desc.GetFieldCount() == 0) {
        SetNoPrimaryIndex(true);
        SetModified();
        return;
    }
    CheckKeyFields(desc, false);
    SetNoPrimaryIndex(false);
    uint8_t* d = DescAt(0);
    std::fill(d + ido::Name, d + ido::Name + 1 + INDEX_NAME_LENGTH, 0);
    PutU16(d + ido::KeySize, desc.GetKeySize());
    for (int offset : {ido::Descending, ido::CaseInsensitive, ido::NoCounts, ido::Compression, ido::FieldCount})
        d[offset] = desc.Bytes[offset];
    d[ido::Unique] = 1;
    std::copy_n(desc.Bytes.begin() + ido::Fields, 2 * MAX_INDEX_FIELDS, d + ido::Fields);
    std::copy_n(desc.Bytes.begin() + ido::Options, MAX_INDEX_FIELDS, d + ido::Options);
    SetModified();
}

void TIndexFile::AddIndex(const TIndexDesc& desc) {
    const uint8_t count = GetIndexCount();
    if (count >= MAX_SECONDARY_INDEXES) RaiseError(KURA_INDEXLIMIT);
    if (desc.GetFieldCount() > MAX_INDEX_FIELDS) RaiseError(KURA_INDEXLIMIT);
    const std::string name = desc.GetName();
    if (name.empty()) RaiseError(KURA_INDEXNAMEREQUIRED);
    if (!IsIdentStartChar(name[0])) RaiseError(KURA_INVALIDINDEXNAME, name);
    for (uint8_t slot = 1; slot <= count; ++slot) {
        TIndexDesc existing;
        GetIndexDesc(slot, existing);
        if (SameIndexName(existing.GetName(), name)) RaiseError(KURA_INDEXEXISTS, name);
    }
    CheckKeyFields(desc, false);
    // Before the descriptor exists: without its side file a temporary index would
    // put its pages into the index file itself.
    if (desc.IsTemporary() && !FSideFile) CreateSideFile();

    const uint8_t slot = static_cast<uint8_t>(count + 1);
    uint8_t* d = DescAt(slot);
    std::fill(d + ido::Name, d + ido::Name + 1 + INDEX_NAME_LENGTH, 0);
    dfbytes::PutPStr(d + ido::Name, INDEX_NAME_LENGTH, name);
    PutU16(d + ido::KeySize, desc.GetKeySize());
    for (int offset : {ido::Descending, ido::CaseInsensitive, ido::Unique, ido::NoCounts, ido::Compression,
                       ido::FieldCount, ido::Temporary})
        d[offset] = desc.Bytes[offset];
    std::copy_n(desc.Bytes.begin() + ido::Fields, 2 * MAX_INDEX_FIELDS, d + ido::Fields);
    std::copy_n(desc.Bytes.begin() + ido::Options, MAX_INDEX_FIELDS, d + ido::Options);
    PutU32(d + ido::RootPage, 0);
    d[ido::Build] = 0;
    FHeader[iho::IndexCount] = slot;
    SetModified();
}

void TIndexFile::CreateSideFile() {
    const bool memory = FOwner ? FOwner->IsMemory() : IsMemory;
    const std::string directory = FOwner ? FOwner->GetPrivateDirectory() : std::string();
    auto side = std::make_unique<TFileHandler>();
    CreateUniqueFileName(directory, ".IDX", memory, side->FileName);
    side->IsMemory = memory;
    side->Exclusive = true;
    side->CreateFile();
    FSideFile = std::move(side);
    FSideNextNewPage = 1;
}

void TIndexFile::DeleteIndexDesc(uint8_t slot, bool move) {
    CheckSlot(slot);
    if (slot == 0) {
        SetNoPrimaryIndex(true);
    } else if (move && slot <= MAX_SECONDARY_INDEXES) {
        const uint8_t count = GetIndexCount();
        TIndexDesc kept;
        GetIndexDesc(slot, kept);
        for (uint8_t s = slot; s < MAX_SECONDARY_INDEXES; ++s)
            std::copy_n(DescAt(static_cast<uint8_t>(s + 1)), INDEX_DESC_SIZE, DescAt(s));
        if (count >= 1) {
            std::copy_n(kept.Bytes.begin(), INDEX_DESC_SIZE, DescAt(count));
            FHeader[iho::IndexCount] = static_cast<uint8_t>(count - 1);
        }
        // The cached pages move with their descriptors, changed ones included: they
        // may not reach the disk before the table's next flush (inside a transaction
        // not before its commit), and under another slot they would be taken for
        // another index's.
        if (count >= 1 && slot <= count) {
            std::rotate(FLists.begin() + slot, FLists.begin() + slot + 1, FLists.begin() + count + 1);
            for (uint8_t s = slot; s <= count; ++s) FLists[s].ForEach([s](TPage* page) { page->IndexSlot = s; });
        }
    }
    SetModified();
}

bool TIndexFile::IndexNameExists(std::string_view name) const { return FindIndexSlot(name) >= 0; }

bool TIndexFile::SameIndexName(std::string_view a, std::string_view b) const {
    const uint16_t language = FOwner ? FOwner->GetLanguageId() : 0;
    const uint16_t sort = FOwner ? FOwner->GetSortId() : 0;
    return SameNameByLocale(language, sort, TrimBlanks(a), TrimBlanks(b));
}

bool TIndexFile::SameStoredIndexName(std::string_view a, std::string_view b) const {
    const std::string x = TrimBlanks(a);
    const std::string y = TrimBlanks(b);
    const uint16_t language = FOwner ? FOwner->GetLanguageId() : 0;
    const uint16_t sort = FOwner ? FOwner->GetSortId() : 0;
    // A zero byte would end the texts early for the locale's comparison.
    if (x.find('\0') != std::string::npos || y.find('\0') != std::string::npos) return x == y;
    return CompareStringsByLocale(language, sort, x.c_str(), true, 0, y.c_str()) == 0;
}

int32_t TIndexFile::FindIndexSlot(std::string_view name) const {
    const uint8_t count = std::min<uint8_t>(GetIndexCount(), MAX_SECONDARY_INDEXES);
    for (uint8_t slot = 0; slot <= count; ++slot) {
        TIndexDesc desc;
        GetIndexDesc(slot, desc);
        if (SameIndexName(desc.GetName(), name)) return slot;
    }
    return -1;
}

uint32_t TIndexFile::GetRootPage(uint8_t slot) const {
    CheckSlot(slot);
    return GetU32(DescAt(slot) + ido::RootPage);
}

void TIndexFile::SetRootPage(uint8_t slot, uint32_t page) {
    if (GetRootPage(slot) == page) return;
    PutU32(DescAt(slot) + ido::RootPage, page);
    SetModified();
}

uint32_t TIndexFile::GetParamsPage(uint8_t slot) const {
    CheckSlot(slot);
    return GetU32(DescAt(slot) + ido::ParamsPage);
}

void TIndexFile::SetParamsPage(uint8_t slot, uint32_t page) {
    if (GetParamsPage(slot) == page) return;
    PutU32(DescAt(slot) + ido::ParamsPage, page);
    SetModified();
}

uint32_t TIndexFile::GetFreePageHead(uint8_t slot) const {
    CheckSlot(slot);
    uint32_t head = GetU32(DescAt(slot) + ido::FreeHead);
    return head != 0 ? head : GetNextNewPage(slot);
}

void TIndexFile::SetFreePageHead(uint8_t slot, uint32_t page) {
    CheckSlot(slot);
    if (GetU32(DescAt(slot) + ido::FreeHead) == page) return;
    PutU32(DescAt(slot) + ido::FreeHead, page);
    SetModified();
}

bool TIndexFile::IsTemporarySlot(uint8_t slot) const {
    CheckSlot(slot);
    return DescAt(slot)[ido::Temporary] != 0;
}

uint32_t TIndexFile::GetNextNewPage(uint8_t slot) const {
    if (IsTemporarySlot(slot)) return FSideNextNewPage;
    return GetU32(&FHeader[iho::NextNewPage]);
}

void TIndexFile::SetNextNewPage(uint8_t slot, uint32_t page) {
    if (IsTemporarySlot(slot)) {
        FSideNextNewPage = page;
        return;
    }
    if (GetU32(&FHeader[iho::NextNewPage]) == page) return;
    PutU32(&FHeader[iho::NextNewPage], page);
    SetModified();
}

uint32_t TIndexFile::GetLastPageNumber() const { return GetU32(&FHeader[iho::NextNewPage]) - 1u; }

bool TIndexFile::IsValidPageNumber(uint32_t page) const {
    if (page == 0) return true;
    if (GetU32(&FHeader[iho::NextNewPage]) == 1) return false;
    return page >= 1 && page <= GetLastPageNumber();
}

void TIndexFile::RemoveTemporaryIndexes() {
    uint8_t count = GetIndexCount();
    if (count <= SYS_TEXT_SLOT) {
        for (int slot = count; slot >= 0; --slot) {
            uint8_t* d = DescAt(static_cast<uint8_t>(slot));
            if (d[ido::Temporary] != 0) {
                FreePageCache(true);
                std::fill(d, d + INDEX_DESC_SIZE, 0);
                --FHeader[iho::IndexCount];
            }
        }
    }
    if (FSideFile) {
        FSideFile->CloseFile();
        FSideFile->DeleteFile();
        FSideFile.reset();
        FSideNextNewPage = 1;
    }
}

// ---- Verification -----------------------------------------------------------------

void TIndexFile::VerifyHeader() const {
    CheckVersion();
    const uint8_t count = GetIndexCount();
    if (count > MAX_SECONDARY_INDEXES) RaiseError(KURA_HEADERCORRUPT);
    const bool noPrimary = GetNoPrimaryIndex();
    const uint16_t language = FOwner ? FOwner->GetLanguageId() : 0;
    const uint16_t sort = FOwner ? FOwner->GetSortId() : 0;
    const uint16_t fieldCount = FOwner ? FOwner->GetFieldCount() : 0;

    auto checkPages = [&](const TIndexDesc& desc) {
        if (!IsValidPageNumber(desc.GetU32(ido::RootPage)) || !IsValidPageNumber(desc.GetU32(ido::FreeHead)) ||
            !IsValidPageNumber(desc.GetU32(ido::ParamsPage)))
            RaiseError(KURA_HEADERCORRUPT);
    };

    for (uint8_t slot = 0; slot <= count; ++slot) {
        TIndexDesc desc;
        GetIndexDesc(slot, desc);
        const std::string name = desc.GetName();
        if (slot == 0) {
            if (!name.empty()) RaiseError(KURA_HEADERCORRUPT);
            if (!noPrimary && desc.GetByte(ido::Unique) == 0) RaiseError(KURA_HEADERCORRUPT);
        } else {
            std::string upper = TrimBlanks(name);
            LocaleUpperCase(language, sort, upper);
            if (upper.empty() || !IsIdentStartChar(upper[0])) RaiseError(KURA_HEADERCORRUPT);
            for (uint8_t other = 1; other <= count; ++other) {
                if (other == slot) continue;
                TIndexDesc o;
                GetIndexDesc(other, o);
                if (SameStoredIndexName(o.GetName(), name)) RaiseError(KURA_HEADERCORRUPT);
            }
        }
        if (desc.GetFieldCount() > MAX_INDEX_FIELDS) RaiseError(KURA_HEADERCORRUPT);
        int32_t total = 0;
        bool ended = false;
        for (int i = 0; i < MAX_INDEX_FIELDS; ++i) {
            const uint16_t fieldNo = desc.GetField(i);
            if (fieldNo == 0) {
                ended = true;
                continue;
            }
            if (ended) RaiseError(KURA_HEADERCORRUPT);
            if (!FOwner) continue;
            TIndexKeyField field;
            if (fieldNo > fieldCount || !FOwner->GetKeyField(fieldNo, field) || field.FieldType == fldBLOB)
                RaiseError(KURA_HEADERCORRUPT);
            total += field.DataSize + 1;
        }
        if (FOwner) {
            if (total > MAX_KEY_FIELDS_SIZE) RaiseError(KURA_HEADERCORRUPT);
            if (total == 0 && !(slot == 0 && noPrimary)) RaiseError(KURA_HEADERCORRUPT);
        }
        checkPages(desc);
    }

    TIndexDesc text;
    GetIndexDesc(SYS_TEXT_SLOT, text);
    if (text.GetFieldCount() > MAX_INDEX_FIELDS) RaiseError(KURA_HEADERCORRUPT);
    if (FOwner) {
        for (int i = 0; i < text.GetFieldCount(); ++i) {
            TIndexKeyField field;
            const uint16_t fieldNo = text.GetField(i);
            if (fieldNo == 0 || fieldNo > fieldCount || !FOwner->GetKeyField(fieldNo, field))
                RaiseError(KURA_HEADERCORRUPT);
            if (!(field.FieldType == fldZSTRING || (field.FieldType == fldBLOB && field.SubType == 22)))
                RaiseError(KURA_HEADERCORRUPT);
        }
    }
    checkPages(text);
}

}  // namespace kura
