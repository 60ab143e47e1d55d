// The expiry of the account's token, read from the token itself: the
// service's token is a JSON Web Token whose payload (the part between its
// two dots, base64url without padding) carries "exp" in Unix seconds. Pure
// function over the token's bytes; any thread.
#pragma once

#include <cstdint>
#include <string>

// The "exp" of a well-formed token, or 0 when the token is not a JWT or its
// payload names no usable expiry.
std::int64_t JwtExpiry(const std::string& token);
