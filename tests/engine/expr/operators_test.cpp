// The operator rules over every pair of operand types, and the evaluation of each
// operator family with its NULL rules, zero divisors, wrap-around and booleans.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "ValueTestSupport.h"
#include "engine/expr/Operators.h"

using namespace kura;
using namespace kura::testvalues;

namespace {

struct TTypeName {
    const char* Name;
    uint8_t Type;
    uint8_t Subtype;
};
const std::vector<TTypeName> AllTypes = {
    {"NULL", fldUNKNOWN, 0}, {"STR", fldZSTRING, 0}, {"MEMO", fldBLOB, fldstMEMO}, {"DATE", fldDATE, 0},
    {"BLOB", fldBLOB, 0},    {"BOOL", fldBOOL, 0},   {"SMALL", fldINT16, 0},       {"INT", fldINT32, 0},
    {"FLOAT", fldFLOAT, 0},  {"BCD", fldBCD, 0},     {"BYTES", fldBYTES, 0},       {"TIME", fldTIME, 0},
    {"TS", fldTIMESTAMP, 0}, {"WORD", fldUINT16, 0}, {"LARGE", fldINT64, 0}};

const std::string N = "SMALL INT FLOAT BCD WORD LARGE";
const std::string I = "SMALL INT WORD LARGE";

// left type name -> accepted right type names, as the operator tables list them
using TAcceptance = std::map<std::string, std::string>;

TAcceptance WithNumeric(TAcceptance rows, const std::string& rights) {
    for (const char* n : {"SMALL", "INT", "FLOAT", "BCD", "WORD", "LARGE"}) rows[n] = rights;
    return rows;
}

const TAcceptance EqualityRows = WithNumeric({{"STR", "NULL STR MEMO"}, {"MEMO", "NULL STR MEMO"},
                                              {"DATE", "NULL DATE TS"}, {"TS", "NULL DATE TS"},
                                              {"BLOB", "NULL"}, {"BOOL", "NULL BOOL"},
                                              {"BYTES", "NULL BYTES"}, {"TIME", "NULL TIME"}},
                                             "NULL " + N);
const TAcceptance OrderRows = WithNumeric({{"STR", "NULL STR MEMO"}, {"MEMO", "NULL STR MEMO"},
                                           {"DATE", "NULL DATE TS"}, {"TS", "NULL DATE TS"},
                                           {"BLOB", "NULL"}, {"TIME", "NULL TIME"}},
                                          "NULL " + N);
const TAcceptance LogicalRows = {{"BOOL", "NULL BOOL"}};
TAcceptance AddRows() {
    TAcceptance rows = {{"STR", "NULL STR MEMO"}, {"MEMO", "NULL STR MEMO"}, {"DATE", "NULL " + I},
                        {"TIME", "NULL " + I},     {"TS", "NULL " + I},       {"BLOB", "NULL"},
                        {"FLOAT", "NULL " + N},    {"BCD", "NULL " + N}};
    for (const char* n : {"SMALL", "INT", "WORD", "LARGE"}) rows[n] = "NULL DATE TIME TS " + N;
    return rows;
}
const TAcceptance SubtractRows = WithNumeric({{"DATE", "NULL DATE " + I}, {"TIME", "NULL TIME " + I},
                                              {"TS", "NULL DATE TIME TS " + I}},
                                             "NULL " + N);
const TAcceptance ArithmeticRows = WithNumeric({}, "NULL " + N);

bool Listed(const TAcceptance& rows, const std::string& left, const std::string& right) {
    const auto row = rows.find(left);
    if (row == rows.end()) return false;
    std::istringstream words(row->second);
    for (std::string w; words >> w;)
        if (w == right) return true;
    return false;
}

}  // namespace

TEST(OperatorRules, AcceptanceOverEveryTypePairFollowsTheOperatorTables) {
    const std::vector<std::pair<std::vector<uint8_t>, TAcceptance>> families = {
        {{opEqual, opNotEqual}, EqualityRows},
        {{opGreater, opLess, opGreaterEqual, opLessEqual}, OrderRows},
        {{opAnd, opOr}, LogicalRows},
        {{opAdd}, AddRows()},
        {{opSubtract}, SubtractRows},
        {{opMultiply, opDivide}, ArithmeticRows}};
    for (const auto& [ops, rows] : families)
        for (uint8_t op : ops)
            for (const TTypeName& l : AllTypes)
                for (const TTypeName& r : AllTypes)
                    EXPECT_EQ(IsOperatorAllowedForType(op, l.Type, l.Subtype, r.Subtype, r.Type),
                              Listed(rows, l.Name, r.Name))
                        << "operator " << int(op) << " " << l.Name << " with " << r.Name;
}

