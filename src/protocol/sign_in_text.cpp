#include "protocol/sign_in_text.h"

#include "protocol/json_text.h"

namespace {

constexpr size_t kLongestToken = 8192;
constexpr size_t kLongestName = 128;

bool IsTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

bool IsNameChar(char c) { return c > ' ' && c < 0x7F && c != '"' && c != '\\'; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value of the first `"key"` of `text` that is a string of at most
// `longest` characters for which `allowed` holds, all of them.
template <typename Allowed>
std::string StringValueOf(const std::string& text, const std::string& key, size_t longest, Allowed allowed) {
    const std::string quoted = "\"" + key + "\"";
    for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
        size_t i = at + quoted.size();
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size() || text[i] != ':') continue;
        ++i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size() || text[i] != '"') continue;
        const size_t begin = ++i;
        while (i < text.size() && i - begin <= longest && allowed(text[i])) ++i;
        if (i < text.size() && text[i] == '"' && i > begin && i - begin <= longest) return text.substr(begin, i - begin);
    }
    return std::string();
}

bool Has(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

}  // namespace

std::string AuthTokenInPage(const std::string& page) {
    return StringValueOf(page, "auth_token", kLongestToken, IsTokenChar);
}

std::string UsernameInPage(const std::string& page) {
    return StringValueOf(page, "username", kLongestName, IsNameChar);
}

bool IsCookieValue(const std::wstring& value) {
    if (value.empty() || value.size() > 4096) return false;
    for (wchar_t c : value) {
        if (c <= L' ' || c >= 0x7F || c == L'"' || c == L',' || c == L';' || c == L'\\') return false;
    }
    return true;
}

SignInRefusal ReadSignInRefusal(const std::string& reply) {
    SignInRefusal refusal;
    const std::string said = JsonStringField(reply, "error", 0);
    const std::string code = JsonStringField(reply, "code", 0);
    if (code == "2FA_required" || said == "2FA_required") {
        refusal.words = "the account asks for two-factor authentication (2FA_required)";
        refusal.wantsBrowser = true;
    } else if (said.empty()) {
        refusal.words = "the service did not accept the user name and password";
    } else {
        refusal.words = said;
        refusal.wantsBrowser = code == "recaptcha_required" || Has(said, "captcha") || Has(said, "robot");
    }
    if (refusal.wantsBrowser) refusal.words += "; set the account's Session cookie on the Connection tab";
    return refusal;
}
