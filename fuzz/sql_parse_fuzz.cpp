// The SQL statement parsers over untrusted texts: the dispatcher and every
// statement parser, one statement after another through the whole text, then the
// same statement object re-used for the first statement again.
//
// Every text must give query models or KURA_SQLPARSE with a message of at most 255
// bytes, never anything else; the models must keep their bounds and their links;
// a second parse of the same statement object must give the same model as the
// first; and every expression node taken from the pool must come back when the
// statement goes, also after a parse that failed halfway.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

int64_t Outstanding() { return kura::TExpToken::LiveCount() - kura::ExpTokenStack->Count(); }

// Counts and links every query of the statement must keep.
void CheckModel(kura::TQueryStatement& statement) {
    Check(statement.Parameters().size() <= static_cast<size_t>(kura::MaxParameters));
    for (const auto& owned : statement.Queries()) {
        kura::TDataQuery& q = *owned;
        Check(q.Kind >= kura::skSelect && q.Kind <= kura::skCommit);
        Check(q.ResultFields.size() <= static_cast<size_t>(kura::MaxResultColumns));
        Check(q.OrderBy.size() <= static_cast<size_t>(kura::MaxOrderByColumns));
        Check(q.GroupBy.size() <= static_cast<size_t>(kura::MaxGroupByColumns));
        Check(q.CreateFields.size() <= static_cast<size_t>(kura::MaxTableColumns));
        Check(q.SourceTables.size() <= static_cast<size_t>(kura::MaxSourceTables));
        if (q.NextUnion) Check(q.NextUnion->PreviousUnion == &q && q.NextUnion->IsUnionMember);
        for (size_t i = 0; i < q.SourceTables.size(); ++i) {
            Check(q.SourceTables[i]->TableNumber == i + 1);
            Check(q.SourceTables[i]->TableName.size() <= 255);
        }
        for (const auto& join : q.Joins) Check(join->Table && join->Condition);
        for (const auto& index : q.CreateIndexes) {
            Check(index->Columns.size() <= static_cast<size_t>(kura::MaxIndexColumns));
            index->LoadColumnNames();
        }
        uint16_t number = 0;
        for (const auto& field : q.CreateFields) field->LoadFromToken(++number);
    }
}

std::string Signature(const kura::TQueryStatement& statement) {
    std::string s;
    for (const auto& q : statement.Queries()) {
        s += std::to_string(q->Kind) + "/" + std::to_string(q->ResultFields.size()) + "/" +
             std::to_string(q->SourceTables.size()) + "/" + std::to_string(q->Joins.size()) + ";";
    }
    return s + std::to_string(statement.Parameters().size());
}

// Parses statements while the text has more; true when all parsed.
bool ParseAll(kura::TQueryStatement& statement, std::string_view text, std::string& first) {
    try {
        statement.ParseFirst(text);
        first = Signature(statement);
        CheckModel(statement);
        for (int32_t i = 0; i < 64 && statement.HasMoreStatements(); ++i) {
            statement.ParseNext();
            CheckModel(statement);
        }
        return true;
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == kura::KURA_SQLPARSE);
        const std::string message = e.ErrorContext(kura::ctxMessage);
        Check(!message.empty() && message.size() <= 255);
        Check(statement.Parameters().empty());
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!kura::ExpTokenStack) kura::ExpTokenStack = new kura::TExpTokenStack();
    const int64_t before = Outstanding();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    {
        kura::TQueryStatement statement;
        statement.Tokenizer().Clock = [] { return 45000.25; };
        std::string first;
        const bool parsed = ParseAll(statement, text, first);
        // The same object again: nothing of the last statement may shape the new model.
        std::string again;
        const bool reparsed = ParseAll(statement, text, again);
        Check(parsed == reparsed);
        Check(first == again);
    }
    Check(Outstanding() == before);
    return 0;
}
