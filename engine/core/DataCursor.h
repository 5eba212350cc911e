#pragma once
// One open view of one table: the only way into table data for the SQL engine and
// the dataset components. A cursor names its table, holds its open options, its own
// copy of the field definitions, the current index and position, the key range, the
// filters and the record sets built from them, the current record and the callbacks
// long operations report to. Many cursors of one database share one TDataTable,
// which owns the files, the locks and the record cache.
//
// The class is large, so its operations live in several files:
//   DataCursor.cpp        construction, options, open, close, clone, refresh and
//                         change detection
//   CursorForwarders.cpp  small requests handed to the table and its files, the
//                         index path stack, header values open or closed
//   CursorFields.cpp      field access, definitions, bookmarks, lock brackets
//   KeyCompare.cpp        the key comparison and the callback dispatchers
//   CursorIndexSelect.cpp selecting the ordering index and loading its descriptor
//   CursorNavigation.cpp  position, stepping, first/last, record numbers, counts
//   CursorKeys.cpp        key building, key search, key ranges, resynchronising
//   CursorSets.cpp        the visible-record sets and the key-range scans
//   CursorFilters.cpp     adding, dropping, activating and changing filters
//   Filters.cpp, FilterOptimizer.cpp, KeyRangeScan.cpp   the filters themselves
//   CursorRemote.cpp      the remote request loop with its server callbacks
//   CursorRemoteOpen.cpp, CursorRemoteKeys.cpp, CursorRemoteBlocks.cpp,
//   CursorRemoteRecords.cpp, CursorRemoteBlobs.cpp,
//   RemoteState.cpp       the remote paths of open/close/clone, key search and
//                         ranges, record-by-record stepping, record reads and
//                         writes, bookmarks and record locks, BLOBs, and the
//                         state blocks
//   CursorRemoteFilters.cpp, CursorRemoteTables.cpp   filters, index selection and
//                         maintenance, emptying, import/export and restructuring
// Declarations of operations that are not built yet are kept together at the end,
// each with the file that will define it; nothing calls them until then.
//
// Every local operation that reads the table runs inside the cursor's read bracket
// (CheckForChanges ... EndRead), every write inside the write bracket; the brackets
// compare the table's change counters with the cursor's copies and move the cursor
// back onto its position when another cursor or program changed the table.
//
// Remote sessions: the cursor is the client-side proxy of a cursor on the server
// (CursorRemote.cpp). Creating, freeing, the table-level operations and the
// database-wide requests go to the server, and so do open, close, clone, refresh,
// positioning, key search and key ranges, record reads and writes, bookmarks,
// record locks, BLOBs, filters, index selection, adding and deleting indexes,
// emptying, import, export and restructuring; the operations that have no remote
// request yet raise KURA_REMOTECONNECT.
#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/Filters.h"
#include "engine/core/RemoteChannel.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/files/BlobFileOwner.h"
#include "engine/files/DataFileOwner.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"
#include "engine/files/IndexFileOwner.h"
#include "engine/files/IndexPage.h"
#include "engine/files/Locale.h"
#include "engine/files/RecordCache.h"
#include "engine/files/RecordSort.h"
#include "engine/files/RecordsBitmap.h"

namespace kura {

class TDataDirectory;
class TDataSession;
class TDataTable;
class TDataCursor;
class TBlobBuffer;
class TBlobFile;
class TBlock;
class TExpToken;
class TExpressionParser;
class TFilter;
class TRecordImage;
struct TDelimitedTextParams;
struct TRestructureParams;

// Index numbers as a cursor sees them.
constexpr uint8_t PRIMARY_INDEX = 0;
constexpr uint8_t NATURAL_ORDER = 255;

// Room of the range bounds and of the current key.
constexpr int32_t RANGE_KEY_SIZE = 522;
constexpr int32_t CURSOR_KEY_BUFFER_SIZE = 523;
constexpr int32_t CURSOR_MAX_FIELDS = 1024;
// Computed field definitions a cursor may take over.
constexpr int32_t COMPUTED_FIELD_LIMIT = 1023;
constexpr int32_t CURSOR_EVENT_SLOTS = 14;
// Filters a cursor holds at once (KURA_INTERNALLIMIT for one more).
constexpr std::size_t CURSOR_FILTER_LIMIT = 64;

// A position the dataset components keep: in natural order the 4-byte record
// number, in an index order the current key (key-size bytes).
using TCursorBookmark = std::vector<uint8_t>;
// The bookmark of a position in natural order: its record number.
TCursorBookmark NaturalBookmark(uint32_t recordNo);

// The callback slots, in slot order. The sender is the cursor.
using TPasswordEvent = std::function<bool(TDataCursor* sender)>;  // true: try again
using TStatusNumberEvent = std::function<void(TDataCursor* sender, const std::string& text, uint16_t number)>;
using TStatusTextEvent = std::function<void(TDataCursor* sender, const std::string& text)>;
using TProgressEvent = std::function<void(TDataCursor* sender, uint16_t value)>;
// A byte and a text in, two bytes out.
using TRestructureQuestionEvent =
    std::function<void(TDataCursor* sender, uint8_t kind, const std::string& text, uint8_t& answer1, uint8_t& answer2)>;
using TCursorNotifyEvent = std::function<void(TDataCursor* sender)>;

// What CreateTable sends to a server, borrowed from its arguments.
struct TRemoteTableDefinition {
    uint16_t LocaleId = 0;
    uint16_t SortId = 0;
    bool Overwrite = false;
    const TStringList* StopWords = nullptr;
    const std::bitset<256>* SpaceChars = nullptr;
    const std::bitset<256>* IncludeChars = nullptr;
    const std::vector<TFieldDesc>* Fields = nullptr;
    const std::array<TIndexDesc, INDEX_SLOT_COUNT>* Indexes = nullptr;
    uint32_t SecondaryCount = 0;
    uint16_t BlobBlockSize = 0;
    std::string_view Description;
    std::string_view Password;
    bool Encrypted = false;
    uint16_t UserMajor = 0;
    uint16_t UserMinor = 0;
    bool NoPrimaryIndex = false;
};

// The string form of a character set in remote requests: its members in order.
std::string CharSetMembers(const std::bitset<256>& set);
// The full-text index definition and parameters of CREATETABLE and
// RESTRUCTURETABLE: the definition (120), the stop-word count (-1: none) and each
// word, then the two character sets (an unset one goes empty).
void PutRemoteTextIndex(TRemoteRequest& request, const TIndexDesc& textIndex, const TStringList* stopWords,
                        const std::bitset<256>* spaceChars, const std::bitset<256>* includeChars);

struct TCursorEvents {
    TPasswordEvent Password;                       // 1
    TStatusNumberEvent StatusNumber;               // 2
    TStatusTextEvent StatusText;                   // 3
    TStatusNumberEvent StatusNumber2;              // 4 (kept across close)
    TStatusTextEvent StatusText2;                  // 5 (kept across close)
    TProgressEvent IndexProgress;                  // 6
    TProgressEvent Progress;                       // 7
    TProgressEvent Progress2;                      // 8
    TProgressEvent RestructureProgress;            // 9
    TRestructureQuestionEvent RestructureQuestion; // 10
    TProgressEvent ImportProgress;                 // 11
    TProgressEvent ExportProgress;                 // 12
    TCursorNotifyEvent Slot13;                     // 13
    TCursorNotifyEvent Slot14;                     // 14
};

// Where the cursor stands in an index: the logical position (1-based number of
// the current key in the whole index), its private copy of the current leaf page,
// the slot in that page, and the descent path (depth 1..64; for each depth the
// key slot chosen and the page number of that page's parent, 0 at the root).
struct TCursorPosition {
    int32_t LogicalPos = 0;
    TPage* Page = nullptr;
    int32_t Slot = 0;
    uint8_t Depth = 1;
    std::array<uint32_t, MAX_INDEX_DEPTH> PathSlots{};
    std::array<uint32_t, MAX_INDEX_DEPTH> PathPages{};
    // Entries above these depths are zero: a clear stops there.
    uint8_t SlotsUsed = 0;
    uint8_t PagesUsed = 0;
};

// The three record sets of the filter and range machinery.
constexpr int RS_VISIBLE = 0;  // records the cursor shows
constexpr int RS_RANGE = 1;    // records whose key lies in the active range
constexpr int RS_LIVE = 2;     // records that are not deleted

// How AddFilter treats a filter. CaseInsensitive and NoPartialCompare apply to a
// filter text: texts compare without regard to case; 'Sm*' compares whole instead
// of as a prefix. StatisticsAllowed lets the optimiser skip unselective index
// conditions (SQL source cursors) and scan the complement of wide ranges;
// EstimateCounts makes it count keys for its cost decisions. CombineFirst: a
// filter the indexes cannot answer wholly reads only the records the other
// active filters let through.
struct TCursorFilterOptions {
    bool CaseInsensitive = false;
    bool NoPartialCompare = false;
    bool StatisticsAllowed = false;
    bool EstimateCounts = false;
    bool CombineFirst = false;
};

// Options of TDataCursor::GetRecord.
constexpr uint8_t grLock = 1;        // take the record from the cache pinned for a write
constexpr uint8_t grReadAhead = 2;   // let the data file read the following records too
constexpr uint8_t grBlockRead = 4;   // a miss reads the block of slots from the record on (scans)

class TDataCursor : public TDataFileCursor, public TIndexCursor, public TBlobCursor, public TExpressionOwner {
public:
    // ======================================================================
    // Construction, options, open and close (DataCursor.cpp)
    // ======================================================================
    // noRemoteCreate: a clone of a remote cursor, whose server handle comes from
    // the clone request.
    explicit TDataCursor(TDataDirectory* directory, bool noRemoteCreate = false);
    // Closes the cursor (discarding a temporary table); never throws.
    ~TDataCursor() override;
    TDataCursor(const TDataCursor&) = delete;
    TDataCursor& operator=(const TDataCursor&) = delete;

