// Counts heap allocations made by the program's own code while the soak runs it.
//
// The soak binary replaces operator new and, through the linker's --wrap, the C allocators and
// every platform function the program calls. A counter of platform depth goes up while a
// platform function (the fake) runs, so the fake's own allocations, and those of test hooks
// that run inside it (Sleep's hook, the peers' frame handlers), are not counted. What is
// counted is an allocation made while the program is entered (alloc_guard_enter) and no
// platform function is running: one made by the program's code or by a library it calls.
#pragma once

#include <cstddef>

namespace soak {

// Marks the program's code as running (from the outermost call into it until it returns).
void alloc_guard_enter();
void alloc_guard_leave();

// Allocations counted since the start of the binary.
size_t program_allocations();

}  // namespace soak
