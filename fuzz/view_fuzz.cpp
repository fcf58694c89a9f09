// The viewer's client-message parser on arbitrary text: it must refuse or accept without
// crashing, and what it accepts must keep its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "view/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tarn::view::ParseResult r = tarn::view::parseClientMessage(text);
    if (r.ok) {
        if (!r.error.empty() || r.message.subscriptions.size() > tarn::view::kMaxEntries ||
            r.message.subscriptionIds.size() > tarn::view::kMaxEntries) {
            std::abort();
        }
        std::set<uint32_t> ids;
        for (const tarn::view::Subscription& s : r.message.subscriptions) {
            if (!ids.insert(s.id).second) {
                std::abort();  // an id twice in one subscribe
            }
        }
    } else if (r.error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}
