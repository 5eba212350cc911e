// The ":name" parameter parser and parameter values.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Params.h"

namespace kura {
namespace {

struct ParseCase {
    const char* sql;
    const char* text;
    std::vector<std::string> names;
};

TEST(ParamsParser, MarkersOutsideQuotesAndCommentsBecomePlaceholders) {
    const ParseCase cases[] = {
        {"select * from t where a = :a and b = :B_2", "select * from t where a = ? and b = ?", {"a", "B_2"}},
        {"where a = ':no' and b = \":no\" and c = `:no`", "where a = ':no' and b = \":no\" and c = `:no`", {}},
        {"x = :p -- :comment\ny = :q", "x = ? -- :comment\ny = ?", {"p", "q"}},
        {"x = /* :c */ :p", "x = /* :c */ ?", {"p"}},
        {"t::time = :t", "t:time = ?", {"t"}},
        {"a = :\"odd name\"", "a = ?", {"odd name"}},
        {"a = :x or b = :x", "a = ? or b = ?", {"x"}},
        {"a = : x and b = :", "a = : x and b = :", {}},
        // A double-byte name; the 0x5C trail byte inside quotes is no escape.
        {"a = :\x96\xBC and s = '\x95\x5C'", "a = ? and s = '\x95\x5C'", {"\x96\xBC"}},
        {"unterminated 'quote :x", "unterminated 'quote :x", {}},
    };
    for (const auto& c : cases) {
        TParams params;
        EXPECT_EQ(params.ParseSQL(c.sql, true), c.text) << c.sql;
        ASSERT_EQ(params.Count(), static_cast<int>(c.names.size())) << c.sql;
        for (std::size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(params[static_cast<int>(i)].Name, c.names[i]);
        TParams none;
        EXPECT_EQ(none.ParseSQL(c.sql, false), c.text);
        EXPECT_EQ(none.Count(), 0);
    }
}

TEST(ParamValues, TypesFollowValuesAndWrongTypesAreRefused) {
    TParams params;
    params.ParseSQL("a = :n and b = :s", true);
    TParam& n = params.ParamByName("N");
    n.SetDataType(ftInteger);
    n.SetValue(TVariant("42"));
    EXPECT_EQ(n.AsInteger(), 42);
    EXPECT_THROW(n.SetValue(TVariant("forty-two")), EDatabaseError);
    EXPECT_THROW(n.SetValue(TVariant(int64_t(1) << 40)), EDatabaseError);
    EXPECT_THROW(params.ParamByName("missing"), EDatabaseError);
    TParam& s = params.ParamByName("s");
    s.SetValue(TVariant("text"));
    EXPECT_EQ(s.DataType(), ftString);
    EXPECT_THROW(s.SetDataType(ftInteger), EDatabaseError);
    // A value that fits the type of the field form it is sent in.
    TParam small;
    small.Name = "small";
    small.SetDataType(ftSmallint);
    small.SetValue(TVariant(70000));
    std::vector<uint8_t> buffer(static_cast<std::size_t>(small.GetDataSize()));
    EXPECT_THROW(small.GetData(buffer.data()), EDatabaseError);
}

TEST(ParamValues, NativeFormsOfScalars) {
    TParam p;
    p.SetAsDate(45351.0);  // 2024-02-29
    int32_t day = 0;
    ASSERT_EQ(p.GetDataSize(), 4);
    p.GetData(reinterpret_cast<uint8_t*>(&day));
    EXPECT_EQ(day, 45351 + 693594);
    TParam b;
    b.SetAsBoolean(true);
    uint16_t flag = 0;
    b.GetData(reinterpret_cast<uint8_t*>(&flag));
    EXPECT_EQ(flag, 1);
    TParam s;
    s.SetAsString("abc");
    ASSERT_EQ(s.GetDataSize(), 4);
    char text[4];
    s.GetData(reinterpret_cast<uint8_t*>(text));
    EXPECT_STREQ(text, "abc");
}

TEST(ParamValues, LongStringsAndBlobsTravelByAFullWidthReference) {
    TParam p;
    p.Name = "big";
    p.SetAsString(std::string(251, 'x'));
    EXPECT_TRUE(p.IsByReference());
    ASSERT_EQ(p.GetDataSize(), static_cast<int32_t>(4 + sizeof(void*)));
    std::vector<uint8_t> slot(static_cast<std::size_t>(p.GetDataSize()));
    p.GetData(slot.data());
    const TParamBlobRef ref = ReadParamBlobRef(slot.data());
    EXPECT_EQ(ref.Length, 251u);
    EXPECT_EQ(std::string(ref.Data, ref.Length), std::string(251, 'x'));
    TParam shortOne;
    shortOne.SetAsString(std::string(250, 'x'));
    EXPECT_FALSE(shortOne.IsByReference());

    // A pointer above 4 GiB survives the slot unchanged (it is never cut to 32 bits).
    const auto high = reinterpret_cast<const char*>(uintptr_t(0x7FFF12345678ull));
    uint8_t raw[ParamBlobRefSize];
    WriteParamBlobRef(raw, TParamBlobRef{7, high});
    EXPECT_EQ(ReadParamBlobRef(raw).Data, high);
    EXPECT_EQ(ReadParamBlobRef(raw).Length, 7u);
}

TEST(ParamValues, AssignValuesCopiesByName) {
    TParams a, b;
    a.ParseSQL(":x :y", true);
    a.ParamByName("x").SetAsInteger(5);
    b.ParseSQL(":Y :X :z", true);
    b.AssignValues(a);
    EXPECT_EQ(b.ParamByName("x").AsInteger(), 5);
    EXPECT_TRUE(b.ParamByName("y").IsNull());
    EXPECT_TRUE(b.ParamByName("z").IsNull());
}

}  // namespace
}  // namespace kura
