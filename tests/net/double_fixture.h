// The fixture of the tests that talk to the local service double in-process:
// every origin points at the double, and the log of this test program is read
// from where the test began.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>

#include "foundation/path.h"
#include "foundation/state.h"
#include "protocol/framing.h"
#include "protocol/service_session.h"
#include "storage/symbol_map.h"
#include "support/service_double_client.h"
#include "support/test_support.h"

namespace {

using testing_support::LogTail;
using testing_support::ServiceDouble;

constexpr std::int32_t kTimeoutMs = 1500;
// A call that must give up may take its time-out and a few seconds more.
constexpr ULONGLONG kGiveUpBoundMs = kTimeoutMs * 2 + 4000;

class DoubleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.Available()) << "run inside with-double.sh";
        PointAt(service.Origin(), false);
        // Every test finds its own tickers: no symbol map of an earlier one.
        DropSymbolMap();
        DeleteFileW(JoinPath(JoinPath(ModuleFolder(), L"VelmarquinCache"), L"symbols.map").c_str());
        StartServiceSession();
    }
    void TearDown() override {
        StopServiceSession();
        PointAt(L"https://127.0.0.1:9", false);
    }

    static void PointAt(const std::wstring& origin, bool debug) {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.origins.symbolSearch = origin;
        s.origins.web = origin;
        s.origins.data = origin;
        s.settings.DebugLogging = debug;
    }
    static std::wstring LogPath() { return JoinPath(ModuleFolder(), L"Velmarquin.log"); }
    void Scenario(const std::string& json) { ASSERT_TRUE(service.SetScenario(json)); }
    // Every service message the double received, unframed, in order.
    std::vector<std::string> Messages() const {
        std::vector<std::string> payloads;
        for (std::string text : service.Events("ws_message", "text")) {
            std::string payload;
            while (NextFramePayload(text, payload)) payloads.push_back(payload);
        }
        return payloads;
    }

    // The same once at least `count` have come (the last messages of a
    // conversation, the deletion of its sessions, may still be on their way
    // when the call returns), waiting at most a few seconds.
    std::vector<std::string> MessagesAtLeast(size_t count) const {
        std::vector<std::string> payloads = Messages();
        for (int i = 0; i < 60 && payloads.size() < count; ++i) {
            Sleep(50);
            payloads = Messages();
        }
        return payloads;
    }

    ServiceDouble service;
};

// The error of a request whose server never answers: its wait ends at the
// time-out (12002). Windows reports the request sent and then waits for the
// response; Wine reports the sent request only together with the response,
// so there the wait ends in the send.
inline bool IsUnansweredRequestError(const std::wstring& error) {
    return error == L"WinHttpReceiveResponse failed, GetLastError=12002" ||
           error == L"WinHttpSendRequest failed, GetLastError=12002";
}

struct Stopwatch {
    ULONGLONG start = GetTickCount64();
    ULONGLONG Ms() const { return GetTickCount64() - start; }
};

// Runs until `done` holds, at most `limitMs`.
template <typename Done>
bool WaitUntil(Done done, ULONGLONG limitMs) {
    Stopwatch watch;
    while (watch.Ms() < limitMs && !done()) Sleep(50);
    return done();
}

}  // namespace
