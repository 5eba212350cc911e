#include "engine/expr/ExpStream.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/files/FieldDesc.h"

namespace kura {

namespace {

using dfbytes::GetU16;
using dfbytes::GetU32;
using dfbytes::PutU16;
using dfbytes::PutU32;

constexpr uint32_t FixedFieldBytes = 1 + 1 + 1 + 2 + 4 + 1 + 4 + 1 + 1 + 1 + 1 + 4 + 4 + 4;
constexpr uint32_t FormAFields = 17;
constexpr uint32_t FormBFields = 18;
// The smallest record a node can have in form B: every field with its count, empty
// texts and no value.
constexpr uint32_t MinNodeBytes = FormBFields * 4 + FixedFieldBytes + 4;

struct TArgumentView {
    const TExpToken* Node;  // nullptr: written as a NULL constant
};

// The arguments form B writes: trailing empty slots dropped.
size_t WrittenArgumentCount(const TExpToken* node) {
    size_t count = node->Arguments.size();
    while (count > 0 && !node->Arguments[count - 1]) --count;
    return count;
}

uint32_t ValueBytes(const TExpToken* node) { return node->DataSize > 0 ? static_cast<uint32_t>(node->DataSize) : 0; }

class TImageWriter {
public:
    TImageWriter(std::vector<uint8_t>& buffer, bool extended) : FBuffer(buffer), FExtended(extended) {}

    uint32_t RecordSize(const TExpToken* node) const {
        const uint32_t fields = FExtended ? FormBFields : FormAFields;
        const size_t name = std::min<size_t>(node->Name.size(), 255);
        return static_cast<uint32_t>(fields * 4 + FixedFieldBytes + (FExtended ? 4 : 0) + node->Text.size() + name +
                                     ValueBytes(node));
    }

    uint32_t TreeSize(const TExpToken* node) const {
        if (!node) return RecordSize(&NullNode());
        uint32_t size = RecordSize(node);
        if (node->Left) size += TreeSize(node->Left);
        if (node->Right) size += TreeSize(node->Right);
        if (FExtended) {
            const size_t count = WrittenArgumentCount(node);
            for (size_t i = 0; i < count; ++i) size += TreeSize(node->Arguments[i]);
        } else if (node->Third) {
            size += TreeSize(node->Third);
        }
        return size;
    }

    // Writes the subtree at offset; returns the next free offset.
    uint32_t Write(const TExpToken* node, uint32_t offset) {
        if (!node) node = &NullNode();
        uint32_t free = offset + RecordSize(node);
        uint32_t leftOffset = 0, rightOffset = 0, thirdOffset = 0, argumentsOffset = 0;
        if (node->Left) {
            leftOffset = free;
            free = Write(node->Left, free);
        }
        if (node->Right) {
            rightOffset = free;
            free = Write(node->Right, free);
        }
        const size_t count = FExtended ? WrittenArgumentCount(node) : 0;
        if (FExtended && count > 0) {
            argumentsOffset = free;
            for (size_t i = 0; i < count; ++i) free = Write(node->Arguments[i], free);
        } else if (!FExtended && node->Third) {
            thirdOffset = free;
            free = Write(node->Third, free);
        }
        FPosition = offset;
        Field(node->Text.data(), node->Text.size());
        Byte(node->Kind);
        Byte(node->Code);
        Byte(node->Flag);
        Field(node->Name.data(), std::min<size_t>(node->Name.size(), 255));
        Count(2);
        PutU16(At(2), node->FieldNumber);
        Word32(static_cast<uint32_t>(node->DataSize));
        const uint32_t valueBytes = ValueBytes(node);
        Count(valueBytes);
        // A value shorter than its stated size (set by hand) is padded with zeros.
        const size_t available = std::min<size_t>(valueBytes, node->Value.size());
        if (available > 0) std::memcpy(At(static_cast<uint32_t>(available)), node->Value.data(), available);
        FPosition += valueBytes - static_cast<uint32_t>(available);
        Byte(node->IsNull);
        Word32(static_cast<uint32_t>(node->PartialLength));
        Byte(node->CaseInsensitive);
        Byte(node->DataType);
        Byte(node->DataSubtype);
        Byte(node->Scale);
        Word32(leftOffset);
        Word32(rightOffset);
        if (FExtended) {
            Word32(static_cast<uint32_t>(count));
            Word32(argumentsOffset);
        } else {
            Word32(thirdOffset);
        }
        return free;
    }

private:
    static const TExpToken& NullNode();

