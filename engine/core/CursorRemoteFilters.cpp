// Filters of a remote cursor: the tree is parsed and typed here against the
// cursor's fields, then the server builds and evaluates its own copy. A callback
// filter stays here; the server asks this cursor about each record it tests.
#include <algorithm>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/Filters.h"
#include "engine/expr/ExpStream.h"
#include "engine/expr/ExpTree.h"

namespace kura {

namespace {

// Older servers read the image whose function arguments hang on the child slots.
std::vector<uint8_t> FilterImage(const TExpToken* tree, int64_t serverVersion) {
    std::vector<uint8_t> image;
    if (serverVersion >= SERVER_VERSION_LOCK_PROTOCOL) {
        ExpressionStreamSizeEx(tree, image);
        return image;
    }
    TExpressionPtr normalised(CopyExpression(tree));
    NormalizeFunctionArguments(normalised.get());
    ExpressionStreamSize(normalised.get(), image);
    return image;
}

}  // namespace

void TDataCursor::AddRemoteFilter(TFilter* filter) {
    const int64_t version = GetServerVersion();
    const bool estimates = version >= SERVER_VERSION_FILTER_ESTIMATES;
    try {
        if (filter->IsCallback) {
            TRemoteRequest& request = BeginRemote(REQUEST_ADDCALLBACKFILTER);
            request.PutBool(filter->CombineFirst);
            request.PutBool(filter->StatisticsAllowed);
            if (estimates) request.PutBool(filter->EstimateCounts);
            filter->RemoteHandle = SendRemote().GetU32();
        } else {
            const std::vector<uint8_t> image = FilterImage(filter->Expression, version);
            TRemoteRequest& request = BeginRemote(REQUEST_ADDEXPRFILTER);
            request.PutU32(static_cast<uint32_t>(image.size()));
            request.PutParam(image.data(), static_cast<uint32_t>(image.size()));
            request.PutBool(filter->OwnsExpression);
            request.PutBool(filter->CombineFirst);
            request.PutBool(filter->StatisticsAllowed);
            if (estimates) request.PutBool(filter->EstimateCounts);
            TRemoteReply& reply = SendRemote();
            filter->RemoteHandle = reply.GetU32();
            const uint8_t level = reply.GetByte();
            // The levels are those of the analysis: 0, 1 or 2.
            if (level > 2) reply.RaiseMalformed();
            filter->OptimizeLevel = level;
        }
        // Handle 0 stands for "every filter" in the requests that name one.
        if (filter->RemoteHandle == 0) RemoteChannel().Reply().RaiseMalformed();
    } catch (...) {
        // The server holds no such filter: neither does the cursor.
        FFilters.erase(std::find(FFilters.begin(), FFilters.end(), filter));
        delete filter;
        throw;
    }
}

void TDataCursor::ChangeRemoteFilters(const TFilter* handle, int action) {
    static constexpr TRequestCode codes[] = {REQUEST_DROPFILTER, REQUEST_ACTIVATEFILTER, REQUEST_DEACTIVATEFILTER};
    ReadCursorState(SendPositioned(codes[action], [&](TRemoteRequest& request) {
        request.PutU32(handle ? handle->RemoteHandle : 0);
    }));
    // The server has done it: the cursor's own list follows.
    UpdateFilterList(handle, action);
    FVisibleSetActive = IsNaturalOrder() || AnyFilterActive();
}

bool TDataCursor::RemoteCallbackFilterPasses(TRemoteReply& reply) {
    // Exactly the cursor's record, then its number.
    std::vector<uint8_t> record(FRecordSize);
    if (reply.GetParam(record.data(), FRecordSize) != FRecordSize) reply.RaiseMalformed();
    const uint32_t recordNo = reply.GetU32();
    const auto it = std::find_if(FFilters.begin(), FFilters.end(), [](const TFilter* f) { return f->IsCallback; });
    if (it == FFilters.end()) return false;
    return (*it)->Callback((*it)->CallbackData, this, record.data(), recordNo);
}

}  // namespace kura
