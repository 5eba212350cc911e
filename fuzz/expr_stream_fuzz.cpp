// Rebuilding expression trees from untrusted flat images (form B), as a client does
// with the expressions a server sends.
//
// Every image must give either a tree or the engine's KURA_UNCOMPRESS, never read
// past its end; a tree must write an image that reads back to an equal tree, copy to
// an equal tree and normalise for form A; and every pool node must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpStream.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/expr/ExpTree.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

int64_t Outstanding() { return kura::TExpToken::LiveCount() - kura::ExpTokenStack->Count(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!kura::ExpTokenStack) kura::ExpTokenStack = new kura::TExpTokenStack();
    const int64_t before = Outstanding();
    // An exact-size copy, so that any read past the end is an over-read ASan sees.
    std::vector<uint8_t> image(data, data + size);
    static const uint8_t empty = 0;
    kura::TExpToken* tree = nullptr;
    try {
        kura::ReadExpressionStream(image.empty() ? &empty : image.data(), image.size(), tree);
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == kura::KURA_UNCOMPRESS);
        Check(tree == nullptr);
    }
    if (tree) {
        Check(kura::ExpressionDepth(tree) <= kura::MaxExpressionDepth);
        std::vector<uint8_t> again;
        kura::ExpressionStreamSizeEx(tree, again);
        kura::TExpToken* back = nullptr;
        kura::ReadExpressionStream(again.data(), again.size(), back);
        Check(kura::SameExpression(tree, back));
        kura::TExpToken* copy = kura::CopyExpression(tree);
        Check(kura::SameExpression(tree, copy));
        kura::NormalizeFunctionArguments(copy);
        kura::ExpressionStreamSize(copy, again);
        kura::FreeExpression(copy);
        kura::FreeExpression(back);
        kura::FreeExpression(tree);
    }
    Check(Outstanding() == before);
    return 0;
}