    // Each raises 10031 while the cursor is open.
    void SetExclusive(bool value);
    void SetExclusiveClone(bool value);
    void SetReadOnly(bool value);
    void SetInMemory(bool value);
    // Keeps the file-name part and drops a ".DAT" extension.
    void SetTableName(std::string_view value);
    void SetQueryResult(bool value);      // no open check
    void SetQuerySource(bool value);      // only while closed
    void SetTemporaryFiles(bool value);   // only while closed
    void CheckNotOpen() const;

    const std::string& GetTableName() const { return FTableName; }
    bool IsOpen() const { return FOpen; }
    bool IsExclusive() const { return FExclusive; }
    bool IsExclusiveClone() const { return FExclusiveClone; }
    bool IsReadOnly() const { return FReadOnly; }
    bool IsInMemory() const { return FInMemory; }
    bool IsQueryResult() const { return FQueryResult; }
    bool IsQuerySource() const { return FQuerySource; }
    bool IsTemporaryFiles() const { return FTemporaryFiles; }
    bool IsTableFilesReadOnly() const { return FTableFilesReadOnly; }
    bool IsSuppressingAutoInc() const { return FSuppressAutoInc; }
    void SetRestructuring(bool value) { FRestructuring = value; }

    TDataDirectory* GetDirectory() const { return FDirectory; }
    TDataSession* GetSession() const;
    TDataTable* GetTable() const { return FTable; }
    // The database's path (local) or name (remote), for error texts.
    std::string GetDatabaseName() const;
    // Whether the cursor's database lies on a server, fixed when the cursor is
    // made (its record sets exist only for a local one); asked at every step of
    // every operation, so it is a plain flag.
    bool IsRemote() const final { return FRemote; }
    bool IsNaturalOrder() const;

    // No effect when already open. Any failure after the table was opened closes
    // the cursor again before it propagates.
    void OpenCursor(bool alreadyOpenedRemotely = false);
    // An SQL result cursor that a database server opened for a statement (created
    // with noRemoteCreate): its open state, table state and cursor state come from the
    // channel's current reply, then either the field definitions (readFieldDefs) or,
    // for a select-all result, the origins of the table's own fields (setOrigins).
    void OpenRemoteResult(bool readFieldDefs, bool setOrigins);
    // The result cursor's state after the server ran its statement again.
    void ReadRemoteResultState();
    // No effect when closed. discardTemporary: the files of a temporary table are
    // discarded instead of flushed.
    void CloseCursor(bool discardTemporary);
    // A new open cursor on the same table with the same index, range, filters and
    // current record; owned by the caller.
    TDataCursor* CloneCursor();
    void Refresh();
    // Moves the cursor back onto its position when the table changed. Under strict
    // change detection it takes the read bracket, which the caller ends (EndRead).
    void CheckForChanges();
    bool TableHasChanged() const;
    // The table dropped its caches since the counters were saved. Its change
    // counters need not show it: a rollback takes them back to values a cursor may
    // have saved, and an exclusive cursor does not look at them.
    bool CachesDiscardedSince() const;
    void SaveChangeCounters();
    void SuppressAutoInc(bool value);
    int32_t GetProgressInterval() const;
    int64_t GetServerVersion() const override;

    // Raises an engine error with the database and table names as context.
    [[noreturn]] void RaiseError(TEngineErrorCode code, std::string_view field = {}, std::string_view index = {},
                                 std::string_view message = {}) const;

    // ======================================================================
    // Forwarders to the table and its files (CursorForwarders.cpp)
    // ======================================================================
    // Index file, current index.
    void SetRootPage(uint32_t page);
    void SetParamsPage(uint32_t page);
    TPage* AllocatePage();
    void FreePage(TPage* page);
    // The root page of the current index; false with no page when the index is
    // empty. With retry: false and retry set when a change check moved the cursor
    // (start over); without: such reads are repeated a bounded number of times,
    // then 10249.
    bool GetFirstIndexPage(TPage*& page, bool& retry);
    bool GetFirstIndexPage(TPage*& page);
    // 10249 when the page keeps being changed under the reads.
    bool GetParamsPage(TPage*& page);
    // False (and no page) when a change check moved the cursor: start over.
    bool GetIndexPage(uint32_t pageNo, bool isNew, TPage*& page);
    void ReleaseIndexPage(TPage*& page);
    TPage* PopPage();
    void PushPage(TPage*& page);

    // The index path stack, at the current depth.
    uint32_t GetPathPage() const;
    void SetPathPage(uint32_t page);
    uint32_t GetPathSlot() const;
    void SetPathSlot(uint32_t slot);
    void ClearPathPages();
    void ClearPathSlots();
    void PushPath();
    void PopPath();  // never below 1

    // Data file.
    TRecord* PopRecord();
    void PushRecord(TRecord*& record);
    uint32_t GetNextFreeRecord() const;
    // A slot for a new record, sized to the cursor's record size. False as GetRecord.
    bool AllocateRecord(TRecord*& record);
    void FreeRecord(uint32_t recordNo);
    // The record through the cache (grLock, grReadAhead; direction 1 forward, 2
    // backward). False (and no record) when a change check moved the cursor.
    bool GetRecord(uint32_t recordNo, uint8_t options, TRecord*& record, int32_t direction = 1);
    void ReleaseRecord(TRecord*& record);
    uint32_t GetLastAutoIncValue();
    void SetLastAutoIncValue(uint32_t value);
    uint32_t GetNextBlobID();
    static uint32_t GetBufferRecordNo(const uint8_t* buffer);
    static uint32_t GetBufferAutoInc(const uint8_t* buffer);
    static void SetBufferAutoInc(uint8_t* buffer, uint32_t value);
    uint32_t GetBlobFieldID(const uint8_t* buffer, uint16_t fieldNo, bool useTableFields) const;
    void SetBlobFieldID(uint8_t* buffer, uint16_t fieldNo, bool useTableFields, uint32_t blobId) const;

    // BLOB file.
    bool AllocateBlobBlock(TBlock*& block);
    bool GetBlobBlock(uint32_t blockNo, int32_t count, bool readAhead, TBlock*& block);
    void ReleaseBlobBlock(TBlock*& block);
    bool FreeBlobChain(uint32_t& firstBlock, uint32_t recordNo, uint32_t blobId);
    bool FreeBlockChain(TBlock* block, uint32_t recordNo, uint32_t blobId, int32_t count);
    uint16_t GetBlobBlockSize();
    int32_t GetBlobBlockDataSize();
    TBlobFile* GetBlobFile() override;

    // Header values, open or closed (closed: read from the .DAT on disk).
    uint16_t GetLocaleID();
    uint16_t GetSortID();
    uint16_t GetUserMajorVersion();
    uint16_t GetUserMinorVersion();
    // The 127-byte data header: the open table's, or read from disk, checking the
    // password of an encrypted table.
    void GetDataHeader(uint8_t* buffer);
    // The description, encryption and password of the table (the password of a table
    // that is not encrypted is empty), from the open table or the header on disk.
    std::string GetTableDescription();
    bool IsTableEncrypted();
    std::string GetTablePassword();

    // ======================================================================
    // Expressions over the cursor's fields (CursorExpressions.cpp)
    // ======================================================================
    // Computed fields of a record buffer, evaluated in field order from the
    // record's other fields; a NULL result stores a blank.
    void CalculateFields(uint8_t* buffer);
    // The evaluator's column callback: the value of the token's field in the record
    // buffer, with the token's null flag set from the field's presence.
    void GetFieldValue(const uint8_t* buffer, TExpToken* token);
    // The same as a TColumnValueProc: owner is the cursor, context the record buffer.
    static void ColumnValue(void* cursor, void* record, TExpToken* token);
    // The column resolver of type checking over the cursor's own fields (names
    // without regard to case): binds FieldNumber, type, size and scale and makes
    // the cursor the column's owner (for TEXTSEARCH and TEXTOCCURS).
    static bool ResolveColumn(void* cursor, TExpToken* node);
    // Installs field definitions whose computed fields carry expressions:
    // expressions[i] belongs to defs[i] (nullptr: none). The cursor keeps its own
    // copies, typed and bound to its fields; their values are computed whenever a
    // field of a record buffer is stored and whenever a record is read.
    void SetComputedFieldDefs(const TFieldDesc* defs, int32_t count, int32_t limit,
                              const TExpToken* const* expressions);
    // The expression of a computed field; nullptr for none.
    const TExpToken* GetComputedFieldExpression(uint16_t fieldNo) const;
    // The fields of a live SQL result on its source cursor, installed as given: a
    // result column may repeat a table field (its offset and number) under another
    // name, so names and numbers are not checked against each other. Computed ones
    // are placed after the record; expressions[i] (nullptr: none) is copied for
    // defs[i] and bound to the new fields by name.
    void SetResultFieldDefs(const std::vector<TFieldDesc>& defs, const std::vector<const TExpToken*>& expressions);

