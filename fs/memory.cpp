#include "fs/memory.h"

#include <malloc.h>

namespace fs {

void returnLargeBlocks() {
#ifdef M_MMAP_THRESHOLD
    // Set at all, the threshold stays: glibc would otherwise raise it to the size of each large
    // block freed, and keep the next ones of that size in the heap.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

}  // namespace fs
