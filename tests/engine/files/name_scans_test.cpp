// Names and paths are code page 932 text, in which the second byte of a character
// may be 0x5C ("\"): every scan of a name for a separator, and every test for a lead
// byte, goes through the code page 932 routines (platform/CodePage.h and the file
// layer's NameRoutines.h and Routines.h). This test reads the sources and fails when
// a byte-wise scan appears anywhere else; the places below that look alike but are
// none are listed with the reason, each with the number of such lines it may hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Allowed {
    const char* File;
    const char* Kind;
    int Lines;
    const char* Why;
};

const Allowed kAllowed[] = {
    // The routines themselves.
    {"platform/CodePage.h", "lead byte", 1, "the lead-byte test of code page 932"},
    {"platform/Locale.cpp", "lead byte", 1, "the lead-byte tables of the locale layer, one per code page"},
    {"engine/files/PathRoutines.cpp", "backslash", 2, "the file layer's path routines"},
    {"engine/files/PathRoutines.cpp", "separator", 3, "the file layer's path routines"},
    {"platform/Files.cpp", "backslash", 1, "engine paths to native ones, stepping with Cp932CharLength"},
    // Native paths are UTF-8, in which "/" and "." never sit inside a character.
    {"platform/Files.cpp", "separator", 6, "native UTF-8 paths"},
    {"platform/TempFile.cpp", "separator", 1, "a folder's last byte, \"/\", which is never a trail byte"},
    {"app/ProgramPaths.cpp", "backslash", 1, "a \"\\\" in Qt's path of the program (UTF-16), refused"},
    {"app/CsvExport.cpp", "separator", 2, "the save dialog's UTF-8 file name"},
    {"platform/gui/IniFile.cpp", "separator", 1, "the settings file's UTF-8 path, its folder synced"},
    {"imaging/PxPicture.cpp", "separator", 1, "a picture file's UTF-8 name"},
    // Tokens, not names: the "\" between a folder and a table in SQL is a token of
    // the lexer, which steps over double-byte characters.
    {"engine/sql/DefinitionParser.cpp", "backslash", 1, "the lexer's \"\\\" token"},
    {"engine/sql/SelectParser.cpp", "backslash", 1, "the lexer's \"\\\" token"},
    {"engine/sql/StatementParser.cpp", "backslash", 1, "the lexer's \"\\\" token"},
    {"engine/files/Routines.cpp", "backslash", 1, "the delimiter character class of the parser"},
    // Numbers, dates, times, formats and comments: ASCII characters that are never the
    // second byte of a double-byte character.
    {"engine/files/FieldConversions.cpp", "separator", 1, "decimal point of a number"},
    {"engine/files/NeutralText.cpp", "separator", 4, "time and number texts"},
    {"engine/expr/ExpLexer.cpp", "separator", 2, "comment delimiters"},
    {"engine/expr/ExpParser.cpp", "separator", 1, "the division operator"},
    {"app/DateText.cpp", "separator", 2, "date texts"},
    {"app/SqlCheck.cpp", "separator", 3, "comment delimiters"},
    {"platform/dataset/Fields.cpp", "separator", 1, "date texts"},
    {"platform/dataset/Params.cpp", "separator", 5, "comment delimiters and \":name\" markers"},
    {"report/FormatText.cpp", "backslash", 1, "the escape character of a display format"},
    {"report/FormatText.cpp", "separator", 1, "decimal point of a number"},
    {"report/LRItem.cpp", "separator", 1, "the characters of a number"},
    // Text scanners outside names that keep a lead-byte test of their own.
    {"engine/sql/SelectExecution.cpp", "lead byte", 1, "cutting result texts (values, not names)"},
    {"engine/expr/ExpLexer.cpp", "lead byte", 1, "the expression lexer's character stepping"},
    {"report/VariableText.cpp", "lead byte", 1, "line breaking of printed text"},
};

struct Pattern {
    const char* Kind;
    std::regex Re;
    std::vector<const char*> Needs;  // a line holds one of these, or the pattern cannot match

