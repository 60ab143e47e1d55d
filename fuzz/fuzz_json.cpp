// Runs every JSON scanner and the symbol-search reader over arbitrary text
// with keys and start positions taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/json_text.h"
#include "protocol/search_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t keyLength = data[0] % 8;
    const std::size_t start = data[1];
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string key = rest.substr(0, keyLength);
    const std::string json = rest.substr(key.size());

    if (JsonStringField(json, key, start).size() > json.size()) std::abort();
    if (JsonNumberField(json, key).size() > json.size()) std::abort();
    std::string inner;
    if (JsonArrayField(json, key, inner) && inner.size() > json.size()) std::abort();
    std::size_t total = 0;
    for (const std::string& piece : SplitJsonObjects(json)) total += piece.size();
    if (total > json.size()) std::abort();
    FirstContractSymbol(json);
    JsonQuote(json);
    FormEncodeUtf8(json);
    if (TopLevelStringField(json, key).size() > json.size()) std::abort();
    if (start < json.size() && ObjectAt(json, start).size() > json.size()) std::abort();
    std::string symbolId;
    // Nothing is invented: the identifier is made of the reply's bytes and one colon.
    if (FirstMatchSymbolId(json, symbolId) == SearchReply::Resolved && symbolId.size() > json.size() + 1) std::abort();
    return 0;
}