    uint8_t* At(uint32_t bytes) {
        uint8_t* p = FBuffer.data() + FPosition;
        FPosition += bytes;
        return p;
    }
    void Count(uint32_t n) { PutU32(At(4), n); }
    void Field(const char* data, size_t n) {
        Count(static_cast<uint32_t>(n));
        if (n > 0) std::memcpy(At(static_cast<uint32_t>(n)), data, n);
    }
    void Byte(uint8_t value) {
        Count(1);
        *At(1) = value;
    }
    void Word32(uint32_t value) {
        Count(4);
        PutU32(At(4), value);
    }

    std::vector<uint8_t>& FBuffer;
    bool FExtended;
    uint32_t FPosition = 0;
};

// Stands in for an empty argument slot. Made at start-up, so that it is never
// counted among the nodes a workload takes.
struct TNullArgument : TExpToken {
    TNullArgument() {
        Kind = ekConstant;
        Text = "NULL";
        IsNull = 1;
    }
};
const TNullArgument NullArgument;

const TExpToken& TImageWriter::NullNode() { return NullArgument; }

uint32_t WriteImage(const TExpToken* root, std::vector<uint8_t>& buffer, bool extended) {
    buffer.clear();
    if (!root) return 0;
    TImageWriter writer(buffer, extended);
    const uint32_t size = writer.TreeSize(root);
    buffer.assign(size, 0);
    writer.Write(root, 0);
    return size;
}

// ---- Reading ------------------------------------------------------------------

[[noreturn]] void RaiseCorrupt(const std::string& why) {
    RaiseEngineError(KURA_UNCOMPRESS, {}, {}, {}, {}, {}, {}, "Expression image is damaged: " + why);
}

bool IsKnownFunction(uint8_t code) {
    return IsAggregateCode(code) || code == fnUpper || code == fnLower || (code >= fnSubstring && code <= fnIdentCurrent);
}

// The fewest and most arguments the grammar gives a function or predicate.
void ArgumentBounds(uint8_t kind, uint8_t code, uint32_t& least, uint32_t& most) {
    least = 1;
    most = 1;
    if (kind == ekPredicate) {
        switch (code) {
            case prLike: case prNotLike: least = most = 2; break;
            case prBetween: case prNotBetween: least = most = 3; break;
            default: least = 2; most = UINT32_MAX; break;  // IN lists
        }
        return;
    }
    switch (code) {
        case fnSubstring: least = 2; most = 3; break;
        case fnReplace: case fnIf: case fnIfNull: least = most = 3; break;
        case fnPos: case fnOccurs: case fnTrimLeading: case fnTrimTrailing: case fnTrimBoth:
        case fnTextSearch: case fnTextOccurs: least = most = 2; break;
        case fnCast: least = 1; most = 3; break;
        case fnRound: least = 1; most = 2; break;
        case fnCoalesce: least = 1; most = UINT32_MAX; break;
        default: break;
    }
}

class TImageReader {
public:
    TImageReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    TExpressionPtr Node(int32_t depth) {
        if (depth > MaxExpressionDepth) RaiseCorrupt("nested more deeply than " + std::to_string(MaxExpressionDepth) + " levels");
        TExpressionPtr node(AllocExpToken());
        const size_t recordStart = FPosition;
        node->Text = Text(SIZE_MAX);
        node->Kind = Byte();
        node->Code = Byte();
        node->Flag = Byte();
        node->Name = Text(255);
        node->FieldNumber = GetU16(Fixed(2));
        const uint32_t dataSize = GetU32(Fixed(4));
        if (dataSize > INT32_MAX) RaiseCorrupt("negative value size");
        const uint32_t valueBytes = Count();
        if (valueBytes != dataSize) RaiseCorrupt("value size differs from its field");
        const uint8_t* value = Take(valueBytes);
        if (dataSize > 0) {
            // One block more than the value needs when it fills its blocks exactly, so a
            // text without its terminator still ends inside the buffer.
            node->SetDataSize(static_cast<int32_t>(dataSize));
            if (node->Value.size() == dataSize) node->Value.resize(dataSize + TExpToken::ValueBlockSize, 0);
            std::memcpy(node->Value.data(), value, dataSize);
        } else {
            node->DataSize = 0;
        }
        node->IsNull = Byte();
        node->PartialLength = static_cast<int32_t>(GetU32(Fixed(4)));
        node->CaseInsensitive = Byte();
        node->DataType = Byte();
        node->DataSubtype = Byte();
        node->Scale = Byte();
        node->LeftOffset = GetU32(Fixed(4));
        node->RightOffset = GetU32(Fixed(4));
        const uint32_t count = GetU32(Fixed(4));
        node->ArgumentsOffset = GetU32(Fixed(4));
        node->ReadPosition = static_cast<uint32_t>(recordStart);
        CheckShape(*node, count);

        if (node->LeftOffset != 0) {
            node->Left = Node(depth + 1).release();
            node->Left->Parent = node.get();
        }
        if (node->RightOffset != 0) {
            node->Right = Node(depth + 1).release();
            node->Right->Parent = node.get();
        }
        if (node->ArgumentsOffset != 0) {
            node->Arguments.assign(count, nullptr);
            for (uint32_t i = 0; i < count; ++i) {
                node->Arguments[i] = Node(depth + 1).release();
                node->Arguments[i]->Parent = node.get();
            }
        }
        return node;
    }