    bool ExpressionTextSearch(const char* search, int32_t searchLength, const char* text,
                              int32_t textLength) override;
    int32_t ExpressionTextOccurs(const char* search, int32_t searchLength, const char* text,
                                 int32_t textLength) override;
    int64_t ExpressionLastAutoInc() override;

    // ======================================================================
    // Field access, definitions, bookmarks, brackets (CursorFields.cpp)
    // ======================================================================
    // value may be nullptr (only Blank is wanted); it receives the field's size.
    void GetField(uint16_t fieldNo, const uint8_t* buffer, void* value, bool& blank);
    // value nullptr stores a blank field. blankForBlob: an open BLOB handle is
    // stored as blank (its BLOB is empty).
    void PutField(uint16_t fieldNo, uint8_t* buffer, const void* value, bool force = false,
                  bool blankForBlob = false);
    void GetTableField(uint16_t fieldNo, const uint8_t* buffer, void* value, bool& blank);
    void PutTableField(uint16_t fieldNo, uint8_t* buffer, const void* value, bool blankForBlob = false);
    void GetFieldData(const TFieldDesc& desc, const uint8_t* buffer, void* value, bool& blank) const;
    void PutFieldData(const TFieldDesc& desc, uint8_t* buffer, const void* value, bool force, bool blankForBlob);
    uint16_t GetRecordSize() const;
    uint16_t GetFieldCount() const;
    uint16_t GetBlobFieldCount() const;
    uint8_t* GetRecordBuffer();
    // The cursor's own record size (with computed fields) and field count.
    uint16_t GetCursorRecordSize() const { return FRecordSize; }
    uint16_t GetCursorFieldCount() const { return FFieldCount; }

    void GetFieldDesc(uint16_t fieldNo, TFieldDesc& desc) const;  // 9985 when unknown
    void GetTableFieldDesc(uint16_t fieldNo, TFieldDesc& desc) const;
    void GetFieldDescByName(std::string_view name, TFieldDesc& desc) const;
    bool FieldNameExists(std::string_view name) const;
    bool GetSourceFieldDesc(std::string_view name, TFieldDesc& desc) const;
    bool FindFieldDescByName(std::string_view name, TFieldDesc& desc) const;
    int32_t FindFieldNo(std::string_view name) const;
    void SetFieldDesc(uint16_t fieldNo, const TFieldDesc& desc);
    // Index 255 gives 120 zero bytes.
    void GetIndexDesc(uint8_t indexNo, TIndexDesc& desc) const;
    void GetIndexFieldList(uint8_t indexNo, uint16_t (&fields)[MAX_INDEX_FIELDS]) const;
    bool GetNoPrimaryIndex() const;
    void SetNoPrimaryIndex(bool flag);
    void SetIndexCount(uint8_t count);
    void ResetBuffers(bool trim, bool reread);

    TCursorBookmark GetBookmark();
    bool SetToBookmark(const TCursorBookmark& bookmark, bool nearest, bool noChangeCheck);
    int32_t CompareBookmarks(const TCursorBookmark& a, const TCursorBookmark& b);
    // 0 or KURA_RECNOTFOUND.
    TEngineErrorCode SetToCursor(TDataCursor& other);

    // recordNo 0: the record in FRecord. Raises 10258.
    void LockRecord(uint32_t recordNo);
    void WriteUnlockRecord(uint32_t recordNo, bool localOnly);
    // Inside a transaction: the locks of records this cursor is about to write,
    // taken ahead in runs (TDataTable::LockRecordsAhead); nothing elsewhere.
    void LockRecordsAhead(const std::vector<uint32_t>& recordNumbers);
    // Gives back the locks taken ahead that no write claimed.
    void ReleaseLocksAhead();
    // The records a data-changing statement is about to visit in natural order
    // (ascending numbers; nullptr: none, the default). A cache miss on one of them
    // has the data file read those that follow it into its record window, in
    // spans of at most a block, as an index-order scan has it read the records
    // along its index. The list must outlive the plan; the statement ends it.
    void PlanRecordVisits(const std::vector<uint32_t>* ascending) {
        FVisitPlan = ascending;
        FVisitHint = 0;
    }
    uint32_t GetLockedRecordNo() const { return FLockedRecordNo; }
    bool BeginRead();
    // The file layer's call before a cache miss reads the disk: takes the table's
    // reader lock for the enclosing bracket when it has none yet, and moves the
    // cursor back onto its position when the table changed.
    bool CheckBeforeCacheMiss() override;
    // A read bracket without a change check of its own, held by a caller across
    // many operations (a scan): each operation inside still checks for changes,
    // and the reader lock its first cache miss takes stays until the EndRead that
    // closes this bracket, instead of being taken and given back per operation.
    void EnterReadBracket();
    void EndRead();
    bool BeginWrite();
    void EndWrite();
    bool BeginTableRead();
    void EndTableRead();

    // ======================================================================
    // Key comparison and callbacks (KeyCompare.cpp)
    // ======================================================================
    int32_t CompareFieldValues(const uint8_t* key1, const uint8_t* key2, int32_t length);

    TCursorEvents& Events() { return FEvents; }
    void SetPasswordEvent(TPasswordEvent event);
    void SetImportProgressEvent(TProgressEvent event);
    void SetExportProgressEvent(TProgressEvent event);
    bool DoPasswordEvent();
    void DoStatusNumber(const std::string& text, uint16_t number);
    void DoStatusText(const std::string& text);
    void DoStatusNumber2(const std::string& text, uint16_t number);
    void DoStatusText2(const std::string& text);
    void DoIndexProgress(uint16_t percent);
    void DoProgress(uint16_t value);
    void DoProgress2(uint16_t value);
    void DoRestructureProgress(uint16_t percent);
    void DoRestructureQuestion(uint8_t kind, const std::string& text, uint8_t& answer1, uint8_t& answer2);
    void DoImportProgress(uint16_t percent);
    void DoExportProgress(uint16_t percent);

    // ======================================================================
    // What the file layer asks of its cursor (KeyCompare.cpp, CursorForwarders.cpp)
    // ======================================================================
    uint8_t GetIndexNumber() const override { return FIndexNo; }
    int32_t CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) final;
    bool KeysCompareAsBytes() const final;
    uint8_t GetPathDepth() const override { return FPosition.Depth; }
    void SetPathDepth(uint8_t depth) override;
    uint32_t GetPathSlot(uint8_t depth) const override;
    void SetPathSlot(uint8_t depth, uint32_t slot) override;
    uint32_t GetPathParent(uint8_t depth) const override;
    // Defined with the navigation (CursorNavigation.cpp).
    int32_t GetReadAheadCount(int32_t maximum, int32_t direction) override;
    void GetUpcomingRecords(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) override;
    // The planned visits after the current record, at most `maximum`; false
    // without a plan for this walk.
    bool PlannedVisitsAfter(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) const;
    // The place in the plan of the first visit not below recordNo.
    std::size_t PlannedVisitAt(uint32_t recordNo) const;
    void GetRecordsAhead(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) override;
    // Remote BLOB transfers: the content of an opened BLOB from the reply, a saved
    // BLOB into the record write being built.
    std::vector<uint8_t> GetReplyParam() override;
    void PutRequestParam(const void* bytes, uint32_t length) override;

    // ======================================================================
    // Index selection (CursorIndexSelect.cpp)
    // ======================================================================
    // The empty name selects the primary index (natural order without one).
    void SetIndexName(std::string_view name);
    void SwitchToIndex(uint8_t indexNo);
    // While stepping in index order, the records read ahead end before the first
    // key whose first fieldCount fields differ from those of the record buffer
    // (the records of one key, found with FindKey); nullptr lifts the bound, and so
    // does every change of index. The stepping itself is not bounded.
    void BoundReadAhead(const uint8_t* recordBuffer, int32_t fieldCount);
    // Number and descriptor only; used around internal scans.
    void SetIndexNumber(uint8_t indexNo);
    // 10026 for a key size above the 522-byte key buffers.
    void LoadIndexDescriptor();
    void FreeIndexFieldDescs();
    uint8_t GetIndexCount() const;
    uint8_t GetCurrentIndexNo() const { return FIndexNo; }
    const std::string& GetIndexName() const { return FIndexName; }

