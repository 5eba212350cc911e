#include "engine/files/DataFile.h"

#include <algorithm>
#include <ctime>

#include "engine/files/ConstantCheck.h"
#include "engine/files/KeyEncoding.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

namespace {

// Session defaults for a data file without an owner.
constexpr int32_t DEFAULT_RECORD_BUFFER_SIZE = 16384;
constexpr int32_t DEFAULT_RECORD_BUFFER_COUNT = 8192;
constexpr int32_t BUFFER_STEP = 4096;

// Days from 1899-12-30 to 1970-01-01.
constexpr double UNIX_EPOCH_DAYS = 25569.0;

TDateTime LocalNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &local);
    double localSeconds = static_cast<double>(ts.tv_sec) + static_cast<double>(local.tm_gmtoff) +
                          static_cast<double>(ts.tv_nsec / 1000000) / 1000.0;
    return UNIX_EPOCH_DAYS + localSeconds / 86400.0;
}

// What makes two stored field names the same in a header: ASCII letters in either
// case. Looking a name up folds full-width letters too (UpperCaseName), but a header
// written while it did not may hold names that differ only so, and still opens.
std::string StoredNameKey(std::string_view name) {
    std::string s(name);
    LocaleUpperCase(0, 0, s);
    return s;
}

std::string TrimBlanks(std::string_view s) {
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return std::string(s.substr(first, last - first));
}

// The characters of a header string, scrambled or unscrambled over the characters
// only (never the length byte).
std::string ScrambledChars(std::string_view text) {
    std::string s(text);
    if (!s.empty()) ScrambleBuffer(s.data(), static_cast<int32_t>(s.size()), STRING_SCRAMBLE_LOW, STRING_SCRAMBLE_HIGH);
    return s;
}

// A table counts its slots from 1 and never creates one at or past the record-number
// limit; a header outside that range cannot be trusted to size anything.
bool NextRecordInRange(const TDataHeader& h) {
    uint32_t next = GetU32(&h[dho::NextRecord]);
    return next >= 1 && next <= RECORD_NUMBER_LIMIT;
}

}  // namespace

TDataFile::TDataFile(TDataFileOwner* owner) : TFileHandler(owner), FOwner(owner) {
    if (!owner || !owner->IsRemote()) FPool = std::make_unique<TRecordStack>(this);
}

TDataFile::~TDataFile() {
    try {
        if (IsOpen) TDataFile::CloseFile();
    } catch (...) {
        // A destructor cannot report a failed close; the file object stays with the registry.
    }
    FreeRecordCache();
    for (TRecord* r : FDetached) delete r;
    FDetached.clear();
    FPool.reset();
    std::free(FReadBuffer);
    std::free(FWriteBuffer);
}

// ---- Owner access -----------------------------------------------------------

std::string TDataFile::GetTableName() const { return FOwner ? FOwner->GetTableName() : FileName; }

TTableErrorContext TDataFile::GetErrorContext() const { return FOwner ? FOwner->GetErrorContext() : TTableErrorContext{}; }

void TDataFile::RaiseError(TEngineErrorCode code) const {
    TTableErrorContext context = GetErrorContext();
    RaiseEngineError(code, context.Server, context.User, context.Database, GetTableName());
}

void TDataFile::SetWritten() {
    FFilesWritten = true;
    if (FOwner) FOwner->SetFilesWritten();
}

bool TDataFile::FilesWritten() const { return FOwner ? FOwner->GetFilesWritten() : FFilesWritten; }

TDateTime TDataFile::NowStamp() const { return Clock ? Clock() : LocalNow(); }

int64_t TDataFile::DataStart() const {
    return DATA_HEADER_SIZE + static_cast<int64_t>(GetFieldCount()) * FIELD_DESC_SIZE;
}

void TDataFile::ResizeReadBuffer(int32_t size) {
    if (size > FReadCapacity) RoundUpToMultiple(size, BUFFER_STEP, FReadBuffer, FReadCapacity);
}

void TDataFile::ResizeWriteBuffer(int32_t size) {
    if (size > FWriteCapacity) RoundUpToMultiple(size, BUFFER_STEP, FWriteBuffer, FWriteCapacity);
}

