// How the process's allocator treats memory that requests free.
#pragma once

namespace nv {

// Lets the allocator keep the memory a request freed for the next one (up to 64 MiB) instead of
// giving it back to the kernel at once: a page of many rows then does not fault in, zero and
// hand back megabytes of fresh pages on every request.
void KeepFreedMemory();

}  // namespace nv
