// Sending one framed service message over a session's WebSocket.
#pragma once

#include <string>
#include <vector>

#include "net/websocket_client.h"
#include "protocol/service_session.h"

// <windows.h> maps SendMessage to the window-message call; this name is ours.
#ifdef SendMessage
#undef SendMessage
#endif

bool SendMessage(WebSocketClient& connection, const std::string& name, const std::vector<std::string>& parameters,
                 const std::string& secret = std::string());
bool SendMessage(Channel& channel, const std::string& name, const std::vector<std::string>& parameters);

// Sends a heartbeat or other non-JSON payload straight back, framed.
bool EchoPayload(WebSocketClient& connection, const std::string& payload);

// The form encoding of a UTF-16 text (through its UTF-8 bytes).
std::string FormEncode(const std::wstring& text);