int32_t TDataFile::GetCacheLimit() const {
    int32_t bufferSize = FOwner ? FOwner->GetRecordBufferSize() : DEFAULT_RECORD_BUFFER_SIZE;
    int32_t bufferCount = FOwner ? FOwner->GetRecordBufferCount() : DEFAULT_RECORD_BUFFER_COUNT;
    bufferSize = std::max(bufferSize, 0);
    bufferCount = std::max(bufferCount, 0);
    uint16_t r = GetRecordSize();
    if (r == 0) return bufferCount;
    return std::min(bufferSize / r, bufferCount);
}

void TDataFile::PrepareCache() {
    uint16_t r = GetRecordSize();
    FRecordsPerBlock = (r == 0 || r > RECORD_BLOCK_SIZE) ? 1 : RECORD_BLOCK_SIZE / r;
    FCache.Capacity = GetCacheLimit();
    FCache.Reserve(FCache.Capacity);
    DropRecordWindow();
}

// ---- Lifecycle --------------------------------------------------------------

void TDataFile::OpenFile() {
    if (IsOpen) return;
    FDescs.clear();
    TFileHandler::OpenFile();
    try {
        ReadHeader();
        CheckVersion();
        CheckHeaderStructure(FHeader);
        FDescs.assign(GetFieldCount(), TFieldDesc{});
        ReadFieldDescs();
        CheckDescriptorStructure();
        FStatistics = {};
        PrepareCache();
        FLayoutKnown = true;
    } catch (...) {
        FDescs.clear();
        TFileHandler::CloseFile();
        throw;
    }
}

void TDataFile::CloseFile() {
    if (!IsOpen) return;
    FLayoutKnown = false;
    FDescs.clear();
    FreeRecordCache();
    FWindow.Release();
    // The shared file outlives this handler while other tables use it: record locks
    // left behind would block them for good.
    UnlockAllRecords();
    FRecordLocks.Clear();
    FEscalationAllowed = false;
    FEscalatedFrom = 0;
    TFileHandler::CloseFile();
}

// ---- Header -----------------------------------------------------------------

void TDataFile::CheckHeaderStructure(const TDataHeader& h) {
    uint16_t fieldCount = GetU16(&h[dho::FieldCount]);
    uint16_t recordSize = GetU16(&h[dho::RecordSize]);
    if (fieldCount > MAX_TABLE_FIELDS || recordSize < RECORD_HEADER_SIZE ||
        h[dho::Description] > TABLE_DESCRIPTION_LENGTH || h[dho::Password] > TABLE_PASSWORD_LENGTH ||
        !NextRecordInRange(h))
        RaiseError(KURA_HEADERCORRUPT);
    // The descriptors must all be there before anything reads them.
    int64_t dataStart = DATA_HEADER_SIZE + static_cast<int64_t>(fieldCount) * FIELD_DESC_SIZE;
    if (File && IsOpen && GetFileSize() < dataStart) RaiseError(KURA_HEADERCORRUPT);
}

// Every field must lie inside the record as its type needs it, and every length
// byte within its field; cursors rely on both when they touch a record.
void TDataFile::CheckDescriptorStructure() const {
    uint16_t recordSize = GetRecordSize();
    for (const TFieldDesc& d : FDescs) {
        const uint8_t* b = d.Data();
        if (b[fdo::Name] > FIELD_NAME_LENGTH || b[fdo::Description] > FIELD_DESCRIPTION_LENGTH ||
            b[fdo::MinValue] > FIELD_VALUE_TEXT_LENGTH || b[fdo::MaxValue] > FIELD_VALUE_TEXT_LENGTH ||
            b[fdo::DefaultValue] > FIELD_VALUE_TEXT_LENGTH)
            RaiseError(KURA_HEADERCORRUPT);
        TEngineFieldType type = d.FieldType();
        if ((type == fldZSTRING || type == fldBYTES || type == fldVARBYTES) &&
            d.DeclaredSize() > FIELD_MAX_DECLARED_SIZE)
            RaiseError(KURA_HEADERCORRUPT);
        if (d.StoredSize() != GetFieldPhysicalSize(type, d.DeclaredSize())) RaiseError(KURA_HEADERCORRUPT);
        if (d.Computed() != 0) continue;
        if (d.IsAutoInc()) {
            if (d.Offset() != RH_AUTOINC) RaiseError(KURA_HEADERCORRUPT);
            continue;
        }
        if (d.Offset() < RECORD_HEADER_SIZE ||
            static_cast<int32_t>(d.Offset()) + 1 + d.StoredSize() > static_cast<int32_t>(recordSize))
            RaiseError(KURA_HEADERCORRUPT);
    }
}

