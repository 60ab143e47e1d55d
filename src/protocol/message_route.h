// Where an incoming service message belongs on a connection shared by many
// conversations: the session it names (the first parameter of "p"), and
// whether it is one of the errors that concern the whole connection. Reads
// only the head of the payload, so a reader thread can route a large series
// message without scanning it. Pure functions over UTF-8; any thread.
#pragma once

#include <string>

enum class RouteKind {
    Session,          // a message of one session: `session`
    ProtocolError,    // protocol_error: the service ends the connection
    CriticalError,    // critical_error: `session` when it names one
    Unaddressed,      // anything else naming no session (the hello frame, text that is not JSON)
};

struct MessageRoute {
    RouteKind kind = RouteKind::Unaddressed;
    std::string name;     // the message name ("m"), raw
    std::string session;  // the first parameter when it is a string, raw
};

MessageRoute ReadMessageRoute(const std::string& payload);
