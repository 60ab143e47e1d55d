#include "protocol/json_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string JsonQuote(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case 8: out += "\\b"; break;
            case 9: out += "\\t"; break;
            case 10: out += "\\n"; break;
            case 12: out += "\\f"; break;
            case 13: out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 32) {
                    char escape[8];
                    std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string FormEncodeUtf8(const std::string& utf8) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : utf8) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string JsonStringField(const std::string& json, const std::string& key, size_t start) {
    const std::string needle = "\"" + key + "\"";
    if (start > json.size() || json.size() - start < needle.size()) return {};
    const size_t at = json.find(needle, start);
    if (at == std::string::npos) return {};
    const size_t colon = json.find(':', at + needle.size());
    if (colon == std::string::npos) return {};
    const size_t open = json.find('"', colon + 1);
    if (open == std::string::npos) return {};
    for (size_t i = open + 1; i < json.size(); ++i) {
        if (json[i] == '\\') {
            ++i;
        } else if (json[i] == '"') {
            return json.substr(open + 1, i - open - 1);
        }
    }
    return {};
}

std::string JsonNumberField(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return {};
    const size_t colon = json.find(':', at + key.size() + 2);
    if (colon == std::string::npos) return {};
    const size_t begin = json.find_first_of("-0123456789", colon + 1);
    if (begin == std::string::npos) return {};
    size_t end = begin;
    while (end < json.size() && (std::strchr("0123456789-+.eE", json[end]) != nullptr && json[end] != '\0')) ++end;
    return json.substr(begin, end - begin);
}

bool JsonArrayField(const std::string& json, const std::string& key, std::string& inner) {
    std::string_view view;
    if (!JsonArrayView(json, key, view)) return false;
    inner.assign(view.data(), view.size());
    return true;
}

bool JsonArrayView(std::string_view json, const std::string& key, std::string_view& inner) {
    const std::string needle = "\"" + key + "\":[";
    const size_t at = json.find(needle);
    if (at == std::string_view::npos) return false;
    const size_t begin = at + needle.size();
    int depth = 1;
    for (size_t i = begin; i < json.size(); ++i) {
        if (json[i] == '[') {
            ++depth;
        } else if (json[i] == ']') {
            if (depth == 1) {
                inner = json.substr(begin, i - begin);
                return true;
            }
            --depth;
        }
    }
    return false;
}

std::vector<std::string> SplitJsonObjects(const std::string& inner) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < inner.size()) {
        const size_t separator = inner.size() - pos < 3 ? std::string::npos : inner.find("},{", pos);
        if (separator == std::string::npos) {
            pieces.push_back(inner.substr(pos));
            break;
        }
        pieces.push_back(inner.substr(pos, separator + 1 - pos));
        pos = separator + 2;
    }
    return pieces;
}

std::vector<double> ParseNumberList(const std::string& text) {
    std::vector<double> numbers;
    const char* data = text.c_str();  // NUL-terminated, so strtod stops at the end
    size_t i = 0;
    while (i < text.size()) {
        const char c = data[i];
        if (c == ' ' || c == '\t' || c == ',') {
            ++i;
            continue;
        }
        char* end = nullptr;
        const double value = std::strtod(data + i, &end);
        if (end == data + i) {
            ++i;
            continue;
        }
        numbers.push_back(value);
        i = static_cast<size_t>(end - data);
    }
    return numbers;
}

std::string FirstContractSymbol(const std::string& reply) {
    if (reply.size() <= 10) return {};
    const size_t contracts = reply.find("\"contracts\"");
    if (contracts == std::string::npos) return {};
    const size_t symbol = reply.find("\"symbol\"", contracts);
    if (symbol == std::string::npos) return {};
    return JsonStringField(reply, "symbol", symbol);
}

size_t JsonStringEnd(const std::string& text, size_t open) {
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i;
        }
    }
    return text.size();
}

std::vector<std::string> JsonArrayElements(const std::string& inner) {
    std::vector<std::string> elements;
    int depth = 0;
    size_t begin = 0;
    auto take = [&](size_t end) {
        const size_t first = inner.find_first_not_of(" \t\r\n", begin);
        if (first == std::string::npos || first >= end) return;
        const size_t last = inner.find_last_not_of(" \t\r\n", end - 1);
        elements.push_back(inner.substr(first, last + 1 - first));
    };
    for (size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (c == '"') {
            i = JsonStringEnd(inner, i);
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ',' && depth == 0) {
            take(i);
            begin = i + 1;
        }
    }
    take(inner.size());
    return elements;
}

namespace {
const char kJsonSpace[] = " \t\r\n";
}  // namespace

std::string ObjectAt(const std::string& text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            i = JsonStringEnd(text, i);
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return text.substr(open, i + 1 - open);
        }
    }
    return text.substr(open);
}

std::string TopLevelStringField(const std::string& object, const std::string& key) {
    int depth = 0;
    for (size_t i = 0; i < object.size(); ++i) {
        const char c = object[i];
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const size_t close = JsonStringEnd(object, i);
            if (close == object.size()) return {};
            const bool named = depth == 1 && object.compare(i + 1, close - i - 1, key) == 0 &&
                               close - i - 1 == key.size();
            const size_t colon = object.find_first_not_of(kJsonSpace, close + 1);
            if (named && colon != std::string::npos && object[colon] == ':') {
                const size_t value = object.find_first_not_of(kJsonSpace, colon + 1);
                if (value == std::string::npos || object[value] != '"') return {};
                const size_t end = JsonStringEnd(object, value);
                return end == object.size() ? std::string() : object.substr(value + 1, end - value - 1);
            }
            i = close;
        }
    }
    return {};
}

