// Reads arbitrary text as a payload of the live stream (and as a quote's
// update mode), as a message a shared connection routes, and as the
// account's token: never crashes, and what it reads (series members, ids,
// reasons, the quote's subscription, the routed session) is always a part of
// the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/jwt.h"
#include "protocol/message_route.h"
#include "protocol/stream_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    StreamPayload read;
    ReadStreamPayload(text, read);
    std::size_t members = 0;
    for (const auto& member : read.members) members += member.first.size() + member.second.size();
    if (members > size || read.id.size() > size || read.reason.size() > size || read.session.size() > size ||
        read.quote.subscribed.size() > size) {
        std::abort();
    }
    if (read.kind == StreamPayloadKind::Other && !read.members.empty()) std::abort();
    // The text as a quote's update mode.
    if (DescribeUpdateMode(text).size() > size + 60) std::abort();
    // The same text behind a service message's name.
    const std::string named = "{\"m\":\"du\",\"p\":[\"cs\"," + text + "]}";
    ReadStreamPayload(named, read);
    // Routing: the session and name it finds are pieces of the text.
    for (const std::string& routed : {text, "{\"m\":\"qsd\",\"p\":[" + text}) {
        const MessageRoute route = ReadMessageRoute(routed);
        if (route.session.size() > routed.size() || route.name.size() > routed.size()) std::abort();
        if (!route.session.empty() && routed.find(route.session) == std::string::npos) std::abort();
        if (route.kind == RouteKind::Session && route.session.empty()) std::abort();
    }
    // The text as a qsd's "n": the symbol it names is a piece of it (its
    // escapes taken off).
    if (SubscribedSymbol(text).size() > size || SubscribedSymbol("=" + text).size() > size) std::abort();
    // The text as a token, and as a token's payload.
    const std::int64_t expiry = JwtExpiry(text);
    if (expiry != 0 && (expiry <= 946684800LL || expiry >= 4102444800LL)) std::abort();
    JwtExpiry("e30." + text + ".x");
    return 0;
}