TEST(OperatorRules, UnaryOperatorsAcceptTheirTypes) {
    for (const TTypeName& t : AllTypes) {
        const bool boolean = t.Type == fldBOOL;
        const bool plus = t.Type == fldUNKNOWN || t.Type == fldDATE || t.Type == fldTIME ||
                          t.Type == fldTIMESTAMP || std::string(" " + N + " ").find(std::string(" ") + t.Name + " ") != std::string::npos;
        EXPECT_EQ(IsUnaryOperatorAllowedForType(opNot, t.Type), boolean) << t.Name;
        EXPECT_EQ(IsUnaryOperatorAllowedForType(opIsNull, t.Type), boolean) << t.Name;
        EXPECT_EQ(IsUnaryOperatorAllowedForType(opPlus, t.Type), plus) << t.Name;
        EXPECT_EQ(IsUnaryOperatorAllowedForType(opNegate, t.Type), plus && t.Type != fldUINT16) << t.Name;
    }
    EXPECT_EQ(UnaryResultType(opNot, fldBOOL), fldBOOL);
    EXPECT_EQ(UnaryResultType(opNegate, fldBCD), fldBCD);
    EXPECT_EQ(UnaryResultSubtype(opNegate, fldFLOAT, fldstMONEY), fldstMONEY);
    EXPECT_EQ(UnaryResultSubtype(opNot, fldBOOL, 5), 0);
}

TEST(OperatorRules, ResultTypesOfArithmetic) {
    struct TRow {
        uint8_t Op, Left, Right, Result;
    };
    const TRow rows[] = {
        {opAdd, fldZSTRING, fldZSTRING, fldZSTRING}, {opAdd, fldZSTRING, fldBLOB, fldBLOB},
        {opAdd, fldBLOB, fldZSTRING, fldBLOB},       {opAdd, fldDATE, fldINT16, fldDATE},
        {opAdd, fldINT32, fldDATE, fldDATE},         {opAdd, fldINT64, fldTIME, fldTIME},
        {opAdd, fldINT16, fldUINT16, fldINT32},      {opAdd, fldINT32, fldINT64, fldINT64},
        {opAdd, fldINT64, fldINT32, fldINT64},       {opAdd, fldINT32, fldBCD, fldBCD},
        {opAdd, fldFLOAT, fldBCD, fldFLOAT},         {opAdd, fldBCD, fldFLOAT, fldFLOAT},
        {opAdd, fldBCD, fldINT64, fldBCD},           {opAdd, fldTIMESTAMP, fldINT32, fldTIMESTAMP},
        {opSubtract, fldDATE, fldDATE, fldINT32},    {opSubtract, fldDATE, fldINT32, fldDATE},
        {opSubtract, fldTIME, fldTIME, fldINT32},    {opSubtract, fldTIMESTAMP, fldDATE, fldINT32},
        {opSubtract, fldTIMESTAMP, fldTIME, fldINT32}, {opSubtract, fldTIMESTAMP, fldTIMESTAMP, fldFLOAT},
        {opSubtract, fldTIMESTAMP, fldUINT16, fldTIMESTAMP}, {opSubtract, fldINT64, fldINT16, fldINT64},
        {opMultiply, fldUINT16, fldINT16, fldINT32}, {opMultiply, fldINT64, fldFLOAT, fldFLOAT},
        {opDivide, fldINT32, fldINT32, fldFLOAT},    {opDivide, fldINT64, fldBCD, fldBCD},
        {opDivide, fldFLOAT, fldINT32, fldFLOAT},    {opDivide, fldBCD, fldINT32, fldBCD},
        {opAdd, fldINT32, fldUNKNOWN, fldUNKNOWN},   {opEqual, fldINT32, fldUNKNOWN, fldBOOL},
        {opAnd, fldBOOL, fldBOOL, fldBOOL}};
    for (const TRow& row : rows)
        EXPECT_EQ(ResultTypeOfOperator(row.Op, row.Left, row.Right), row.Result)
            << int(row.Op) << " " << int(row.Left) << " " << int(row.Right);
}

