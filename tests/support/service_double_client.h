// The test side of the local service double: where it listens, and its
// control port (scenario in, recording out). Test threads only.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class ServiceDouble {
public:
    // Reads the ports that with-double.sh exported; false outside it.
    ServiceDouble();
    bool Available() const { return port_ != 0 && control_ != 0; }
    std::wstring Origin() const;           // https://127.0.0.1:PORT, certificate of the trusted test CA
    std::wstring UntrustedOrigin() const;  // the same service behind an untrusted certificate

    // Replaces the scenario (a JSON text) and clears the recording.
    bool SetScenario(const std::string& json) const;
    std::string RecordingJson() const;
    // One field of every recorded event of a kind, in order, e.g.
    // Events("ws_message", "text") or Events("http", "raw_head").
    std::vector<std::string> Events(const std::string& kind, const std::string& field) const;
    // The counts of the live pushes, per connection (GET /pushes, JSON).
    std::string Pushes() const;
    // One count of the scenario so far (GET /stats): "ws_opened",
    // "ws_refused_429", "max_open_at_once", "bytes_sent", "signins", "searches" ...;
    // -1 when the double did not answer.
    long long Stat(const std::string& name) const;
    // Sets a symbol's price and pushes it at once to every stream holding it.
    bool SetPrice(const std::string& symbol, double price) const;

private:
    bool Control(const wchar_t* verb, const std::wstring& path, const std::string& body, std::string& reply) const;
    unsigned short port_ = 0, untrusted_ = 0, control_ = 0;
};

}  // namespace testing_support
