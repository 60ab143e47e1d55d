// The connection check a trader runs from the configuration window: the
// symbol search, the sign-in, the data connection, a short history request
// and the live quote, in that order, each timed, stopping at the first step
// that fails with plain words on what to check. It writes no cache file and
// no setting (the user's edits in the window are used as they stand), never
// shows the password or the account's token, and logs as every other
// conversation does. Runs on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/settings_record.h"

enum class CheckOutcome { Passed, Failed, Skipped };

struct CheckStep {
    int number = 0;            // 1 to 5
    std::wstring name;         // "Symbol search", "Sign-in", "Data connection", "History", "Live quote"
    CheckOutcome outcome = CheckOutcome::Passed;
    std::uint64_t ms = 0;      // how long the step took
    std::wstring detail;       // what happened
    std::wstring advice;       // for a failed step: what to check
};

struct CheckHooks {
    std::function<bool()> keepGoing;                 // false: stop before the next step
    std::function<void(const CheckStep&)> onStep;    // each step as it finishes
};

// True when every step passed (or was skipped). An abandoned check (keepGoing
// false) returns false without reporting the steps it did not take.
bool RunConnectionCheck(const std::wstring& ticker, const PluginSettings& settings, const CheckHooks& hooks);

// The lines of a finished step, for the window and the clipboard:
// "3. Data connection: OK (95 ms)" and its detail and advice indented below.
std::wstring FormatCheckStep(const CheckStep& step);