    bool Matches(const std::string& code) const {
        bool possible = false;
        for (const char* n : Needs) possible = possible || code.find(n) != std::string::npos;
        return possible && std::regex_search(code, Re);
    }
};

const std::vector<Pattern>& Patterns() {
    static const std::vector<Pattern> patterns = {
        // A backslash taken byte by byte: the character itself, or a search for it.
        {"backslash", std::regex(R"('\\\\'|(find\w*|strr?chr|memchr)\s*\(\s*"[^"]*\\\\)"), {"\\\\"}},
        // A search for "/", "." or ":" or a comparison with "/" or ":".
        {"separator",
         std::regex(R"(\b(find|rfind|find_last_of|find_first_of|find_first_not_of|find_last_not_of|strr?chr|memchr)\s*\(\s*('[/.:]'|"[^"]*[/:.][^"]*")|[!=]=\s*'[/:]')"),
         {"find", "chr", "==", "!="}},
        // A lead-byte test written out instead of the routine's.
        {"lead byte", std::regex(R"(0x81.*0x9[Ff])"), {"0x81"}},
    };
    return patterns;
}

// The line without a // comment (one outside a string or character literal).
std::string CodeOf(const std::string& line) {
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
            return line.substr(0, i);
        }
    }
    return line;
}

// "file|kind" -> the lines found there.
std::map<std::string, std::vector<std::string>> Scan(const fs::path& root) {
    std::map<std::string, std::vector<std::string>> found;
    for (const char* top : {"engine", "components", "app", "platform", "report", "imaging"}) {
        for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") continue;
            const std::string file = fs::relative(entry.path(), root).generic_string();
            std::ifstream in(entry.path());
            std::string line;
            for (int n = 1; std::getline(in, line); ++n) {
                const std::string code = CodeOf(line);
                for (const Pattern& p : Patterns())
                    if (p.Matches(code))
                        found[file + "|" + p.Kind].push_back(std::to_string(n) + ": " + line);
            }
        }
    }
    return found;
}

}  // namespace

TEST(NameScans, NoByteWiseSeparatorScanOutsideTheCodePage932Routines) {
    const fs::path root(KURA_SOURCE_DIR);
    ASSERT_TRUE(fs::exists(root / "engine/files/NameRoutines.h")) << root;
    std::map<std::string, int> allowed;
    for (const Allowed& a : kAllowed) allowed[std::string(a.File) + "|" + a.Kind] += a.Lines;
    for (const auto& [where, lines] : Scan(root)) {
        const auto it = allowed.find(where);
        const int limit = it == allowed.end() ? 0 : it->second;
        if (static_cast<int>(lines.size()) <= limit) continue;
        std::string shown;
        for (const std::string& l : lines) shown += "\n  " + l;
        ADD_FAILURE() << where << ": " << lines.size() << " byte-wise line(s), " << limit
                      << " allowed; use the routines of engine/files/NameRoutines.h (or platform/CodePage.h "
                         "below the engine), or list the place with its reason in this test"
                      << shown;
    }
}

// The check itself: each pattern catches the scans it is meant to, and leaves
// comments and the routines' own calls alone.
TEST(NameScans, ThePatternsCatchByteWiseScansAndNothingElse) {
    auto kinds = [](const std::string& line) {
        std::string out;
        for (const Pattern& p : Patterns())
            if (p.Matches(CodeOf(line))) out += std::string(out.empty() ? "" : ",") + p.Kind;
        return out;
    };
    const std::pair<const char*, const char*> cases[] = {
        {R"(const std::size_t cut = value.find_last_of("\\:/");)", "backslash,separator"},
        {R"(while (!path.empty() && path.back() == '\\') path.pop_back();)", "backslash"},
        {R"(const size_t slash = name.rfind('/');)", "separator"},
        {R"(if (name.find('.') != npos) return;)", "separator"},
        {R"(if (b == ':') return true;)", "separator"},
        {R"(const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);)", "lead byte"},
        {R"(const size_t slash = LastDelimiter(name, "\\");)", ""},
        {R"(// text.find('\\') would cut 表 in two)", ""},
        {R"(x = a / b;)", ""},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(kinds(line), expected) << line;
}
