// Random SELECT statements built together with the model they must give: keywords
// in random letter case, blanks, line breaks and comments between tokens, names
// plain, quoted or bracketed. A difference names the statement and the seed.
#include <random>

#include "SqlTestSupport.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

class TStatementMaker {
public:
    explicit TStatementMaker(uint32_t seed) : FRandom(seed) {}

    // One statement and its expected description.
    std::pair<std::string, std::string> Make() {
        FText.clear();
        std::string model = "SELECT";
        Keyword("SELECT");
        if (Chance(4)) {
            Keyword("DISTINCT");
            model += " distinct";
        }
        const int columns = 1 + Pick(4);
        std::string cols;
        for (int i = 0; i < columns; ++i) {
            if (i) Token(",");
            const std::string column = "c" + std::to_string(Pick(9));
            std::string item = Name(column);
            std::string described = column;
            if (Chance(3)) {
                item = Keyword("SUM", false) + "(" + item + ")";
                described = "SUM(" + column + ")";
                Token(item);
            } else {
                Token(item);
                described += ":" + column;
            }
            if (Chance(3)) {
                const std::string alias = "a" + std::to_string(i);
                if (Chance(2)) Keyword("AS");
                Token(Name(alias));
                const size_t colon = described.find(':');
                described = (colon == std::string::npos ? described : described.substr(0, colon)) + "@" + alias;
            }
            cols += (i ? "," : "") + described;
        }
        model += " cols[" + cols + "]";
        Keyword("FROM");
        const int tables = 1 + Pick(3);
        std::string from;
        std::string joins;
        for (int i = 0; i < tables; ++i) {
            const std::string table = "t" + std::to_string(i);
            const std::string correlation = "x" + std::to_string(i);
            const bool aliased = Chance(2);
            const bool join = i > 0 && Chance(2);
            if (i && !join) Token(",");
            if (join) {
                const bool left = Chance(2);
                if (left) Keyword("LEFT");
                Keyword("JOIN");
                joins += std::string(left ? " left[" : " inner[") + (aliased ? correlation : table) + " on =(" +
                         (aliased ? correlation : table) + ".k,k)]";
            }
            Token(Name(table));
            if (aliased) {
                if (Chance(2)) Keyword("AS");
                Token(Name(correlation));
            }
            if (join) {
                Keyword("ON");
                Token(Name(aliased ? correlation : table));
                Token(".");
                Token("k");
                Token("=");
                Token("k");
            }
            from += (i ? "," : "") + std::to_string(i + 1) + ":" + table + (aliased ? " " + correlation : "");
        }
        model += " from[" + from + "]" + joins;
        if (tables > 1) model += " joined";
        if (Chance(2)) {
            Keyword("WHERE");
            const std::string bound = std::to_string(Pick(100));
            Token("w");
            Token("<");
            Token(bound);
            model += " where[<(w," + bound + ")]";
        }
        if (Chance(3)) {
            Keyword("GROUP");
            Keyword("BY");
            Token("1");
            model += " group[#1]";
        }
        if (Chance(2)) {
            Keyword("ORDER");
            Keyword("BY");
            Token(Name("c1"));
            std::string order = "c1";
            if (Chance(2)) {
                Keyword("DESC");
                order += " desc";
            }
            model += " order[" + order + "]";
        }
        if (Chance(3)) {
            Keyword("TOP");
            const std::string top = std::to_string(1 + Pick(50));
            Token(top);
            model += " top " + top;
        }
        if (Chance(2)) Token(";");
        return {FText, model};
    }

private:
    bool Chance(int n) { return FRandom() % static_cast<uint32_t>(n) == 0; }
    int Pick(int n) { return static_cast<int>(FRandom() % static_cast<uint32_t>(n)); }

    std::string Separator() {
        switch (Pick(6)) {
            case 0: return "\n";
            case 1: return " /* note */ ";
            case 2: return "\t ";
            default: return " ";
        }
    }
    void Token(const std::string& token) { FText += Separator() + token; }
    std::string Keyword(const std::string& word, bool emit = true) {
        std::string written = word;
        for (char& c : written) {
            if (Chance(2)) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (emit) Token(written);
        return written;
    }
    // A name written plain or in brackets.
    std::string Name(const std::string& name) { return Chance(3) ? "[" + name + "]" : name; }

    std::mt19937 FRandom;
    std::string FText;
};

TEST(RandomSelect, ModelMatchesTheStatementItWasMadeFrom) {
    PoolScope pool;
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        TStatementMaker maker(seed);
        const auto [text, model] = maker.Make();
        EXPECT_EQ(DescribeText(text), model) << "seed " << seed << ": " << text;
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

}  // namespace
