// What the web site answers a sign-in, from arbitrary bytes: the token and
// the user name read from a page are what the page says, in the characters
// they may have; a refusal always has words; base64 text decodes to bytes
// that encode back to the same letters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/base64.h"
#include "protocol/sign_in_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string token = AuthTokenInPage(text);
    if (!token.empty() && text.find(token) == std::string::npos) std::abort();
    for (char c : token) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '-' || c == '_';
        if (!allowed) std::abort();
    }
    const std::string user = UsernameInPage(text);
    for (char c : user) {
        if (c <= ' ' || c == '"' || c == '\\' || static_cast<unsigned char>(c) >= 0x7F) std::abort();
    }
    if (ReadSignInRefusal(text).words.empty()) std::abort();
    IsCookieValue(std::wstring(text.begin(), text.end()));

    std::string bytes;
    if (Base64Decode(text, bytes)) {
        std::string again;
        if (!Base64Decode(Base64Encode(bytes), again) || again != bytes) std::abort();
    }
    return 0;
}