    size_t Position() const { return FPosition; }

private:
    // Only the shapes the grammar and the cursor copy build: the evaluator and the
    // type checker then never meet a missing operand.
    void CheckShape(const TExpToken& node, uint32_t count) const {
        const bool left = node.LeftOffset != 0;
        const bool right = node.RightOffset != 0;
        if ((count == 0) != (node.ArgumentsOffset == 0)) RaiseCorrupt("argument count without arguments");
        switch (node.Kind) {
            case ekUnary:
                if (!left || right || count) RaiseCorrupt("unary operator without one operand");
                if (node.Code != opIsNull && node.Code != opIsNotNull && node.Code != opNot && node.Code != opNegate &&
                    node.Code != opPlus)
                    RaiseCorrupt("unknown unary operator");
                return;
            case ekBinary:
            case ekPartialCompare: {
                if (!left || !right || count) RaiseCorrupt("binary operator without two operands");
                const bool known = node.Kind == ekPartialCompare
                                       ? (node.Code == opEqual || node.Code == opNotEqual)
                                       : (IsComparisonCode(node.Code) || node.Code == opAnd || node.Code == opOr ||
                                          (node.Code >= opAdd && node.Code <= opDivide));
                if (!known) RaiseCorrupt("unknown binary operator");
                return;
            }
            case ekColumn:
            case ekConstant:
                if (left || right || count) RaiseCorrupt("operands below a column or constant");
                return;
            case ekFunction:
            case ekPredicate: {
                if (left || right) RaiseCorrupt("function with operands outside its arguments");
                const bool known = node.Kind == ekFunction
                                       ? IsKnownFunction(node.Code)
                                       : (node.Code == prLike || node.Code == prNotLike || node.Code == prIn ||
                                          node.Code == prNotIn || node.Code == prBetween || node.Code == prNotBetween);
                if (!known) RaiseCorrupt("unknown function or predicate");
                uint32_t least = 0, most = 0;
                ArgumentBounds(node.Kind, node.Code, least, most);
                if (count < least || count > most) RaiseCorrupt("wrong number of arguments");
                // Each argument needs a record of its own: a count the image cannot hold is
                // refused before anything is allocated for it.
                if (count > (FSize - FPosition) / MinNodeBytes) RaiseCorrupt("more arguments than the image holds");
                return;
            }
            default:
                // A sub-select cannot travel without its statement.
                RaiseCorrupt("unknown node kind " + std::to_string(node.Kind));
        }
    }