TEST(OperatorRules, MoneyAndMemoSubtypes) {
    EXPECT_EQ(ResultSubtypeOfOperator(opAdd, fldZSTRING, 0, fldstMEMO, fldBLOB), fldstMEMO);
    EXPECT_EQ(ResultSubtypeOfOperator(opAdd, fldZSTRING, 0, 0, fldZSTRING), 0);
    EXPECT_EQ(ResultSubtypeOfOperator(opDivide, fldFLOAT, fldstMONEY, 0, fldINT32), fldstMONEY);
    EXPECT_EQ(ResultSubtypeOfOperator(opMultiply, fldINT32, 0, fldstMONEY, fldFLOAT), fldstMONEY);
    EXPECT_EQ(ResultSubtypeOfOperator(opSubtract, fldINT32, 0, fldstMONEY, fldFLOAT), 0);
    EXPECT_EQ(ResultSubtypeOfOperator(opEqual, fldFLOAT, fldstMONEY, 0, fldFLOAT), 0);
}

TEST(OperatorRules, SizesAndScales) {
    TExpToken node;
    node.Code = opAdd;
    SetBinaryResultType(node, *Text("abc"), *Text("de"));
    EXPECT_EQ(node.DataType, fldZSTRING);
    EXPECT_EQ(node.DataSize, 4 + 3 - 1);
    SetBinaryResultType(node, *Bcd(10000, 2), *Bcd(10000, 4));
    EXPECT_EQ(node.DataSize, 34);
    EXPECT_EQ(node.Scale, 4);
    node.Code = opSubtract;
    SetBinaryResultType(node, *Stamp(0), *Stamp(0));
    EXPECT_EQ(node.DataType, fldFLOAT);
    EXPECT_EQ(node.DataSize, 8);
    node.Code = opLess;
    SetBinaryResultType(node, *Int(1), *Int(2));
    EXPECT_EQ(node.DataType, fldBOOL);
    EXPECT_EQ(node.DataSize, 2);
}

TEST(OperatorRules, CastTable) {
    const std::map<uint8_t, std::string> accepted = {
        {fldDATE, "NULL STR DATE BYTES TS"},
        {fldBOOL, "NULL STR BOOL SMALL INT BCD BYTES WORD LARGE"},
        {fldINT16, "NULL STR BOOL SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldUINT16, "NULL STR BOOL SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldINT32, "NULL STR SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldFLOAT, "NULL STR SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldBCD, "NULL STR SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldINT64, "NULL STR SMALL INT FLOAT BCD BYTES WORD LARGE"},
        {fldTIME, "NULL STR BYTES TIME TS"},
        {fldTIMESTAMP, "NULL STR DATE BYTES TIME TS"}};
    for (const TTypeName& source : AllTypes) {
        if (source.Subtype != 0) continue;
        for (uint8_t any : {fldZSTRING, fldBLOB, fldBYTES, fldVARBYTES}) EXPECT_TRUE(IsCastAllowed(any, source.Type));
        for (const auto& [target, list] : accepted)
            EXPECT_EQ(IsCastAllowed(target, source.Type), Listed({{"x", list}}, "x", source.Name))
                << int(target) << " from " << source.Name;
        EXPECT_FALSE(IsCastAllowed(fldUINT32, source.Type));
    }
    EXPECT_FALSE(IsCastAllowed(fldDATE, fldVARBYTES + 100));
    EXPECT_TRUE(IsCastAllowed(fldDATE, fldVARBYTES));
}

// ---- Evaluation -------------------------------------------------------------------

namespace {

using TCheck = std::function<void(const TExpToken&)>;

TCheck IsBool(bool v) {
    return [v](const TExpToken& r) {
        EXPECT_EQ(r.DataType, fldBOOL);
        EXPECT_EQ(r.IsNull, 0);
        EXPECT_EQ(exv::Load<int16_t>(r), v ? 1 : 0);  // stored normalised, never -1
    };
}
TCheck IsNull() {
    return [](const TExpToken& r) {
        EXPECT_EQ(r.IsNull, 1);
        for (int32_t i = 0; i < r.DataSize && i < 8; ++i) EXPECT_EQ(r.Value[static_cast<std::size_t>(i)], 0);
    };
}
TCheck IsInt(int32_t v) {
    return [v](const TExpToken& r) {
        EXPECT_EQ(r.DataType, fldINT32);
        EXPECT_EQ(r.IsNull, 0);
        EXPECT_EQ(exv::Load<int32_t>(r), v);
    };
}
TCheck IsTyped32(uint8_t type, int32_t v) {
    return [type, v](const TExpToken& r) {
        EXPECT_EQ(r.DataType, type);
        EXPECT_EQ(exv::Load<int32_t>(r), v);
    };
}
TCheck IsLarge(int64_t v) {
    return [v](const TExpToken& r) {
        EXPECT_EQ(r.DataType, fldINT64);
        EXPECT_EQ(exv::Load<int64_t>(r), v);
    };
}
TCheck IsDouble(uint8_t type, double v) {
    return [type, v](const TExpToken& r) {
        EXPECT_EQ(r.DataType, type);
        EXPECT_EQ(r.IsNull, 0);
        EXPECT_DOUBLE_EQ(exv::Load<double>(r), v);
    };
}
TCheck IsCurrency(int64_t c, uint8_t scale) {
    return [c, scale](const TExpToken& r) {
        EXPECT_EQ(r.DataType, fldBCD);
        EXPECT_EQ(r.IsNull, 0);
        EXPECT_EQ(CurrencyOf(r), c);
        EXPECT_EQ(r.Value[1] & BcdPlacesMask, scale);
    };
}
TCheck IsText(const std::string& s) {
    return [s](const TExpToken& r) {
        EXPECT_EQ(r.IsNull, 0);
        EXPECT_EQ(std::string(exv::TextView(r)), s);
    };
}

struct TCase {
    const char* Name;
    uint8_t Op;
    TNode Left;
    TNode Right;
    TCheck Check;
};

void RunCases(const std::vector<TCase>& cases) {
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TExpToken result;
        result.Kind = ekBinary;
        result.Code = c.Op;
        SetBinaryResultType(result, *c.Left, *c.Right);
        EvaluateBinaryOperator(c.Op, *c.Left, *c.Right, result, 0, 0);
        c.Check(result);
    }
}

constexpr double MsPerDay = 86400000.0;

}  // namespace

