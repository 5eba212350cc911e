#include "engine/expr/ExpToken.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/expr/ExpCodes.h"

namespace kura {

namespace {
std::atomic<int64_t> LiveNodes{0};
}  // namespace

TExpToken::TExpToken() : Value(static_cast<size_t>(ValueBlockSize), 0) { LiveNodes.fetch_add(1, std::memory_order_relaxed); }

TExpToken::~TExpToken() { LiveNodes.fetch_sub(1, std::memory_order_relaxed); }

int64_t TExpToken::LiveCount() { return LiveNodes.load(std::memory_order_relaxed); }

void TExpToken::Clear() {
    Text.clear();
    Kind = 0;
    Code = 0;
    Flag = 0;
    BindSlot1 = -1;
    BindSlot2 = -1;
    PlannerWord = 0;
    PlannerFlag1 = 0;
    PlannerFlag2 = 0;
    Name.clear();
    FieldNumber = 0;
    TableName.clear();
    Owner = nullptr;
    Query = nullptr;
    IsNull = 0;
    IsParameter = 0;
    PartialLength = 0;
    CaseInsensitive = 0;
    DataType = 0;
    DataSubtype = 0;
    DataSize = 0;
    Scale = 0;
    FromStringConstant = 0;
    SavedType = 0;
    SavedSubtype = 0;
    SavedSize = 0;
    SavedScale = 0;
    Parent = nullptr;
    Left = nullptr;
    Right = nullptr;
    Third = nullptr;
    Arguments.clear();
    LeftOffset = 0;
    RightOffset = 0;
    ThirdOffset = 0;
    ArgumentsOffset = 0;
    WritePosition = 0;
    ReadPosition = 0;
    // A buffer that grew for a long value goes back to one block, so pooled nodes stay
    // small; one block or less is reused as it is, without allocating.
    if (ValueCapacity() > ValueBlockSize) {
        std::vector<uint8_t>(static_cast<size_t>(ValueBlockSize), 0).swap(Value);
    } else {
        std::fill(Value.begin(), Value.end(), 0);
    }
}

void TExpToken::Assign(const TExpToken& source) {
    if (&source == this) return;
    Text = source.Text;
    Kind = source.Kind;
    Code = source.Code;
    Flag = source.Flag;
    BindSlot1 = source.BindSlot1;
    BindSlot2 = source.BindSlot2;
    PlannerWord = source.PlannerWord;
    PlannerFlag1 = source.PlannerFlag1;
    PlannerFlag2 = source.PlannerFlag2;
    Name = source.Name;
    FieldNumber = source.FieldNumber;
    TableName = source.TableName;
    Owner = source.Owner;
    Query = source.Query;
    if (Value.size() < source.Value.size()) Value.resize(source.Value.size(), 0);
    std::copy(source.Value.begin(), source.Value.end(), Value.begin());
    IsNull = source.IsNull;
    IsParameter = source.IsParameter;
    PartialLength = source.PartialLength;
    CaseInsensitive = source.CaseInsensitive;
    DataType = source.DataType;
    DataSubtype = source.DataSubtype;
    DataSize = source.DataSize;
    Scale = source.Scale;
    FromStringConstant = source.FromStringConstant;
    SavedType = source.SavedType;
    SavedSubtype = source.SavedSubtype;
    SavedSize = source.SavedSize;
    SavedScale = source.SavedScale;
    Parent = source.Parent;
    Left = source.Left;
    Right = source.Right;
    Arguments = source.Arguments;
}

void TExpToken::SetDataSize(int32_t size) {
    if (size <= 0) {
        std::vector<uint8_t>().swap(Value);
        DataSize = 0;
        return;
    }
    // Grown whenever the buffer is short, not only when the size changes: a caller
    // that set DataSize by hand must still never write past the buffer.
    if (size > ValueCapacity()) {
        const int64_t blocks = (static_cast<int64_t>(size) + ValueBlockSize - 1) / ValueBlockSize;
        Value.resize(static_cast<size_t>(blocks * ValueBlockSize), 0);
    }
    DataSize = size;
}

TExpToken* TExpToken::GetArgument(int32_t index) const {
    if (index < 0 || index >= ArgumentCount()) return nullptr;
    return Arguments[static_cast<size_t>(index)];
}

void TExpToken::SetArgument(int32_t index, TExpToken* node) {
    if (index < 0) return;
    if (index >= ArgumentCount()) Arguments.resize(static_cast<size_t>(index) + 1, nullptr);
    Arguments[static_cast<size_t>(index)] = node;
}

bool TExpToken::SameValue(const TExpToken& other) const {
    if (Kind != other.Kind || Code != other.Code) return false;
    if (!SameNameText(Name, other.Name) || !SameNameText(TableName, other.TableName)) return false;
    if (IsParameter != other.IsParameter || PartialLength != other.PartialLength ||
        CaseInsensitive != other.CaseInsensitive || DataType != other.DataType ||
        DataSubtype != other.DataSubtype || DataSize != other.DataSize || Scale != other.Scale)
        return false;
    if (Kind != ekConstant) return true;
    if (IsNull != other.IsNull) return false;
    if (DataSize <= 0) return true;
    const size_t n = static_cast<size_t>(DataSize);
    // A value shorter than its stated size (a damaged node) compares over what exists.
    const size_t a = std::min(n, Value.size());
    const size_t b = std::min(n, other.Value.size());
    if (a != b) return false;
    return a == 0 || std::memcmp(Value.data(), other.Value.data(), a) == 0;
}

}  // namespace kura
