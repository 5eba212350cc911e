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

// The last byte of the string, quoted name, [name] or comment that starts at i (the
// end of the text when it is not closed); i itself when none starts there. A
// double-byte character is one step: its second byte may look like a quote.
size_t QuotedEnd(const std::string& t, size_t i) {
    if (platform::Cp932CharLength(t, i) == 2) return i + 1;
    const char c = t[i];
    if (c == '\'' || c == '"' || c == '[') {
        const size_t end = t.find(c == '[' ? ']' : c, i + 1);
        return end == std::string::npos ? t.size() : end;
    }
    if (c == '/' && i + 1 < t.size() && t[i + 1] == '*') {
        const size_t end = t.find("*/", i + 2);
        return end == std::string::npos ? t.size() : end + 1;
    }
    return i;
}

bool WordByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// START TRANSACTION, COMMIT and ROLLBACK, and a change's COMMIT INTERVAL / FLUSH clause.
bool ManagesTransaction(const std::vector<std::string>& w) {
    if (w.empty()) return false;
    if (w[0] == "COMMIT" || w[0] == "ROLLBACK" || (w[0] == "START" && w.size() > 1 && w[1] == "TRANSACTION"))
        return true;
    for (size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i] == "COMMIT" && (w[i + 1] == "INTERVAL" || w[i + 1] == "FLUSH")) return true;
    return false;
}

// SELECT ... INTO a table of the database's folder; INTO MEMORY ... stays in memory.
bool MakesTable(const std::vector<std::string>& w) {
    for (size_t i = 1; i < w.size(); ++i)
        if (w[i] == "INTO") return i + 1 == w.size() || w[i + 1] != "MEMORY";
    return false;
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
        const size_t end = QuotedEnd(text, i);
        if (end != i) i = end;
        else if (text[i] == ';') flush(i);
    }
    if (start < text.size()) flush(text.size());
    return out;
}

std::vector<std::string> StatementWords(const std::string& statement) {
    std::vector<std::string> words;
    for (size_t i = 0; i < statement.size(); ++i) {
        const size_t end = QuotedEnd(statement, i);
        if (end != i) {
            i = end;
        } else if (WordByte(statement[i])) {
            size_t last = i;
            while (last + 1 < statement.size() && WordByte(statement[last + 1])) ++last;
            words.push_back(Upper(statement.substr(i, last + 1 - i)));
            i = last;
        }
    }
    return words;
}

TSqlVerdict CheckSql(const std::string& text) {
    TSqlVerdict verdict;
    int queries = 0;
    for (const std::string& statement : SplitStatements(text)) {
        ++verdict.Statements;
        const std::vector<std::string> words = StatementWords(statement);
        if (!words.empty() && words[0] == "SELECT") {
            ++queries;
            if (MakesTable(words)) verdict.MakesTable = true;
        }
        if (verdict.Kind == TSqlKind::Empty) {
            if (StartsWith(statement, "CREATE")) verdict.Kind = TSqlKind::RefusedCreate;
            if (StartsWith(statement, "ALTER")) verdict.Kind = TSqlKind::RefusedAlter;
            if (StartsWith(statement, "DROP")) verdict.Kind = TSqlKind::RefusedDrop;
        }
        for (const char* word : {"DELETE", "UPDATE", "INSERT"})
            if (StartsWith(statement, word)) verdict.ChangesData = true;
        if (ManagesTransaction(words)) verdict.ManagesTransaction = true;
    }
    verdict.OnlyQueries = queries > 0 && queries == verdict.Statements;
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
