#include "engine/expr/ExpToken.h"

#include <algorithm>

namespace kura {

TExpToken::TExpToken() : Value(static_cast<size_t>(ValueBlockSize), 0) {}

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

}  // namespace kura
