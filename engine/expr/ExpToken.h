#pragma once
// One node of an expression tree. Nodes are recycled through the global token pool
// (ExpTokenPool.h), so a node must be able to return to its freshly created state
// cheaply: Clear() resets every field and keeps a small value buffer for reuse.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/NameRoutines.h"

namespace kura {

class TDataQuery;  // the SQL engine's query model; a sub-select node refers to one

class TExpToken {
public:
    // Size of a fresh value buffer, and the step in which value buffers grow.
    static constexpr int32_t ValueBlockSize = 256;

    // Every field zero or empty, a zero-filled value buffer of ValueBlockSize bytes.
    TExpToken();
    ~TExpToken();
    TExpToken(const TExpToken&) = delete;
    TExpToken& operator=(const TExpToken&) = delete;

    // Resets the node for reuse. The bind slots become -1 (unbound). A value buffer
    // that grew beyond one block is replaced by a fresh block; a smaller one is
    // zero-filled in place.
    void Clear();

    // Nodes in existence in the process (pooled ones included): with the pool's count it
    // tells whether every node taken has come back.
    static int64_t LiveCount();

    // Allocated size of the value buffer in bytes: 0 or a multiple of ValueBlockSize.
    int32_t ValueCapacity() const { return static_cast<int32_t>(Value.size()); }

    // Copies every field of the source except Third, the image offsets and positions.
    // The value buffer grows to the source's capacity and takes its whole content; the
    // Arguments list takes the same node references (children are shared, not copied).
    void Assign(const TExpToken& source);

    // Makes the value buffer hold at least size bytes (rounded up to whole blocks, the
    // new part zero-filled, never shrunk) and sets DataSize. A size of 0 or less frees
    // the buffer and sets DataSize 0.
    void SetDataSize(int32_t size);

    // The argument in slot index; nullptr for an empty slot or an index out of range.
    TExpToken* GetArgument(int32_t index) const;
    // Stores node in slot index, growing the list with empty slots as needed.
    void SetArgument(int32_t index, TExpToken* node);
    int32_t ArgumentCount() const { return static_cast<int32_t>(Arguments.size()); }

    // Equal kind, code, parameter mark, partial length, case flag, type, subtype,
    // size and scale, and names equal without regard to case; a constant also needs
    // the same NULL flag and the same first DataSize value bytes. Text and Flag are
    // not compared.
    bool SameValue(const TExpToken& other) const;

    // --- Identity of the node
    std::string Text;   // source text as written
    uint8_t Kind = 0;   // node kind (ek* of ExpCodes.h)
    uint8_t Code = 0;   // operator, function or predicate code (op*, fn*, pr*)
    uint8_t Flag = 0;

    // --- Planner scratch
    int32_t BindSlot1 = 0;
    int32_t BindSlot2 = 0;
    int32_t PlannerWord = 0;
    uint8_t PlannerFlag1 = 0;
    uint8_t PlannerFlag2 = 0;

    // --- Column reference
    std::string Name;        // at most 255 bytes
    uint16_t FieldNumber = 0;
    std::string TableName;   // at most 255 bytes, without a trailing ".DAT"
    // What a column is bound to: a source table of the SQL engine or a cursor (for
    // LASTAUTOINC and IDENT_CURRENT the source table the argument names). Not owned.
    void* Owner = nullptr;
    // The query of a sub-select node; the statement's query list owns it.
    TDataQuery* Query = nullptr;

    // --- Value of a constant or result
    std::vector<uint8_t> Value;  // owned buffer; its size is the capacity
    uint8_t IsNull = 0;
    uint8_t IsParameter = 0;
    int32_t PartialLength = 0;
    uint8_t CaseInsensitive = 0;
    uint8_t DataType = 0;
    uint8_t DataSubtype = 0;
    int32_t DataSize = 0;
    uint8_t Scale = 0;

    // --- What type checking turned a string constant from
    uint8_t FromStringConstant = 0;
    uint8_t SavedType = 0;
    uint8_t SavedSubtype = 0;
    int32_t SavedSize = 0;
    uint8_t SavedScale = 0;

    // --- Tree links (the tree owns its children; Parent is a back reference)
    TExpToken* Parent = nullptr;
    TExpToken* Left = nullptr;
    TExpToken* Right = nullptr;
    TExpToken* Third = nullptr;
    std::vector<TExpToken*> Arguments;  // a slot may be empty (nullptr)

    // --- Flat image bookkeeping
    uint32_t LeftOffset = 0;
    uint32_t RightOffset = 0;
    uint32_t ThirdOffset = 0;
    uint32_t ArgumentsOffset = 0;
    uint32_t WritePosition = 0;
    uint32_t ReadPosition = 0;
};

}  // namespace kura
