#include "protocol/message_sender.h"

#include "foundation/text.h"
#include "protocol/framing.h"
#include "protocol/json_text.h"

bool SendMessage(WebSocketClient& connection, const std::string& name, const std::vector<std::string>& parameters,
                 const std::string& secret) {
    return connection.SendText(FrameText(BuildMessage(name, parameters)), secret);
}

bool SendMessage(Channel& channel, const std::string& name, const std::vector<std::string>& parameters) {
    return channel.SendText(FrameText(BuildMessage(name, parameters)));
}

bool EchoPayload(WebSocketClient& connection, const std::string& payload) {
    return connection.SendText(FrameText(payload));
}

std::string FormEncode(const std::wstring& text) { return FormEncodeUtf8(WideToUtf8(text)); }