    // ======================================================================
    // Positioning and stepping (CursorNavigation.cpp)
    // ======================================================================
    void LoadCurrentRecord(int32_t direction);
    // The record the cursor stands on, pinned in the record cache for the caller
    // (ReleaseRecord); nullptr when it stands on none.
    TRecord* PinCurrentRecord(int32_t direction);
    void MoveBy(int32_t count);
    void MoveToFirstKey();
    void MoveToLastKey();
    void SetToBegin();
    void SetToEnd();
    uint8_t SetToRecordNumber(int32_t recordNo);
    void GotoIndexPosition(int32_t position);
    void GotoRecordNumber(int32_t recordNo);
    uint32_t GetRecordCount();
    uint32_t GetTableRecordCount() const;
    uint32_t GetRecordNumber();
    uint32_t GetCurrentRecordNumber();
    uint8_t* GetCurrentKey();
    uint16_t GetKeySize() const;
    void SetEmptyPosition();
    void SnapToVisibleRecord();
    void ClipToRange();
    bool GetNextIndexPage(TPage*& page, bool& retry);
    bool GetPriorIndexPage(TPage*& page, bool& retry);
    bool StepNextKey(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot);
    bool StepPriorKey(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot);
    bool StepNextKeyInRange(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot);
    bool StepPriorKeyInRange(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot);
    int32_t CountConsecutiveBitmapRecords(int32_t maximum, int32_t direction);
    void CheckError(TEngineErrorCode code, std::string_view text);
    void CheckBlobError(TEngineErrorCode code, std::string_view fieldName);

    // ======================================================================
    // Key search and key ranges (CursorKeys.cpp)
    // ======================================================================
    uint8_t FindKey(uint8_t bufferIsKey, const uint8_t* buffer, int32_t fieldCount, uint8_t nearest,
                    uint8_t partialLength, uint8_t* recordBuffer = nullptr);
    void SetRange(uint8_t bufferIsKey, const uint8_t* startBuffer, int32_t startFieldCount, const uint8_t* endBuffer,
                  int32_t endFieldCount);
    void ResetRange();
    uint8_t PositionOnKey(const uint8_t* key, uint8_t nearest, uint8_t restoreEnds);
    void BuildIndexKey(const uint8_t* recordBuffer, uint8_t* keyBuffer);
    void BuildRowIdKey(const uint8_t* recordBuffer, uint8_t* keyBuffer);
    void Resync();
    void RebuildFilterSet();
    void UpdateFilterSetOnWrite(uint32_t recordNo, const uint8_t* recordBuffer);
    void UpdateFilterSetOnDelete(uint32_t recordNo);
    void SetRangeStartKey(const uint8_t* key);
    void SetRangeEndKey(const uint8_t* key);
    void SetRangeActive();
    void ClearRangeBounds();
    void ComputeRangeBounds();

    // ======================================================================
    // Visible-record sets and key-range scans (CursorSets.cpp)
    // ======================================================================
    void BuildRangeSet(bool& aborted);
    void BuildLiveSet(bool& aborted);
    void ApplyFilterSets();
    void RebuildAllFilterSets();
    void FillLowKey(uint8_t* key, int32_t from);
    void FillHighKey(uint8_t* key, int32_t from);
    void ScanRangeToBitmap(const uint8_t* low, const uint8_t* high, bool& aborted, TRecordsBitmap& set);
    uint32_t CountKeysInRange(const uint8_t* low, const uint8_t* high, bool& aborted);
    // The keys from low to high, each bound counted in or left out.
    uint32_t CountKeysBetween(const uint8_t* low, bool lowInclusive, const uint8_t* high, bool highInclusive,
                              bool& aborted);
    void ScanComplement(const uint8_t* low, const uint8_t* high, bool& aborted, TRecordsBitmap& set);
    uint32_t GetLastRecordNumber() const;
    // The number of the last block of the table's BLOB file, 0 without BLOB fields
    // or while closed. A remote table holds no BLOB header: 11280 there.
    uint32_t GetLastBlobBlockNumber() const;