void TDataFile::ReadHeader() {
    TDataHeader header{};
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        if (ReadBuffer(header.data(), DATA_HEADER_SIZE, true) != DATA_HEADER_SIZE) RaiseError(KURA_HEADERCORRUPT);
    }
    // The descriptors and cached records in use were laid out by the old header; a
    // header describing another layout cannot belong to this open table.
    if (FLayoutKnown && (GetU16(&header[dho::RecordSize]) != GetRecordSize() ||
                         GetU16(&header[dho::FieldCount]) != GetFieldCount() ||
                         header[dho::Encrypted] != FHeader[dho::Encrypted] || !NextRecordInRange(header)))
        RaiseError(KURA_HEADERCORRUPT);
    FHeader = header;
    FHeader[dho::Modified] = 0;
}

bool TDataFile::WriteHeader(bool force) {
    if (FHeader[dho::Modified] == 0 && !force) return false;
    PutU32(&FHeader[dho::ChangeCount], GetU32(&FHeader[dho::ChangeCount]) + 1);
    PutU64(&FHeader[dho::EngineVersion], static_cast<uint64_t>(ENGINE_VERSION_RAW));
    PutDouble(&FHeader[dho::LastUpdate], NowStamp() - LAST_UPDATE_DELTA);
    ResizeWriteBuffer(DATA_HEADER_SIZE);
    std::memcpy(FWriteBuffer, FHeader.data(), DATA_HEADER_SIZE);
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        WriteBuffer(FWriteBuffer, DATA_HEADER_SIZE);
    }
    SetWritten();
    FHeader[dho::Modified] = 0;
    return true;
}

void TDataFile::MarkModified() {
    PutU32(&FHeader[dho::ChangeCount], GetU32(&FHeader[dho::ChangeCount]) + 1);
    FHeader[dho::Modified] = 1;
    SetWritten();
}

bool TDataFile::HeaderChanged() {
    // The 4-byte change counter decides; only a changed header is read whole.
    std::array<uint8_t, 4> counter{};
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, dho::ChangeCount);
        if (ReadBuffer(counter.data(), static_cast<int32_t>(counter.size()), true) != 4)
            RaiseError(KURA_HEADERCORRUPT);
    }
    if (GetU32(counter.data()) == GetChangeCount()) return false;
    TDataHeader disk{};
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, 0);
        if (ReadBuffer(disk.data(), DATA_HEADER_SIZE, true) != DATA_HEADER_SIZE) RaiseError(KURA_HEADERCORRUPT);
    }
    if (GetU32(&disk[dho::ChangeCount]) == GetChangeCount()) return false;
    if (FLayoutKnown && (GetU16(&disk[dho::RecordSize]) != GetRecordSize() ||
                         GetU16(&disk[dho::FieldCount]) != GetFieldCount() ||
                         disk[dho::Encrypted] != FHeader[dho::Encrypted] || !NextRecordInRange(disk)))
        RaiseError(KURA_HEADERCORRUPT);
    FHeader = disk;
    return true;
}

void TDataFile::CopyHeader(uint8_t* buffer) const { std::memcpy(buffer, FHeader.data(), DATA_HEADER_SIZE); }