    uint32_t Count() { return GetU32(Take(4)); }
    const uint8_t* Take(size_t n) {
        if (n > FSize - FPosition) RaiseCorrupt("truncated at byte " + std::to_string(FPosition));
        const uint8_t* p = FData + FPosition;
        FPosition += n;
        return p;
    }
    const uint8_t* Fixed(uint32_t n) {
        if (Count() != n) RaiseCorrupt("field of the wrong size at byte " + std::to_string(FPosition - 4));
        return Take(n);
    }
    uint8_t Byte() { return *Fixed(1); }
    std::string Text(size_t most) {
        const uint32_t n = Count();
        if (n > most) RaiseCorrupt("name longer than 255 bytes");
        const uint8_t* p = Take(n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }

    const uint8_t* FData;
    size_t FSize;
    size_t FPosition = 0;
};

}  // namespace

// ---- Form A shape -------------------------------------------------------------

namespace {

// Hangs child on the Right of holder when that slot is free; true when it did.
bool HangRight(TExpToken* holder, TExpToken* child) {
    if (!child) return true;
    if (!holder || holder->Right) return false;
    holder->Right = child;
    return true;
}

}  // namespace

void NormalizeFunctionArguments(TExpToken* node) {
    if (!node) return;
    if (node->Kind == ekUnary) {
        NormalizeFunctionArguments(node->Left);
        return;
    }
    if (node->Kind == ekBinary || node->Kind == ekPartialCompare) {
        NormalizeFunctionArguments(node->Left);
        NormalizeFunctionArguments(node->Right);
        return;
    }
    if ((node->Kind != ekFunction && node->Kind != ekPredicate) || node->Arguments.empty()) return;
    if (node->Left || node->Right || node->Third) return;  // already in child slots

    std::vector<TExpToken*> a = node->Arguments;
    a.resize(std::max<size_t>(a.size(), 3), nullptr);
    std::vector<TExpToken*> kept;  // arguments that found no free slot
    auto first = [&](TExpToken* child) {
        NormalizeFunctionArguments(child);
        node->Left = child;
    };
    auto hang = [&](TExpToken* holder, TExpToken* child) {
        if (!HangRight(holder, child)) kept.push_back(child);
    };
    const uint8_t code = node->Code;
    if (node->Kind == ekFunction) {
        if (IsAggregateCode(code) || code == fnUpper || code == fnLower || code == fnLength || IsExtractCode(code) ||
            code == fnAbs) {
            first(a[0]);
            for (size_t i = 1; i < node->Arguments.size(); ++i) kept.push_back(a[i]);
        } else if (code == fnSubstring || code == fnCast) {
            first(a[0]);
            node->Right = a[1];
            if (a[1]) {
                hang(a[1], a[2]);
            } else if (a[2]) {
                kept.push_back(a[2]);
            }
        } else if (code == fnReplace) {
            first(a[2]);
            node->Right = a[0];
            hang(a[0], a[1]);
        } else if (code == fnPos || code == fnOccurs || IsTrimCode(code)) {
            first(a[1]);
            node->Right = a[0];
        } else if (code == fnIf) {
            first(a[0]);
            NormalizeFunctionArguments(a[1]);
            NormalizeFunctionArguments(a[2]);
            node->Right = a[1];
            node->Third = a[2];
        } else if (code == fnRound) {
            first(a[0]);
            node->Right = a[1];
        } else {
            return;  // COALESCE, IFNULL, the text-search and table functions keep their lists
        }
    } else if (code == prIn || code == prNotIn) {
        first(a[0]);
        // The list values form a chain through Right.
        TExpToken* holder = node;
        for (size_t i = 1; i < node->Arguments.size(); ++i) {
            TExpToken* value = node->Arguments[i];
            if (!value) continue;
            if (HangRight(holder, value)) {
                holder = value;
            } else {
                kept.push_back(value);
            }
        }
    } else if (code == prBetween || code == prNotBetween) {
        first(a[0]);
        node->Right = a[1];
        if (a[1]) {
            hang(a[1], a[2]);
        } else if (a[2]) {
            kept.push_back(a[2]);
        }
    } else {  // LIKE, NOT LIKE, IN and NOT IN with a sub-select
        first(a[0]);
        node->Right = a[1];
    }
    node->Arguments.clear();
    for (TExpToken* child : kept) {
        if (child) node->Arguments.push_back(child);
    }
}

uint32_t ExpressionStreamSize(const TExpToken* root, std::vector<uint8_t>& buffer) {
    return WriteImage(root, buffer, false);
}

uint32_t ExpressionStreamSizeEx(const TExpToken* root, std::vector<uint8_t>& buffer) {
    return WriteImage(root, buffer, true);
}

void ReadExpressionStream(const uint8_t* data, size_t size, TExpToken*& root) {
    if (!data) return;
    TImageReader reader(data, size);
    TExpressionPtr tree = reader.Node(1);
    root = tree.release();
}

}  // namespace kura