    // ======================================================================
    // Filters (CursorFilters.cpp)
    // ======================================================================
    // At most 64 filters per cursor (9482 for one more); a new filter is
    // inactive. A filter text is parsed and typed against the cursor's fields:
    // 10051 with "filter expression is empty", "filter expression must be a
    // boolean expression" or the parser's message; unknown columns raise too. A
    // tree must already be typed against this cursor's fields (CheckFilterExpression
    // or CheckExpressionTypes with TDataCursor::ResolveColumn and this cursor);
    // with ownsExpression the filter frees it, and a refused tree is freed at once.
    // The handle is the filter; it stays valid until DropFilter or the cursor's close.
    TFilter* AddFilter(std::string_view text, const TCursorFilterOptions& options = {});
    TFilter* AddFilter(TExpToken* tree, bool ownsExpression, const TCursorFilterOptions& options = {});
    TFilter* AddFilter(TFilterCallback callback, void* data, const TCursorFilterOptions& options = {});
    // handle nullptr: every filter. 10050 for a handle the cursor does not hold.
    // The visible records are rebuilt and the cursor stays on its record or moves
    // to the nearest visible one.
    void DropFilter(const TFilter* handle);
    void ActivateFilter(const TFilter* handle);
    void DeactivateFilter(const TFilter* handle);
    // The filter takes the tree (freed on refusal).
    void ModifyFilter(const TFilter* handle, TExpToken* tree);
    void ModifyFilter(const TFilter* handle, std::string_view text, const TCursorFilterOptions& options = {});
    const std::vector<TFilter*>& GetFilters() const;
    // A parsed tree (10051 "filter expression is empty" for none); the caller frees it.
    TExpToken* ParseFilterExpression(std::string_view text);
    // Binds and types the tree; 10051 when its result is not boolean.
    void CheckFilterExpression(TExpToken* tree);
    // Builds the Result of one active filter (all of them when the sets are not
    // built yet); RebuildAllFilterSets builds every one.
    void BuildFilterSet(TFilter* filter);
    // Test seam: answered after each pass of a set build; true makes the pass
    // count as aborted.
    std::function<bool()> FSetBuildAbortProbe;
    // Set while a scan stands on another index than the cursor's own: a change
    // found then aborts the scan instead of resynchronising.
    bool FIndexSwappedForScan = false;
    // Walks the current index's leaf keys from the first not below `from`
    // (nullptr: the first key) until visit answers false. False when a page read
    // found the table changed.
    bool WalkIndexKeys(const uint8_t* from, const std::function<bool(const uint8_t*, uint32_t)>& visit);

protected:
    TExpToken* PrepareFilterText(std::string_view text, const TCursorFilterOptions& options);
    TFilter* InsertFilter(TFilterCallback callback, void* data, TExpToken* tree, bool owns,
                          const TCursorFilterOptions& options);
    void CheckFilterRoom() const;
    // A remote cursor's new filter goes to the server too.
    TFilter* RegisterFilter(TFilter* filter);
    // A copy of one of this cursor's filter trees whose columns belong to `to`.
    TExpToken* CopyFilterTree(const TExpToken* tree, TDataCursor* to);
    std::vector<TFilter*>::iterator FindFilter(const TFilter* handle);
    void FreeAllFilters();
    // action 0 drop, 1 activate, 2 deactivate.
    void ChangeFilters(const TFilter* handle, int action);
    // The list part of ChangeFilters; the answer is the filter it newly activated.
    TFilter* UpdateFilterList(const TFilter* handle, int action);
    void EvaluateFilterResult(TFilter* filter, bool& aborted);
    void BuildSetsWithRetry(TFilter* only);
    bool UpdateFiltersOnWrite(uint32_t recordNo, const uint8_t* recordBuffer);
    void UpdateFiltersOnDelete(uint32_t recordNo);

public:
    // ======================================================================
    // Cursor state. The names are the ones every cursor file uses.
    // ======================================================================
    TDataDirectory* FDirectory = nullptr;
    bool FRemote = false;
    TDataTable* FTable = nullptr;
    uint32_t FRemoteHandle = 0;
    std::string FTableName;
    uint32_t FDataChangeCount = 0;
    uint32_t FIndexChangeCount = 0;
    uint32_t FBlobChangeCount = 0;
    uint32_t FCacheDiscardCount = 0;  // the table's cache discards when the counters were saved
    bool FOpen = false;
    bool FExclusive = false;
    bool FExclusiveClone = false;
    bool FReadOnly = false;
    bool FTableFilesReadOnly = false;
    bool FInMemory = false;
    bool FQueryResult = false;
    bool FTemporaryFiles = false;
    bool FRestructuring = false;
    bool FSuppressAutoInc = false;
    // DeferRowIds: the auto-increment values of the records appended since, which
    // took consecutive slots from FDeferredFirstRecord on.
    bool FRowIdsDeferred = false;
    uint32_t FDeferredFirstRecord = 0;
    std::vector<uint32_t> FDeferredAutoIncs;
    // SortRecords may move this table's records (CursorSort.cpp).
    bool Sortable() const;
    // Files records first..first+count-1 in "Sys Deleted" under the given
    // auto-increment values (their record numbers when none), after dropping the
    // index's pages when anew.
    void FileRowIds(uint32_t first, uint32_t count, const uint32_t* autoIncs, bool anew);
    // The same into the empty tree of the current index (AscendingTree.cpp), built
    // level by level; false, with nothing changed, when the tree is not empty, its
    // leaves are compressed or the keys do not ascend.
    bool BuildAscendingTree(uint32_t first, uint32_t count, const uint32_t* autoIncs);
    TRecord* FRecord = nullptr;
    TCursorEvents FEvents;
    bool FQuerySource = false;
    TCursorPosition FPosition;
    // The cache page the position's page was last copied from, while that page was
    // clean, with both pages' stamps then: a step within the leaf copies it again
    // only when one of them may have changed since.
    const TPage* FPositionSource = nullptr;
    uint64_t FPositionSourceStamp = 0;
    uint64_t FPositionCopyStamp = 0;
    uint32_t FRecordNo = 0;
    std::string FIndexName;
    uint8_t FIndexNo = 0;
    uint16_t FKeySize = 0;
    uint8_t FKeyFieldCount = 0;
    uint8_t FKeyCompression = 0;
    bool FDescending = false;
    bool FUnique = false;
    bool FCaseInsensitive = false;
    std::vector<TFieldDesc> FKeyFields;  // FKeyFields[k - 1] is key field k
    std::array<uint8_t, MAX_INDEX_FIELDS> FKeyFieldFlags{};
    bool FNoSubtreeCounts = false;
    bool FTemporaryIndex = false;
    // The last descriptor without key fields this cursor loaded ("Sys Deleted",
    // which every write selects and leaves again), with the descriptor bytes its
    // settings come from: equal bytes give equal settings, so it is not loaded again.
    struct TFieldlessIndexMemo {
        bool Valid = false;
        uint8_t Slot = 0;
        std::array<uint8_t, 88> Source{};
        std::string Name;
        uint16_t KeySize = 0;
        uint8_t Compression = 0;
        bool Descending = false;
        bool CaseInsensitive = false;
        bool Unique = false;
        bool NoSubtreeCounts = false;
        bool Temporary = false;
        std::array<uint8_t, MAX_INDEX_FIELDS> Flags{};
    };
    TFieldlessIndexMemo FFieldlessIndexMemo;
    bool FEOF = false;
    bool FBOF = false;
    // Inside a step to the next or prior record: only then is the rest of the
    // leaf worth loading with a record that was not cached.
    bool FStepping = false;
    // The slot after those the last read of a jump in natural order brought in.
    uint32_t FJumpReadEnd = 0;
    const std::vector<uint32_t>* FVisitPlan = nullptr;  // PlanRecordVisits
    mutable std::size_t FVisitHint = 0;                  // where PlannedVisitAt found the last one
    int32_t FRangeStart = 0;
    int32_t FRangeEnd = 0;
    int32_t FVisibleCount = 0;
    std::array<uint8_t, RANGE_KEY_SIZE> FRangeStartKey{};
    std::array<uint8_t, RANGE_KEY_SIZE> FRangeEndKey{};
    bool FRangeActive = false;
    std::array<uint8_t, RANGE_KEY_SIZE> FReadAheadKey{};
    int32_t FReadAheadLength = 0;  // 0: read-ahead not bounded (BoundReadAhead)
    TExpressionParser* FFilterParser = nullptr;  // created with the filter parser
    std::vector<TFilter*> FFilters;
    bool FVisibleSetActive = false;
    std::array<TRecordsBitmap*, 3> FRecordSets{};  // RS_VISIBLE, RS_RANGE, RS_LIVE
    bool FRangeBoundsGuard = false;  // busy: the range bounds are being computed
    bool FRangeBoundsSkip = false;   // skip: leave the range bounds as they are
    bool FSetsBuilding = false;      // a record set is being built
    bool FSetsSuspended = false;     // set upkeep is suspended
    std::vector<TBlobBuffer*> FOpenBlobs;
    std::vector<TFieldDesc> FFieldDefs;  // FFieldDefs[n - 1] is field n; FFieldCount of them
    // FComputedExpressions[n - 1] is the expression of computed field n, if any.
    std::vector<TExpressionPtr> FComputedExpressions;
    uint16_t FLocaleID = 0;
    uint16_t FSortID = 0;
    TCharMap FCharMap{};
    uint16_t FFieldCount = 0;
    uint16_t FRecordSize = 0;
    bool FHasValueChecks = false;
    bool FHasDefaults = false;
    bool FHasComputedFields = false;
    // GetNextRecordView's slots read ahead: FScanCount slots from FScanFirst, true
    // while the data file's scan generation is FScanGeneration.
    std::vector<uint8_t> FScanSlots;
    uint32_t FScanFirst = 0;
    int32_t FScanCount = 0;
    uint64_t FScanGeneration = 0;
    const uint8_t* ScanSlot(uint32_t recordNo);
    // One step forward within a read bracket: KURA_EOF past the last record, else
    // read() takes the record the cursor stands on.
    template <class TRead>
    TEngineErrorCode StepForward(const TRead& read);
    bool FHasAutoInc = false;
    bool FCalculating = false;
    std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> FKeyBuffer{};
    uint32_t FFilteredCount = 0;
    std::array<uint8_t, 10> FLastRequest{};
    // The record-block buffer: a copy of the last GETNEXTRECORD or GETPRIORRECORD
    // reply, read entry by entry (result, cursor state, record) with the same bounds
    // checks as any reply; a broken entry drops the connection.
    TRemoteReply FBlock;
    TLanguageStringList FStopWords;
    std::bitset<256> FSpaceChars;
    std::bitset<256> FIncludeChars;
    bool FTextParamsChanged = false;
    bool FTextParamsLoaded = false;
    uint32_t FBlockRecordCount = 1;
    bool FEditLockHeld = false;
    uint32_t FLockedRecordNo = 0;

protected:
    // An operation without a remote request yet.
    [[noreturn]] void RaiseNoRemote() const;
    // ---- Remote requests (CursorRemote.cpp) ----
    TRemoteChannel& RemoteChannel() const;
    // Starts a request of this cursor: the code, then the cursor's server handle.
    TRemoteRequest& BeginRemote(TRequestCode code);
    // Sends it and reads the reply, serving the server's callbacks in between, then
    // raises the error the reply carries.
    TRemoteReply& SendRemote();
    // Serves one callback frame; false when no response goes back.
    bool ServeRemoteCallback(TRemoteReply& reply, std::vector<uint8_t>& response);
    void CreateRemoteCursor();
    // Never throws: a cursor the server cannot free dies with the server's session.
    void FreeRemoteCursor() noexcept;
    void GetRemoteDataHeader(uint8_t* buffer);
    // DELETETABLE, or RENAMETABLE with the new name: the name and the in-memory flag.
    void SendRemoteTableRequest(TRequestCode code, std::string_view newName = {});
    void SendRemoteCreateTable(const TRemoteTableDefinition& definition);
    // The definition's part of CREATETABLE and RESTRUCTURETABLE, from the locale to
    // the full-text parameters.
    void PutRemoteDefinition(TRemoteRequest& request, const TRemoteTableDefinition& definition);
    // The state blocks of RemoteState.h (RemoteState.cpp).
    void ReadCursorState(TRemoteReply& reply);
    // SQL result cursors: their handle and options, and their field definitions
    // (computed ones with their expressions), installed with a limit of 1023.
    void ReadOpenState(TRemoteReply& reply);
    void ReadFieldDefs(TRemoteReply& reply);
    void PutPosition(TRemoteRequest& request);
    // The remote steps of OpenCursor once the table is held (CursorRemoteOpen.cpp).
    void OpenRemoteState(bool alreadyOpenedRemotely);
    // CLOSECURSOR; the server forgets the cursor's place whatever the answer.
    void CloseRemoteCursor() noexcept;
    TDataCursor* CloneRemoteCursor();
    void LoadRemoteTextIndexParams();
    // Filters (CursorRemoteFilters.cpp): the new filter, already in the list, is
    // registered with the server, or taken out and freed when the server refuses it.
    void AddRemoteFilter(TFilter* filter);
    // action 0 drop, 1 activate, 2 deactivate; handle nullptr: every filter.
    void ChangeRemoteFilters(const TFilter* handle, int action);
    // The server's question about one record: the cursor's first callback filter
    // answers (false without one).
    bool RemoteCallbackFilterPasses(TRemoteReply& reply);
    // Index and table requests (CursorRemoteTables.cpp).
    void AddRemoteSecondaryIndex(const TIndexDesc& desc, uint8_t option);
    // slot: where the table's copy of the index header holds the index.
    void DeleteRemoteIndex(std::string_view name, uint8_t slot, uint8_t compact);
    void SetRemoteIndexName(std::string_view name);
    // SETINDEXNAME and DELETEINDEX replies: the index number, the cursor state.
    void ReadRemoteIndexSelection(TRemoteReply& reply);
    void EmptyRemoteTable();
    void TransferRemoteTable(TRequestCode code, const TDelimitedTextParams& params);
    void RestructureRemoteTable(const TRestructureParams& params);
    // A request of this cursor with the position block, sent; the reply is at its
    // next parameter.
    TRemoteReply& SendPositioned(TRequestCode code, const std::function<void(TRemoteRequest&)>& more = {});
    // The table's definitions copied into the cursor's own (open, local or remote).
    void CopyTableFieldDefs();
    // GETNEXTRECORD / GETPRIORRECORD (CursorRemoteBlocks.cpp): a new request only
    // when the block buffer is used up or the last request was another one.
    bool NeedsBlockRequest(TRequestCode code) const;
    void ReadBlockBuffer();
    TEngineErrorCode ReadRemoteBlockRecord(TRequestCode code, uint8_t* buffer);
    // The remote paths of the record operations, bookmarks and record locks
    // (CursorRemoteRecords.cpp). A remote record lock is only marked in the local
    // table's bitmap: the server holds the real one.
    TEngineErrorCode GetRemoteCurrentRecord(uint8_t* buffer, bool lock);
    TEngineErrorCode CloneRemoteCurrentRecord(uint8_t* buffer);
    TEngineErrorCode ReadRemoteRecordBlock(int32_t& count, uint8_t* buffer);
    void AppendRemoteRecord(uint8_t* buffer, bool resync);
    void ModifyRemoteRecord(uint8_t* buffer, bool unlock, bool resync);
    void DeleteRemoteRecord(const uint8_t* buffer, bool resync);
    void CancelRemoteRecord();
    void FlushRemoteBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged, bool blobsChanged);
    TEngineErrorCode SetRemoteToCursor(TDataCursor& other);
    bool SetRemoteToBookmark(const TCursorBookmark& bookmark, bool nearest, bool noChangeCheck);
    void LockRemoteRecord(uint32_t recordNo);
    void WriteUnlockRemoteRecord(uint32_t recordNo, bool localOnly);
    // Clears the local mark of a record lock, when this cursor holds it.
    void ForgetRemoteLock(uint32_t recordNo);
    // The changed BLOBs that travel with an append or a modify (servers that leave
    // open BLOBs to the client); their modified marks come back when the write fails.
    std::vector<TBlobBuffer*> PutRemoteBlobUpload();
    // Servers from 3.11 on leave open BLOBs to the client.
    bool ClientKeepsBlobs() const;
    // BLOB requests of a server that keeps the open BLOBs itself (CursorRemoteBlobs.cpp).
    TEngineErrorCode OpenServerBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                    bool freeWithRecord, uint32_t& size);
    TEngineErrorCode FreeServerBlob(uint16_t fieldNo, uint8_t* buffer, bool useTableFields, bool serverFlag);
    TEngineErrorCode GetServerBlob(uint16_t fieldNo, const uint8_t* buffer, uint32_t offset, void* dest,
                                   uint32_t length, uint32_t& read, bool useTableFields);
    TEngineErrorCode PutServerBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t offset, const void* source,
                                   uint32_t length, bool useTableFields);
    TEngineErrorCode TruncateServerBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t newSize, bool useTableFields);
    TEngineErrorCode GetServerBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size, bool useTableFields);
    // OPENBLOB of a client that keeps the BLOB: the server's reference to it comes
    // back in the buffer, the content follows when the field held a chain.
    TEngineErrorCode RequestOpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                     bool freeWithRecord);
    // A record parameter of exactly the cursor's record size into buffer.
    void GetRemoteRecord(TRemoteReply& reply, uint8_t* buffer);
    // FIND and SETRANGE: the keys are built here from records when the flag says so.
    uint8_t FindRemoteKey(uint8_t bufferIsKey, const uint8_t* buffer, int32_t fieldCount, uint8_t nearest,
                          uint8_t partialLength, uint8_t* recordBuffer);
    void SetRemoteRange(uint8_t bufferIsKey, const uint8_t* startBuffer, int32_t startFieldCount,
                        const uint8_t* endBuffer, int32_t endFieldCount);
    // Resynchronises after a change seen by a bracket: counters saved, sets rebuilt,
    // back to the bookmark (or its nearest neighbour).
    void ReturnToBookmark(const TCursorBookmark& bookmark);
    // SetToBookmark without its change check and without ending the read bracket,
    // so a bracket that repositions keeps its lock to the caller's end.
    bool PositionOnBookmark(const TCursorBookmark& bookmark, bool nearest);
    // Some filter of the cursor is active (the filter operations keep this true to
    // their filters; without filters it is false).
    bool AnyFilterActive() const;
    // The skip rule of the brackets: exclusive, or files read-only by attribute.
    bool BracketsSkipped() const { return FExclusive || FTableFilesReadOnly; }
    // Frees what the cursor holds of an open table; never throws.
    void ReleaseOpenState();
    // Takes the definitions of a clone's source (computed ones included).
    void SetComputedFieldDefs(const std::vector<TFieldDesc>& defs, int32_t limit);
    // Copies of a clone source's computed expressions, bound to this cursor.
    void AdoptComputedExpressions(const std::vector<TExpressionPtr>& expressions);
    // Types a computed expression and binds its columns to this cursor's fields.
    void BindComputedExpression(TExpToken* tree);
    // The table password check of an encrypted table, with up to three rounds of
    // the password event.
    void CheckTablePassword(const std::string& password);
    // 9985 for an unknown field number.
    const TFieldDesc& CursorFieldDesc(uint16_t fieldNo) const;

    // ---- Declared section for the navigation, key and set files ----------------
    // (Further declarations of CursorNavigation.cpp, CursorKeys.cpp and
    // CursorSets.cpp go here.)

    // navigation, key search and visible-record sets
    // Outcome of a descent or a walk that may meet a changed index.
    enum class TWalkResult { Done, Empty, Retry };
    // One more try after a page read found the table changed: a short pause, and
    // the given error once the tries are used up.
    void PauseBeforeRetry(int32_t& attempts, TEngineErrorCode code);
    // In an index order the visible-record set narrows the keys only while filters
    // keep it in use; natural order always walks the set.
    bool UsesVisibleSet() const;
    bool IsVisibleRecord(uint32_t recordNo) const;
    // The step operation that fits the range and the visible-record set.
    bool StepKey(bool forward, TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot);
    // Copies the leaf into the cursor's own page and takes over slot and flags.
    void StorePosition(const TPage& page, int32_t slot, int32_t position, bool bof, bool eof);
    // Whether the position's page still holds what `page` holds (see FPositionSource).
    bool PositionCopyIsCurrent(const TPage& page) const;
    // Descends to the first (last) key of the index or of the range, honouring
    // the visible-record set; the pinned leaf is handed back in page.
    TWalkResult DescendToEnd(bool first, TPage*& page, int32_t& slot, int32_t& position);
    // MoveToFirstKey (first) and MoveToLastKey.
    void MoveToEndKey(bool first);
    // Replaces the pinned leaf by its neighbour `link` (0: none); a neighbour that
    // is no leaf or holds no keys is damage.
    bool FollowLeafLink(uint32_t link, TPage*& page, bool& retry);
    // Moves a leaf position that the range-bound descent left outside the range
    // onto the neighbouring key, when that one lies inside it.
    TWalkResult ClipLeafToRange(TPage*& page, int32_t& slot, int32_t& position);
    TWalkResult DescendToPosition(int32_t target, TPage*& page, int32_t& slot, int32_t& position, bool& eof);
    // Bytes that a FindKey or a range bound compares: the first fieldCount key
    // fields and partialLength bytes of the next one.
    int32_t KeyCompareLength(int32_t fieldCount, uint8_t partialLength) const;
    // Builds a search or bound key from a record or copies a ready key.
    void MakeSearchKey(uint8_t bufferIsKey, const uint8_t* buffer, uint8_t* key);
    // Number of keys below the key (inclusive: not above it), from the subtree
    // counts of one descent.
    TWalkResult CountKeysBefore(const uint8_t* key, bool inclusive, int32_t& count);
    // Compares two keys of the current index over its key size.
    int32_t CompareWholeKeys(const uint8_t* a, const uint8_t* b);
    // ---- record operations (CursorRecords.cpp, IndexBuildRemoval.cpp) ----
