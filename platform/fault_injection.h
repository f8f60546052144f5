// Test-only control over the platform layer, compiled in only where
// LINE_READER_FAULT_INJECTION is defined (the fault-injection test build).
#pragma once

#include <cstdint>

namespace line_reader::platform::faults {

// Forgets every planned fault; the live counts stay.
void reset();
// The nth allocation from now on (movable block or heap, counted from 1)
// fails; 0 plans none.
void fail_allocation(unsigned nth);
// The nth read from now on fails with an error, or ends the file early.
void fail_read(unsigned nth);
void end_read_early(unsigned nth);
// Every read gives at most this many bytes; 0 lifts the limit.
void limit_read(std::uint32_t bytes);
// Runs `action` when a file is about to be opened, after its lookup.
void before_open(void (*action)());
// Runs `action` after the nth read from now on.
void after_read(unsigned nth, void (*action)());

unsigned live_allocations();
unsigned open_handles();

} // namespace line_reader::platform::faults
