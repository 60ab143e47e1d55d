#include "protocol/sign_in.h"

#include "foundation/state.h"
#include "foundation/text.h"
#include "net/http_client.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"

const char kAnonymousToken[] = "unauthorized_user_token";

SignInAnswer SignInToService(const PluginSettings& settings) {
    SignInAnswer answer;
    const std::wstring body = L"username=" + Utf8ToWide(FormEncode(settings.Username)) + L"&password=" +
                              Utf8ToWide(FormEncode(settings.Password)) + L"&remember=on";
    std::wstring error;
    const std::string reply =
        HttpPost(CopyServiceOrigins().web + L"/accounts/signin/", settings.UserAgent, settings.TimeoutMs, body, error);
    if (reply.empty()) {
        answer.transportError = error.empty() ? L"no answer" : error;
        return answer;
    }
    answer.token = JsonStringField(reply, "auth_token", 0);
    if (answer.token.empty()) {
        const std::string said = JsonStringField(reply, "error", 0);
        answer.refusal = said.empty() ? L"the service did not accept the user name and password" : Utf8ToWide(said);
    }
    return answer;
}
