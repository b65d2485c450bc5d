#pragma once
// Reading a file mapping without dying when the file shrinks underneath it.
//
// A mapping outlives changes to its file: when the file is truncated while
// mapped (a live browser profile rewrites its stores, an owner empties a log),
// touching a mapped page past the new end raises SIGBUS, whose default action
// kills the process. The readers therefore never let a decoder look at mapped
// memory: every stored block is first copied out with copy_from_mapping, which
// turns the fault into a short copy, and decoded from the copy.
//
// The mechanism: a SIGBUS handler (SA_SIGINFO | SA_NODEFER) that jumps back
// into copy_from_mapping when the fault happened on a thread inside it, and
// otherwise hands the signal on to the handler it replaced, so that a fault
// anywhere else behaves as it would without vostrel (Python's faulthandler
// still reports it; without any handler the process still ends with SIGBUS).
// Which handler that is follows each installation, also when another library
// saves ours and puts it back later (safe_copy.cc). Only memcpy
// runs while the jump is armed: no lock, allocation or object is ever left
// half-done by it.

#include <cstddef>

namespace vostrel {

// Makes sure the handler is installed, installing it again if another one
// (Python's faulthandler, enabled after this module loaded) has replaced it
// since; the replaced handler is the one faults are handed on to. A system
// call, so it is made once per file opened or visited, not per block. Every
// walk that reads mappings calls it before its first copy.
void prepare_fault_guard() noexcept;

// Copies n bytes from src, which lies in a file mapping, to dst and returns
// how many were copied: n, or fewer when a page of src lost its backing. The
// copy goes a page at a time, so every page before the first lost one is kept.
[[nodiscard]] std::size_t copy_from_mapping(char* dst, const char* src, std::size_t n) noexcept;

}  // namespace vostrel
