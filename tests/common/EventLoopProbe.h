// Counts event loops nested inside the delivery of an event: the program's window code must never
// run one (queued input would run in the middle of a half-done step). The tests' application
// counts every event it delivers; the event dispatcher wakes for each processing of events, and a
// wake while an event is being delivered is a nested loop. Every test fails that nests one, unless
// it says it means to (a test of the platform's message processing itself).
#pragma once

namespace testutil {

// Nested event loops seen since the program started.
int NestedEventLoops();

// While one exists, nested loops are not held against the running test.
class AllowNestedEventLoops {
public:
  AllowNestedEventLoops();
  ~AllowNestedEventLoops();
  AllowNestedEventLoops(const AllowNestedEventLoops &) = delete;
  AllowNestedEventLoops &operator=(const AllowNestedEventLoops &) = delete;
};

} // namespace testutil