void TDataFile::ReadFieldDescs() {
    int32_t count = static_cast<int32_t>(FDescs.size());
    if (count > 0) {
        std::vector<uint8_t> area(static_cast<std::size_t>(count) * FIELD_DESC_SIZE);
        {
            TFileSectionGuard guard(*this);
            Seek(soFromBeginning, DATA_HEADER_SIZE);
            ReadBuffer(area.data(), static_cast<int32_t>(area.size()), false);
        }
        if (IsEncrypted())
            UnscrambleBuffer(area.data(), static_cast<int32_t>(area.size()), TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        for (int32_t i = 0; i < count; ++i)
            std::memcpy(FDescs[i].Data(), area.data() + static_cast<std::size_t>(i) * FIELD_DESC_SIZE, FIELD_DESC_SIZE);
    }
    FDescsDirty = 0;
}

void TDataFile::AdoptRemoteHeader(const TDataHeader& header) {
    CheckHeaderStructure(header);
    FHeader = header;
    FHeader[dho::Modified] = 0;
    if (FDescs.size() != GetFieldCount()) FDescs.assign(GetFieldCount(), TFieldDesc{});
}

void TDataFile::AdoptRemoteFieldDescs(std::vector<TFieldDesc> descs) {
    if (descs.size() != GetFieldCount()) RaiseError(KURA_HEADERCORRUPT);
    FDescs = std::move(descs);
    FDescsDirty = 0;
    CheckDescriptorStructure();
}

bool TDataFile::WriteFieldDescs() {
    if (FDescsDirty == 0) return false;
    int32_t count = static_cast<int32_t>(FDescs.size());
    // A write of no bytes would cut the file at the descriptor area.
    if (count > 0) {
        int32_t size = count * FIELD_DESC_SIZE;
        ResizeWriteBuffer(size);
        auto* area = static_cast<uint8_t*>(FWriteBuffer);
        for (int32_t i = 0; i < count; ++i)
            std::memcpy(area + static_cast<std::size_t>(i) * FIELD_DESC_SIZE, FDescs[i].Data(), FIELD_DESC_SIZE);
        if (IsEncrypted()) ScrambleBuffer(area, size, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
        {
            TFileSectionGuard guard(*this);
            Seek(soFromBeginning, DATA_HEADER_SIZE);
            WriteBuffer(area, size);
        }
        if (FOwner && FOwner->GetForceBufferFlush()) FlushFile();
    }
    FDescsDirty = 0;
    return true;
}

void TDataFile::CreateHeader(uint16_t localeId, uint16_t sortId, const std::vector<TFieldDesc>& fieldDescs,
                             uint32_t blobBlockSize, std::string_view description, std::string_view password,
                             bool encrypted, uint16_t userMajor, uint16_t userMinor) {
    // Built aside and taken over only when every check passed.
    TDataHeader h{};
    PutU16(&h[dho::LocaleId], localeId);
    PutU16(&h[dho::SortId], sortId);
    PutU16(&h[dho::UserMajor], userMajor);
    PutU16(&h[dho::UserMinor], userMinor);
    h[dho::Encrypted] = encrypted ? 1 : 0;
    std::string_view desc = description.substr(0, std::min<std::size_t>(description.size(), TABLE_DESCRIPTION_LENGTH));
    if (encrypted) {
        PutPStr(&h[dho::Password], TABLE_PASSWORD_LENGTH,
                ScrambledChars(password.substr(0, std::min<std::size_t>(password.size(), TABLE_PASSWORD_LENGTH))));
        PutPStr(&h[dho::Description], TABLE_DESCRIPTION_LENGTH, ScrambledChars(desc));
    } else {
        h[dho::Password] = 0;
        PutPStr(&h[dho::Description], TABLE_DESCRIPTION_LENGTH, desc);
    }
    if (fieldDescs.size() > static_cast<std::size_t>(MAX_TABLE_FIELDS)) RaiseError(KURA_FLDLIMIT);
    PutU16(&h[dho::FieldCount], static_cast<uint16_t>(fieldDescs.size()));
    PutU32(&h[dho::BlobBlockSize], blobBlockSize);
    uint16_t blobCount = 0;
    int64_t recordSize = RECORD_HEADER_SIZE;
    for (const TFieldDesc& d : fieldDescs) {
        if (d.FieldType() == fldBLOB) {
            if (blobCount == MAX_BLOB_FIELDS) RaiseError(KURA_BLOBLIMIT);
            ++blobCount;
        }
        recordSize += d.RecordRoom();
    }
    PutU16(&h[dho::BlobFieldCount], blobCount);
    h[dho::Version] = DATA_FILE_VERSION;
    PutU32(&h[dho::DeletedHead], 0);
    PutU32(&h[dho::NextRecord], 1);
    PutU32(&h[dho::LastAutoInc], 0);
    if (recordSize > MAX_RECORD_SIZE) RaiseError(KURA_RECTOOBIG);
    PutU32(&h[dho::ChangeCount], 0);
    PutU16(&h[dho::RecordSize], static_cast<uint16_t>(recordSize));
    h[dho::Modified] = 1;

    TFileHandler::CreateFile();
    FHeader = h;
    FDescs = fieldDescs;
    FDescsDirty = 1;
    FStatistics = {};
    PrepareCache();
    FLayoutKnown = true;
}

void TDataFile::InitHeader() {
    {
        TFileSectionGuard guard(*this);
        Seek(soFromBeginning, DataStart());
        WriteBuffer(nullptr, 0);
    }
    DropRecordWindow();
    if (FOwner && FOwner->GetForceBufferFlush()) FlushFile();
    PutU32(&FHeader[dho::ChangeCount], 0);
    PutU32(&FHeader[dho::DeletedHead], 0);
    PutU32(&FHeader[dho::NextRecord], 1);
    PutU32(&FHeader[dho::LastAutoInc], 0);
    FHeader[dho::Modified] = 1;
}

void TDataFile::CheckVersion() {
    if (FHeader[dho::Version] != DATA_FILE_VERSION) RaiseError(KURA_OLDVERSION);
}

void TDataFile::VerifyHeader() {
    CheckVersion();
    uint16_t localeId = GetLocaleID();
    if (localeId != 0 && !IsValidLCID(MakeLCID(localeId, GetSortID()))) RaiseError(KURA_CANNOTLOADLDDRV);
    CheckHeaderStructure(FHeader);
    if (static_cast<int32_t>(FDescs.size()) != GetFieldCount()) RaiseError(KURA_HEADERCORRUPT);

    int32_t offset = RECORD_HEADER_SIZE;
    std::vector<std::string> names;
    names.reserve(FDescs.size());
    for (std::size_t i = 0; i < FDescs.size(); ++i) {
        const TFieldDesc& d = FDescs[i];
        const uint8_t* b = d.Data();
        if (b[fdo::Name] > FIELD_NAME_LENGTH || b[fdo::Description] > FIELD_DESCRIPTION_LENGTH ||
            b[fdo::MinValue] > FIELD_VALUE_TEXT_LENGTH || b[fdo::MaxValue] > FIELD_VALUE_TEXT_LENGTH ||
            b[fdo::DefaultValue] > FIELD_VALUE_TEXT_LENGTH)
            RaiseError(KURA_HEADERCORRUPT);
        TEngineFieldType type = d.FieldType();
        uint16_t storedSize = GetFieldPhysicalSize(type, d.DeclaredSize());
        if (storedSize != d.StoredSize() || GetFieldPhysicalDecimals(d.DeclaredDecimals()) != d.StoredDecimals())
            RaiseError(KURA_HEADERCORRUPT);

        std::string name = TrimBlanks(d.Name());
        if (name.empty() || name.size() > FIELD_NAME_LENGTH || !IsIdentStartChar(name[0]))
            RaiseError(KURA_HEADERCORRUPT);
        std::string upper = StoredNameKey(name);
        for (std::size_t j = 0; j < i; ++j) {
            if (names[j] == upper || FDescs[j].FieldNo() == d.FieldNo()) RaiseError(KURA_HEADERCORRUPT);
        }
        names.push_back(upper);

        if (type == 0) RaiseError(KURA_HEADERCORRUPT);
        if (type == fldZSTRING || type == fldBYTES || type == fldVARBYTES) {
            if (d.DeclaredSize() > FIELD_MAX_DECLARED_SIZE) RaiseError(KURA_HEADERCORRUPT);
        } else if (d.DeclaredSize() != 0) {
            RaiseError(KURA_HEADERCORRUPT);
        }
        if (!IsValidConstantForType(d.DefaultValue(), type) || !IsValidConstantForType(d.MinValue(), type) ||
            !IsValidConstantForType(d.MaxValue(), type))
            RaiseError(KURA_HEADERCORRUPT);
        if (d.DeclaredDecimals() != 0 && type != fldBCD) RaiseError(KURA_HEADERCORRUPT);
        if (d.IsAutoInc()) {
            if (d.Offset() != RH_AUTOINC) RaiseError(KURA_HEADERCORRUPT);
        } else if (d.Computed() == 0) {
            if (d.Offset() != offset) RaiseError(KURA_HEADERCORRUPT);
            offset += storedSize + 1;
        }
        if (d.FieldNo() != i + 1) RaiseError(KURA_HEADERCORRUPT);
    }
    if (GetRecordSize() != offset) RaiseError(KURA_HEADERCORRUPT);

    int64_t dataStart = DataStart();
    int64_t fileSize = GetFileSize();
    int64_t r = GetRecordSize();  // at least 9: checked above
    int64_t slots = fileSize > dataStart ? (fileSize - dataStart) / r : 0;
    if (fileSize > dataStart && (fileSize - dataStart) % r != 0) RaiseError(KURA_HEADERCORRUPT);
    if (GetNextRecordNumber() != slots + 1) RaiseError(KURA_HEADERCORRUPT);
    if (GetU32(&FHeader[dho::DeletedHead]) > slots) RaiseError(KURA_HEADERCORRUPT);
}

// ---- Descriptors ------------------------------------------------------------

bool TDataFile::GetFieldDesc(int32_t fieldNo, TFieldDesc& desc) const {
    if (fieldNo < 1 || fieldNo > static_cast<int32_t>(FDescs.size())) return false;
    desc = FDescs[fieldNo - 1];
    return true;
}

bool TDataFile::FindFieldDescByNumber(uint16_t fieldNo, TFieldDesc& desc) const {
    for (std::size_t i = 0; i < FDescs.size(); ++i) {
        if (FDescs[i].FieldNo() == fieldNo) {
            desc = FDescs[i];
            desc.SetPosition(static_cast<uint16_t>(i + 1));
            return true;
        }
    }
    return false;
}

bool TDataFile::FindFieldDescByName(std::string_view name, TFieldDesc& desc) const {
    int32_t position = FindFieldNo(name);
    if (position == 0) return false;
    desc = FDescs[position - 1];
    desc.SetPosition(static_cast<uint16_t>(position));
    return true;
}

int32_t TDataFile::FindFieldNo(std::string_view name) const {
    for (std::size_t i = 0; i < FDescs.size(); ++i)
        if (SameNameText(FDescs[i].Name(), name)) return static_cast<int32_t>(i + 1);
    return 0;
}

void TDataFile::SetFieldDesc(int32_t fieldNo, const TFieldDesc& desc) {
    if (fieldNo < 1 || fieldNo > static_cast<int32_t>(FDescs.size())) return;
    TFieldDesc& d = FDescs[fieldNo - 1];
    d.SetFieldNo(desc.FieldNo());
    d.SetName(desc.Name());
    d.SetSubType(desc.SubType());
    d.SetDescription(desc.Description());
    d.SetRequired(desc.Required());
    d.SetMinValue(desc.MinValue());
    d.SetMaxValue(desc.MaxValue());
    d.SetDefaultValue(desc.DefaultValue());
    FDescsDirty = 1;
}

// ---- Header fields ----------------------------------------------------------

uint16_t TDataFile::GetFieldCount() const { return GetU16(&FHeader[dho::FieldCount]); }
uint16_t TDataFile::GetBlobFieldCount() const { return GetU16(&FHeader[dho::BlobFieldCount]); }
uint16_t TDataFile::GetRecordSize() const { return GetU16(&FHeader[dho::RecordSize]); }
uint16_t TDataFile::GetLocaleID() const { return GetU16(&FHeader[dho::LocaleId]); }
uint16_t TDataFile::GetSortID() const { return GetU16(&FHeader[dho::SortId]); }
uint16_t TDataFile::GetUserMajorVersion() const { return GetU16(&FHeader[dho::UserMajor]); }
uint16_t TDataFile::GetUserMinorVersion() const { return GetU16(&FHeader[dho::UserMinor]); }
uint32_t TDataFile::GetLastAutoInc() const { return GetU32(&FHeader[dho::LastAutoInc]); }
bool TDataFile::IsEncrypted() const { return FHeader[dho::Encrypted] == 1; }
uint32_t TDataFile::GetChangeCount() const { return GetU32(&FHeader[dho::ChangeCount]); }

uint16_t TDataFile::GetBlobBlockSize() const {
    uint16_t size = GetU16(&FHeader[dho::BlobBlockSize]);
    return size == 0 ? DEFAULT_BLOB_BLOCK_SIZE : size;
}

uint32_t TDataFile::GetNextRecordNumber() const { return GetU32(&FHeader[dho::NextRecord]); }
uint32_t TDataFile::GetLastRecordNumber() const { return GetNextRecordNumber() - 1; }

uint32_t TDataFile::GetNextAutoInc() {
    auto next = static_cast<uint32_t>(IncWrap(static_cast<int32_t>(GetLastAutoInc())));
    PutU32(&FHeader[dho::LastAutoInc], next);
    FHeader[dho::Modified] = 1;
    return next;
}

void TDataFile::SetLastAutoInc(uint32_t value) {
    if (value != GetLastAutoInc()) PutU32(&FHeader[dho::LastAutoInc], value);
    FHeader[dho::Modified] = 1;
}

uint32_t TDataFile::GetNextBlobID() {
    auto next = static_cast<uint32_t>(IncWrap(static_cast<int32_t>(GetU32(&FHeader[dho::LastBlobId]))));
    PutU32(&FHeader[dho::LastBlobId], next);
    FHeader[dho::Modified] = 1;
    return next;
}

std::string TDataFile::GetDescription() const {
    std::string text = GetPStr(&FHeader[dho::Description], TABLE_DESCRIPTION_LENGTH);
    return IsEncrypted() ? ScrambledChars(text) : text;
}

std::string TDataFile::GetPassword() const {
    if (!IsEncrypted()) return {};
    return ScrambledChars(GetPStr(&FHeader[dho::Password], TABLE_PASSWORD_LENGTH));
}

void TDataFile::SetDescriptionAndPassword(std::string_view password, std::string_view description,
                                          uint16_t userMajor, uint16_t userMinor, uint32_t lastAutoInc) {
    std::string_view desc = description.substr(0, std::min<std::size_t>(description.size(), TABLE_DESCRIPTION_LENGTH));
    std::string_view pass = password.substr(0, std::min<std::size_t>(password.size(), TABLE_PASSWORD_LENGTH));
    if (IsEncrypted()) {
        PutPStr(&FHeader[dho::Description], TABLE_DESCRIPTION_LENGTH, ScrambledChars(desc));
        PutPStr(&FHeader[dho::Password], TABLE_PASSWORD_LENGTH, ScrambledChars(pass));
    } else {
        PutPStr(&FHeader[dho::Description], TABLE_DESCRIPTION_LENGTH, desc);
        FHeader[dho::Password] = 0;
    }
    PutU16(&FHeader[dho::UserMajor], userMajor);
    PutU16(&FHeader[dho::UserMinor], userMinor);
    PutU32(&FHeader[dho::LastAutoInc], lastAutoInc);
    FHeader[dho::Modified] = 1;
}

void TDataFile::SetFutureBlobBlockSize(uint16_t size) {
    if (GetBlobFieldCount() > 0 || size == GetBlobBlockSize()) return;
    PutU32(&FHeader[dho::BlobBlockSize], size);
    FHeader[dho::Modified] = 1;
}

}  // namespace kura
