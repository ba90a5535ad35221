// Waiting in tests: for a condition, polled, with a generous limit that only a
// broken build reaches. Tests wait for what they expect instead of sleeping a
// fixed time or asserting how long something took.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

// Polls `done` every 20 ms until it holds (true) or `limit` has passed (false).
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Counts the non-overlapping occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}