TEST(OperatorEvaluation, ComparisonsWithTheirNullRules) {
    RunCases({
        {"x = NULL with x present", opEqual, Int(5), Null(), IsBool(false)},
        {"x = NULL with x NULL", opEqual, Null(fldINT32), Null(), IsBool(true)},
        {"x <> NULL with x present", opNotEqual, Int(5), Null(), IsBool(true)},
        {"x <> NULL with x NULL", opNotEqual, Null(fldINT32), Null(), IsBool(false)},
        {"two NULL columns are equal", opEqual, Null(fldZSTRING), Null(fldZSTRING), IsBool(true)},
        {"5 > NULL", opGreater, Int(5), Null(fldINT32), IsBool(false)},
        {"NULL < 5", opLess, Null(fldINT32), Int(5), IsBool(false)},
        {"NULL >= NULL compares buffers", opGreaterEqual, Null(fldINT32), Null(fldINT32), IsBool(true)},
        {"text < NULL text compares buffers", opGreater, Text("a"), Null(fldZSTRING), IsBool(true)},
        {"texts", opLess, Text("abc"), Text("abd"), IsBool(true)},
        {"text with memo", opEqual, Text("abc"), Memo("abc"), IsBool(true)},
        {"case matters", opEqual, Text("abc"), Text("ABC"), IsBool(false)},
        {"bytes", opEqual, Bytes("ab"), Bytes("ab"), IsBool(true)},
        {"bytes differ", opNotEqual, Bytes("ab"), Bytes("ac"), IsBool(true)},
        {"booleans by truth", opEqual, Bool(true), Number<int16_t>(fldBOOL, 7), IsBool(true)},
        {"dates", opLess, Date(730000), Date(730001), IsBool(true)},
        {"times", opGreaterEqual, Time(5000), Time(5000), IsBool(true)},
        {"date = timestamp at its midnight", opEqual, Date(730120), Stamp(730120 * MsPerDay), IsBool(true)},
        {"timestamp > date", opGreater, Stamp(730120 * MsPerDay + 1), Date(730120), IsBool(true)},
        {"smallint with word", opLess, Small(-1), Word(65535), IsBool(true)},
        {"integer with largeint", opLess, Int(INT32_MAX), Large(int64_t(INT32_MAX) + 1), IsBool(true)},
        {"integer with float", opGreater, Int(2), Float(1.5), IsBool(true)},
        {"BCD with integer", opEqual, Bcd(20000, 2), Int(2), IsBool(true)},
        {"BCD with float", opLess, Bcd(15000, 2), Float(1.50001), IsBool(true)},
        {"BCD with BCD", opEqual, Bcd(12300, 4), Bcd(12300, 2), IsBool(true)},
        {"BCD scales round", opEqual, Bcd(12345, 4), Bcd(12345, 2), IsBool(false)},
    });
}