public:
    // Reads answer 0, KURA_BOF, KURA_EOF or KURA_NOCURRREC; without a record the
    // buffer (FRecordSize bytes, may be nullptr) is zeroed. Lock: the record enters
    // edit state (pessimistic: locked; both protocols: raises 8708 when the record
    // no longer equals the buffer).
    TEngineErrorCode GetCurrentRecord(uint8_t* buffer, bool lock);
    TEngineErrorCode GetNextRecord(uint8_t* buffer);
    // GetNextRecord for a reader that only reads the record, without copying it:
    // image is the cached record itself, pinned (held) until the caller releases it
    // (ReleaseRecord); or, for a record the cache does not hold, in natural order,
    // its slot in the cursor's scan block, valid until the cursor's next step. The
    // scan block takes in the slots ahead up to the last visible one within
    // SCAN_BLOCK_BYTES at a time, outside the cache. The cursor's own record buffer is not loaded. image nullptr with
    // KURA_EOF at the end, or when the cursor stands on no record. Only for a local
    // cursor without computed fields (ReadsRecordsInPlace), whose records are the
    // table's.
    TEngineErrorCode GetNextRecordView(const uint8_t*& image, TRecord*& held);
    bool ReadsRecordsInPlace() const { return !FRemote && !FHasComputedFields && FRecordSize == GetRecordSize(); }
    // Gives back the scan block's memory once a scan is done with it.
    void ReleaseScanBlock() {
        FScanSlots = {};
        FScanCount = 0;
    }
    static constexpr int32_t SCAN_BLOCK_BYTES = 65536;
    // A scan block reads at most this many bytes per record it will show.
    static constexpr int64_t SCAN_BYTES_PER_RECORD = 4096;
    // The record numbers of the current index's keys from its first to its last
    // (within the range), in key order, without reading any record; with
    // firstFieldPresent only those whose first key field is not blank. A leaf's
    // keys are taken from the cursor's copy of it, one step per leaf. The cursor
    // ends past the last key. Not in natural order.
    void CollectKeyRecordNumbers(std::vector<uint32_t>& numbers, bool firstFieldPresent);
    TEngineErrorCode GetPriorRecord(uint8_t* buffer);
    // count in: records wanted; out: records read. buffer holds count records.
    TEngineErrorCode ReadRecordBlock(int32_t& count, uint8_t* buffer);
    TEngineErrorCode CloneCurrentRecord(uint8_t* buffer);
    // A data-changing statement's step onto a record of the natural order it is
    // about to write: stands on record recordNo and reads it into buffer, in edit
    // state when lock is set (as GetCurrentRecord with Lock after an unlocked
    // read). False when the record is no longer there.
    bool ReadRecordToChange(uint32_t recordNo, uint8_t* buffer, bool lock);
    // The record of that number as the table holds it now, read into buffer
    // without moving the cursor, whichever index it is in (a remote cursor stands
    // on it); false when there is none. With block, a miss reads the slots that
    // follow along, for a reader that goes on with them.
    bool ReadRecordByNumber(uint32_t recordNo, uint8_t* buffer, bool block = false);

