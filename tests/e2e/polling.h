#pragma once

#include <functional>

// Bounded waits for something the program or a simulator does. The limits
// are generous on purpose: a busy machine only makes the waits longer, and
// no test judges how fast anything happened.
namespace Polling {

inline constexpr int WindowTimeoutMs = 30000;   // a program start until its window shows
inline constexpr int ScreenTimeoutMs = 15000;   // a change to show on the screen
inline constexpr int ExchangeTimeoutMs = 30000; // a transaction and the module's answer
inline constexpr int ExitTimeoutMs = 30000;     // a program or simulator to end

// Checks `condition` every few tens of milliseconds, handling events in
// between, until it holds (true) or `timeoutMs` has passed (false).
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

} // namespace Polling