TEST(OperatorEvaluation, LogicalOperatorsStoreOneForTrue) {
    RunCases({
        {"TRUE AND TRUE", opAnd, Bool(true), Bool(true), IsBool(true)},
        {"TRUE AND FALSE", opAnd, Bool(true), Bool(false), IsBool(false)},
        {"FALSE OR TRUE", opOr, Bool(false), Bool(true), IsBool(true)},
        {"nonzero words are true", opAnd, Number<int16_t>(fldBOOL, -1), Number<int16_t>(fldBOOL, 5), IsBool(true)},
    });
    TExpToken result;
    result.DataType = fldBOOL;
    EvaluateUnaryOperator(opNot, *Bool(false), result);
    EXPECT_EQ(exv::Load<int16_t>(result), 1);
    EvaluateUnaryOperator(opIsNull, *Null(fldINT32), result);
    EXPECT_EQ(exv::Load<int16_t>(result), 1);
    EvaluateUnaryOperator(opIsNotNull, *Null(fldINT32), result);
    EXPECT_EQ(exv::Load<int16_t>(result), 0);
}

TEST(OperatorEvaluation, IntegerArithmeticWrapsAround) {
    RunCases({
        {"32-bit add wraps", opAdd, Int(INT32_MAX), Int(1), IsInt(INT32_MIN)},
        {"32-bit subtract wraps", opSubtract, Int(INT32_MIN), Int(1), IsInt(INT32_MAX)},
        {"32-bit multiply wraps", opMultiply, Int(65536), Int(65536), IsInt(0)},
        {"multiply beyond 32 bits", opMultiply, Int(100000), Int(100000), IsInt(1410065408)},
        {"smallints widen", opAdd, Small(32767), Small(1), IsInt(32768)},
        {"word zero-extends", opSubtract, Word(0), Small(1), IsInt(-1)},
        {"64-bit add wraps", opAdd, Large(INT64_MAX), Int(1), IsLarge(INT64_MIN)},
        {"64-bit multiply wraps", opMultiply, Large(INT64_MIN), Large(-1), IsLarge(INT64_MIN)},
        {"integer division gives a float", opDivide, Int(7), Int(2), IsDouble(fldFLOAT, 3.5)},
        {"float arithmetic", opMultiply, Float(1.5), Int(4), IsDouble(fldFLOAT, 6.0)},
        {"float with BCD", opAdd, Float(0.25), Bcd(12500, 2), IsDouble(fldFLOAT, 1.5)},
    });
    TExpToken result;
    result.DataType = fldINT32;
    result.DataSize = 4;
    EvaluateUnaryOperator(opNegate, *Int(INT32_MIN), result);
    EXPECT_EQ(exv::Load<int32_t>(result), INT32_MIN);
    result.DataType = fldINT64;
    EvaluateUnaryOperator(opNegate, *Large(INT64_MIN), result);
    EXPECT_EQ(exv::Load<int64_t>(result), INT64_MIN);
}

TEST(OperatorEvaluation, NullOperandsAndZeroDivisors) {
    RunCases({
        {"1 + NULL", opAdd, Int(1), Null(), IsNull()},
        {"1 - NULL integer", opSubtract, Int(1), Null(fldINT32), IsNull()},
        {"NULL * 2", opMultiply, Null(fldINT32), Int(2), IsNull()},
        {"1 / 0", opDivide, Int(1), Int(0), IsNull()},
        {"1.5 / 0.0", opDivide, Float(1.5), Float(0.0), IsNull()},
        {"BCD / 0.00", opDivide, Bcd(10000, 2), Bcd(0, 2), IsNull()},
        {"float / integer 0", opDivide, Float(2), Int(0), IsNull()},
        {"integer / BCD 0", opDivide, Int(3), Bcd(0, 2), IsNull()},
        {"text + NULL text concatenates the buffers", opAdd, Text("abc"), Null(fldZSTRING), IsText("abc")},
        {"text + text", opAdd, Text("ab"), Text("cd"), IsText("abcd")},
        {"text + memo", opAdd, Text("ab"), Memo("cd"), IsText("abcd")},
    });
}