private:
    // Both reads' way where the cursor cannot go to the record directly (remote,
    // or standing in an index): to its bookmark, then its read; false when the
    // record is no longer there.
    bool ReadThroughBookmark(uint32_t recordNo, uint8_t* buffer);

public:
    // Writes raise. Append stores the assigned auto-increment value in buffer.
    void AppendRecord(uint8_t* buffer, bool resync);
    void ModifyRecord(uint8_t* buffer, bool unlock, bool resync);
    void CancelRecord();
    void DeleteRecord(const uint8_t* buffer, bool resync);
    void FlushBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged, bool blobsChanged);
    // Inside an index build that holds the write lock: removes a record the new
    // index rejects (its keys in every other index, words, BLOBs, slot). The
    // current index is the same afterwards.
    void RemoveRejectedRecord(TRecord* record, uint8_t buildIndexNo);
    // The same while several are built: the record has no keys yet in the slots
    // set in unbuilt ("Sys Text" among them: no words).
    void RemoveRejectedRecord(TRecord* record, const std::bitset<INDEX_SLOT_COUNT>& unbuilt);
    // Set by an optimistic ModifyRecord that found the record changed; only
    // CancelRecord clears it.
    bool FEditConflict = false;
    // Optimistic edits: the record as GetCurrentRecord with Lock read it. Reads
    // between that and the post (a BLOB opened for the edit) may refresh FRecord
    // with another user's change, so the post compares against this image; empty
    // when no edit is under way.
    std::vector<uint8_t> FEditImage;

    // Steps shared by the record operations.
    uint8_t GetLockProtocolOfSession() const;
    bool TakesKeyChecks() const;
    void CheckRecordAccess() const;
    void BuildLiveRowIdKey(const uint8_t* recordBuffer, uint8_t* key);
    // True when index slot's key is certainly the same for both record images:
    // every key field holds the same bytes in both, and so does the row
    // identifier a non-unique key ends with.
    bool KeyFieldsEqual(uint8_t slot, const uint8_t* a, const uint8_t* b) const;
    void BuildDeletedRowIdKey(uint8_t* recordBuffer, uint8_t* key);
    void DiscardFailedWrite();
    void ReleaseOperationLock(uint32_t recordNo, uint32_t previousLock);
    void RestoreRecordAfterFailure(const TRecordImage& image, uint32_t recordNumber, uint32_t recordNo);
    void CopyBlobIntoBuffer(uint16_t fieldNo, uint8_t* buffer);
    void AppendLocked(uint8_t* buffer, bool resync, uint32_t recordNo, bool newSlot);
    void ModifyLocked(uint8_t* buffer, bool unlock, bool resync);
    void DeleteLocked(uint32_t recordNo, bool resync);
    // ---- BLOBs and the full-text index (CursorBlobs.cpp, TextIndex.cpp) ----
public:
    // BLOB fields (CursorBlobs.cpp). Results: 0, 10753 not a BLOB field, 10030 no
    // open BLOB of this cursor in the field, 9494 open limit (128), 9998 bad offset
    // or unknown handle, 8711 end of BLOB, 10029 a null source or destination.
    // While open, the field holds the negated handle of the open BLOB.
    TEngineErrorCode OpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                              bool freeWithRecord, uint32_t& size, bool localOnly = false);
    TEngineErrorCode FreeBlob(uint16_t fieldNo, uint8_t* buffer, bool useTableFields, bool serverFlag = true);
    TEngineErrorCode GetBlob(uint16_t fieldNo, const uint8_t* buffer, uint32_t offset, void* dest, uint32_t length,
                             uint32_t& read, bool useTableFields);
    TEngineErrorCode PutBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t offset, const void* source, uint32_t length,
                             bool useTableFields);
    TEngineErrorCode TruncateBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t newSize, bool useTableFields);
    TEngineErrorCode GetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size, bool useTableFields);
    void FreeAllBlobs(bool all, bool localOnly = false);
    bool IsOpenBlob(const TBlobBuffer* blob) const;
    // The handle of an open BLOB of this cursor; 0 for any other.
    int32_t GetOpenBlobHandle(const TBlobBuffer* blob) const;
    // The record writes, in this order.
    void AssignBlobIDs(uint8_t* record, bool useTableFields);
    bool SaveOpenBlobs();
    void PutOpenBlobsIntoRecord(uint8_t* record, bool useTableFields);
    void FreeRecordBlobs(uint8_t* record);
    // The dataset's cancel: every BLOB open through the buffer's fields is freed.
    void DiscardRecordBlobs(uint8_t* buffer);

    // The full-text index "Sys Text" and word search (TextIndex.cpp). The record
    // updates select "Sys Text" for their keys and give the cursor its index back;
    // the field updates work on the current index.
    void SplitTextWords(const char* text, int32_t length, bool keepAsterisk, class TTextWordList& list);
    bool IsTextIndexField(uint16_t fieldNo) const;
    void AddTextIndexWords(const uint8_t* buffer);
    void RebuildTextIndexWords(const uint8_t* buffer);
    // True when any key changed.
    bool UpdateTextIndexWords(const uint8_t* newBuffer, const uint8_t* oldBuffer);
    void DeleteTextIndexWords(const uint8_t* buffer);
    void InsertFieldTextWords(uint16_t fieldNo, const char* text, int32_t length, uint32_t recordNo,
                              uint32_t autoInc);
    void DeleteFieldTextWords(uint16_t fieldNo, const char* text, int32_t length, uint32_t autoInc);
    bool UpdateFieldTextWords(uint16_t fieldNo, const char* newText, int32_t newLength, const char* oldText,
                              int32_t oldLength, uint32_t recordNo, uint32_t newAutoInc, uint32_t oldAutoInc);
    void BuildTextKey(uint16_t fieldNo, const std::string& upperWord, uint32_t autoInc, uint8_t* key) const;
    // TEXTSEARCH and TEXTOCCURS.
    bool TextSearch(const char* search, int32_t searchLength, const char* text, int32_t textLength);
    int32_t TextOccurs(const char* search, int32_t searchLength, const char* text, int32_t textLength);

protected:
    void GetBlobFieldDesc(uint16_t fieldNo, bool useTableFields, TFieldDesc& desc) const;
    int32_t ReadBlobReference(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields);
    int32_t ReadBlobReference(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields, bool& blank);
    void WriteBlobReference(uint16_t fieldNo, uint8_t* buffer, int32_t reference, bool blankForBlob,
                            bool useTableFields);
    TBlobBuffer* FindOpenBlob(int32_t handle) const;
    TEngineErrorCode CheckOpenBlob(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields, TBlobBuffer*& blob);
    TEngineErrorCode OpenBlobLocked(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                    bool freeWithRecord, uint32_t& size, bool localOnly);
    void DestroyOpenBlob(TBlobBuffer* blob);
    std::vector<uint16_t> GetTextIndexFields() const;
    std::vector<std::string> TextKeyWords(const char* text, int32_t length);
    std::string StringFieldText(uint16_t fieldNo, const TFieldDesc& desc, const uint8_t* buffer);
    std::string StoredMemoText(uint16_t fieldNo, const uint8_t* record);
    TBlobBuffer* FindModifiedBlob(uint16_t fieldNo, bool latest) const;
    // Ends a rename of the cursor's table name that stopped half-way (on disk only).
    void CompleteRenameOfName();

