#pragma once
// How a full cache makes room when every item it could recycle is modified.
//
// A table whose files are journalled must never reach the disk in part: writing
// one file's modified items alone would leave the others behind, and a crash then
// leaves tables whose index and records disagree. So the owner decides: the file
// writes its own items (no journal to keep whole), the owner has flushed the whole
// table through its journal, or nothing may be written yet (inside a transaction
// or an operation) and the cache grows until the owner flushes.
namespace kura {

enum class TRecycleFlush { Own, Table, Defer };

}  // namespace kura
