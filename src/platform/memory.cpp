#include "platform/memory.h"

#include <malloc.h>

namespace nv {

void KeepFreedMemory() {
  constexpr int kKept = 64 << 20;
  // Blocks up to this size come from the heap, and freed heap up to this size stays mapped.
  mallopt(M_MMAP_THRESHOLD, kKept);
  mallopt(M_TRIM_THRESHOLD, kKept);
}

}  // namespace nv