public:
    // ---- Table creation and definitions (TableCreation.cpp) ----
    // 10253 unless the cursor is set up for exclusive use.
    void CheckExclusive() const;
    // 11013 for a read-only cursor.
    void CheckNotReadOnly() const;
    // The definition checks (TableCreation.h) with the cursor's database and table
    // names as error context.
    void ValidateTableDefs(uint16_t localeId, uint16_t sortId, bool encrypted, std::string_view password,
                           uint16_t blobBlockSize, std::vector<TFieldDesc>& fieldDefs,
                           std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs, uint32_t secondaryCount,
                           bool noPrimaryIndex, bool allowComputed) const;
    void ValidateFieldDefs(bool allowComputed, std::vector<TFieldDesc>& fieldDefs, bool assignOffsets) const;
    void ValidateIndexDefs(std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs, uint32_t secondaryCount,
                           const std::vector<TFieldDesc>& fieldDefs, bool noPrimaryIndex) const;
    // Creates the table the closed cursor names, exclusive and not read-only. The
    // definitions are completed in place. indexDefs: slot 0 the primary index (no
    // fields: none, with noPrimaryIndex), 1..secondaryCount the secondary indexes,
    // slot 32 the full-text index. stopWords nullptr and empty character sets keep
    // the defaults. The cursor is closed again when it returns or raises.
    void CreateTable(uint16_t localeId, uint16_t sortId, bool overwrite, const TStringList* stopWords,
                     const std::bitset<256>& spaceChars, const std::bitset<256>& includeChars,
                     std::vector<TFieldDesc>& fieldDefs, std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexDefs,
                     uint32_t secondaryCount, uint16_t blobBlockSize, std::string_view description,
                     std::string_view password, bool encrypted, uint16_t userMajor, uint16_t userMinor,
                     bool noPrimaryIndex);
    // On the closed cursor's table (the password of an encrypted one is checked).
    void DeleteTable();
    void RenameTable(std::string_view newName);
    // The table's files renamed to .DBK, .IBK and .BBK, replacing older backups.
    void BackupTableFiles();
    // Open exclusive cursor: the index file copied to .IBK, or that copy put back
    // (keepCurrent false) and/or dropped (deleteBackup).
    void BackupIndexFile();
    void RestoreIndexFile(bool keepCurrent, bool deleteBackup);
    // Open exclusive cursor: every record, index key and BLOB gone; the full-text
    // parameters kept.
    void EmptyTable();
    bool IndexNameExists(std::string_view name) const;
    // Validates the definitions (computed fields allowed, no offsets assigned) and
    // installs them as the cursor's own, computed fields after the stored record.
    void SetComputedFieldDefs(const TFieldDesc* defs, int32_t count, int32_t limit);
    // SQL result cursors: computed fields placed after the record; origin text,
    // source field number and database text filled in.
    void SetFieldOrigins();
    // Restructuring: the old definitions are the open table's.
    bool IndexNeedsRebuild(const TIndexDesc& oldDesc, const TIndexDesc& newDesc,
                           const std::vector<TFieldDesc>& newFieldDefs) const;
    // Index field numbers mapped to the positions of the fields that carry them,
    // and each field numbered by its position.
    void RenumberIndexFields();
    void SetDescriptionAndPassword(std::string_view password, std::string_view description, uint16_t userMajor,
                                   uint16_t userMinor, uint32_t lastAutoInc);
    void SetIndexDesc(uint8_t indexNo, const TIndexDesc& desc);
    void SetIndexNameAndFields(uint8_t indexNo, const TIndexDesc& desc);

    // ---- Record sort (CursorSort.cpp) ----
    // Exclusive cursor on an open table without secondary indexes whose no-primary-
    // index flag is set: its records are sorted as TSortRequest says (RecordSort.h)
    // and the cursor stands before the first record. Any other table is left alone
    // (result all zero).
    TSortResult SortRecords(const TSortRequest& request);
    // A table SortRecords accepts, without records, BLOB fields or a text index, on
    // a local cursor that may write: the rows `next` hands (record buffers as
    // AppendRecord takes them) end up as appending them one by one and then
    // SortRecords would leave the table, but each is written once, in its sorted
    // place. A failure of `next` leaves the table without records.
    bool CanSortRows() const;
    TSortResult SortRows(const TSortRequest& request, const TSortRowSource& next);
    // "Sys Deleted" made anew for records 1..count, each carrying its number as its
    // auto-increment value.
    void RebuildRowIdIndex(uint32_t count);
    // For an empty table that SortRecords accepts, about to be filled and then
    // grouped or de-duplicated: the appends until then leave "Sys Deleted" alone
    // (the sort files the records it keeps, usually far fewer). Nothing may read
    // the table in between; CompleteRowIds files the appended records when no sort
    // follows after all (a failure), and EmptyTable or closing ends the deferral.
    // Does nothing on any other table.
    void DeferRowIds();
    void CompleteRowIds();
    // The same for a run of appends to any local table: the records that take
    // the next new slots one after another are filed in
    // "Sys Deleted" together by CompleteRowIds, which must come before anything
    // else reads or writes the table or its files (another cursor, a commit).
    // Not with a text index, or appends that keep their own auto-increment values
    // (their duplicates are found in "Sys Deleted").
    void DeferAppendedRowIds();
    bool RowIdsDeferred() const { return FRowIdsDeferred; }

    // ---- Restructuring (CursorRestructure.cpp, Restructure.h) ----
    void RestructureTable(const TRestructureParams& params);

    // ---- Delimited text (CursorImport.cpp, CursorExport.cpp, DelimitedText.h) ----
    void ImportTable(const TDelimitedTextParams& params);
    void ExportTable(const TDelimitedTextParams& params);

    // ---- Full-text index parameters (TextIndexParams.cpp) ----
    // Once per cursor: from the index file, or the defaults when it keeps none.
    // 8965 for a damaged parameter chain.
    void LoadTextIndexParams();
    // Replaces the working copy (stopWords nullptr: no stop words); written at close.
    void SetTextIndexParams(const TStringList* stopWords, const std::bitset<256>& spaceChars,
                            const std::bitset<256>& includeChars);
    // Writes the working copy into the index file when it was set.
    void SaveTextIndexParams();
    TLanguageStringList& GetStopWords();
    std::bitset<256> GetSpaceChars();
    std::bitset<256> GetIncludeChars();
    // ---- index maintenance, defaults and constraints (CursorIndexes.cpp, CursorConstraints.cpp) ----
private:
    // One descent for a key insert; false when a change check refreshed the cursor
    // on the way.
    bool DescendForKey(const uint8_t* key, TPage*& page);
    void BuildNewIndex(uint8_t indexNo);
    void DropIndexSlot(uint8_t indexNo, bool compact);
    // A restructure that changes no field: the changed indexes rebuilt in the open
    // table's own files (CursorIndexRebuild.cpp). False when the caller stopped it.
    bool RebuildChangedIndexes(const TRestructureParams& params, const std::vector<TFieldDesc>& fields,
                               const std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexes,
                               const TStringList& stopWords, const std::bitset<256>& spaces,
                               const std::bitset<256>& includes, bool textParamsChanged, uint32_t lastAutoInc);
    void BuildMarkedIndexes(const std::bitset<INDEX_SLOT_COUNT>& marked, uint8_t& stopAsking, uint8_t& carryOn);

public:
    // Exact search of the whole key in the current index.
    bool KeyExists(const uint8_t* key);
    // Unique indexes, "Sys Deleted" and "Sys Text" only: the key is already there.
    bool IsKeyViolation(const uint8_t* key);
    [[noreturn]] void RaiseKeyViolation();
    void InsertIndexKey(const uint8_t* key, uint32_t recordNo);
    // 8965 when the old key is not in the current index.
    void DeleteIndexKey(const uint8_t* oldKey, const uint8_t* newKey, uint32_t recordNo);
    void DeleteIndexKey2(const uint8_t* key);
    void InsertKeyIntoTree(const uint8_t* key, uint32_t recordNo);
    // Keys at stride bytes apart, each with its record: a run of ascending keys is
    // put into a leaf after one descent instead of one each.
    void InsertKeyRun(const uint8_t* keys, std::size_t stride, const uint32_t* recordNos, uint32_t count);
    // 8965 when the key is not in the current index; nothing changes then.
    void DeleteKeyFromTree(const uint8_t* key);
    void IncRecordCount();
    void DecRecordCount();
    // Computes the key size and field count into desc, adds and builds the index;
    // records whose key a unique index refuses are removed from the table.
    void AddSecondaryIndex(TIndexDesc& desc, uint8_t option);
    void DeleteIndex(std::string_view name, uint8_t compact);
    void DeleteIndexByNumber(uint8_t indexNo, uint8_t compact);
    // The page and every page below it back to the current index's free pages.
    void FreeIndexPages(uint32_t pageNo);
    // "Sys Deleted" and the record count of a table whose index file was made anew.
    void RebuildLostIndexFile();

    void InitRecord(uint8_t* buffer);
    void ValidateRecordValues(const uint8_t* buffer);
    // mode 1 minimum, 2 maximum; value holds the stored bytes of the field.
    bool CheckFieldBound(std::string_view bound, uint8_t mode, const TFieldDesc& desc, const uint8_t* value);
    void ClearRecordBuffer(uint8_t* buffer);
    int32_t GetBlobBlockCount(int32_t length);
};

}  // namespace kura
