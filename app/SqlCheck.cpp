#include "app/SqlCheck.h"

#include <cctype>

#include "platform/CodePage.h"

namespace app {
namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32 && c != 0; }

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool StartsWith(const std::string& s, const char* word) { return Upper(s.substr(0, std::string(word).size())) == word; }

// Position after the blanks and comments starting at i.
size_t SkipBlanks(const std::string& t, size_t i) {
    for (;;) {
        while (i < t.size() && Blank(t[i])) ++i;
        if (t.compare(i, 2, "/*") != 0) return i;
        const size_t end = t.find("*/", i + 2);
        if (end == std::string::npos) return t.size();
        i = end + 2;
    }
}


}  // namespace

std::vector<std::string> SplitStatements(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    auto flush = [&](size_t end) {
        const size_t from = SkipBlanks(text, start);
        if (from < end) out.push_back(text.substr(from, end - from));
        start = end + 1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (platform::Cp932CharLength(text, i) == 2) {
            ++i;  // the second byte may look like a quote or a semicolon
        } else if (c == '\'' || c == '"' || c == '[') {
            const size_t end = text.find(c == '[' ? ']' : c, i + 1);
            i = end == std::string::npos ? text.size() : end;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 1;
        } else if (c == ';') {
            flush(i);
        }
    }
    if (start < text.size()) flush(text.size());
    return out;
}

TSqlVerdict CheckSql(const std::string& text) {
    TSqlVerdict verdict;
    for (const std::string& statement : SplitStatements(text)) {
        if (verdict.Kind == TSqlKind::Empty) {
            if (StartsWith(statement, "CREATE")) verdict.Kind = TSqlKind::RefusedCreate;
            if (StartsWith(statement, "ALTER")) verdict.Kind = TSqlKind::RefusedAlter;
            if (StartsWith(statement, "DROP")) verdict.Kind = TSqlKind::RefusedDrop;
        }
        for (const char* word : {"DELETE", "UPDATE", "INSERT"})
            if (StartsWith(statement, word)) verdict.ChangesData = true;
    }
    if (verdict.Kind != TSqlKind::Empty) return verdict;

    // The first line decides what to do with a text nothing refused.
    std::string first = text.substr(0, text.find_first_of("\r\n"));
    const size_t b = first.find_first_not_of(" \t");
    first = b == std::string::npos ? std::string() : first.substr(b);
    if (text.empty())
        verdict.Kind = TSqlKind::Unknown;
    else if (StartsWith(first, "SELECT"))
        verdict.Kind = TSqlKind::Select;
    else if (StartsWith(first, "DELETE") || StartsWith(first, "UPDATE") || StartsWith(first, "INSERT"))
        verdict.Kind = TSqlKind::Change;
    else
        verdict.Kind = TSqlKind::Unknown;
    return verdict;
}

}  // namespace app