TEST(OperatorEvaluation, BcdArithmeticIsExactToFourDecimals) {
    RunCases({
        {"add", opAdd, Bcd(15000, 2), Bcd(2500, 2), IsCurrency(17500, 2)},
        {"add an integer", opAdd, Bcd(15000, 1), Int(2), IsCurrency(35000, 1)},
        {"subtract", opSubtract, Bcd(10000, 2), Bcd(2500, 2), IsCurrency(7500, 2)},
        {"BCD times BCD", opMultiply, Bcd(15000, 4), Bcd(22500, 4), IsCurrency(33750, 4)},
        {"product kept at the left scale", opMultiply, Bcd(15000, 2), Bcd(22500, 2), IsCurrency(33800, 2)},
        {"BCD times integer", opMultiply, Bcd(15000, 2), Int(3), IsCurrency(45000, 2)},
        {"divide rounds half to even", opDivide, Bcd(10000, 4), Int(3), IsCurrency(3333, 4)},
        {"integer by BCD", opDivide, Int(1), Bcd(40000, 2), IsCurrency(2500, 2)},
        {"BCD by BCD", opDivide, Bcd(30000, 2), Bcd(20000, 2), IsCurrency(15000, 2)},
    });
    TExpToken result;
    result.DataType = fldBCD;
    EvaluateUnaryOperator(opNegate, *Bcd(12345, 2), result);
    EXPECT_EQ(CurrencyOf(result), -12300);  // scale 2 keeps two decimals
}

TEST(OperatorEvaluation, DateTimeArithmetic) {
    const double noon = 730120 * MsPerDay + 43200000.0;
    RunCases({
        {"date - date in days", opSubtract, Date(730125), Date(730120), IsInt(5)},
        {"date + n", opAdd, Date(730120), Int(3), IsTyped32(fldDATE, 730123)},
        {"n + date", opAdd, Small(3), Date(730120), IsTyped32(fldDATE, 730123)},
        {"date - n", opSubtract, Date(730120), Large(1), IsTyped32(fldDATE, 730119)},
        {"time - time in ms", opSubtract, Time(5000), Time(2000), IsInt(3000)},
        {"time + n", opAdd, Time(5000), Int(1), IsTyped32(fldTIME, 5001)},
        {"timestamp + 1 keeps the time of day", opAdd, Stamp(noon), Int(1), IsDouble(fldTIMESTAMP, noon + MsPerDay)},
        {"timestamp - 2", opSubtract, Stamp(noon), Int(2), IsDouble(fldTIMESTAMP, noon - 2 * MsPerDay)},
        {"timestamp - timestamp in ms", opSubtract, Stamp(noon), Stamp(noon - 1500), IsDouble(fldFLOAT, 1500)},
        {"timestamp - date in days", opSubtract, Stamp(noon), Date(730100), IsInt(20)},
        {"timestamp - time in ms", opSubtract, Stamp(noon), Time(1000), IsInt(43199000)},
        {"date + NULL", opAdd, Date(730120), Null(fldINT32), IsNull()},
    });
}

TEST(OperatorEvaluation, UnaryMinusAndPlus) {
    struct TRow {
        TNode Operand;
        uint8_t Op;
        TCheck Check;
    };
    const TRow rows[] = {
        {Int(5), opNegate, IsInt(-5)},
        {Date(10), opNegate, IsTyped32(fldDATE, -10)},
        {Float(2.5), opNegate, IsDouble(fldFLOAT, -2.5)},
        {Stamp(7), opPlus, IsDouble(fldTIMESTAMP, 7)},
        {Large(-9), opNegate, IsLarge(9)},
        {Null(fldINT32), opNegate, IsNull()},
    };
    for (const TRow& row : rows) {
        TExpToken result;
        result.DataType = UnaryResultType(row.Op, row.Operand->DataType);
        result.DataSize = row.Operand->DataSize;
        EvaluateUnaryOperator(row.Op, *row.Operand, result);
        row.Check(result);
    }
    TExpToken smallResult;
    smallResult.DataType = fldINT16;
    EvaluateUnaryOperator(opNegate, *Small(INT16_MIN), smallResult);
    EXPECT_EQ(exv::Load<int16_t>(smallResult), INT16_MIN);
}
