// How the daemon's heap gives memory back to the system. The daemon holds a
// few large blocks per component count (the component arrays, the status
// snapshot, the parsed configuration while it is read); left to itself the
// allocator serves such blocks from the heap once one of them has been
// freed, and what is freed there stays resident.
//
// On glibc both calls tune or trim the allocator; elsewhere they do nothing
// (the allocators there return large blocks by themselves).
//
// Thread safety: keepLargeBlocksMapped is called once at start-up, before
// other threads run; returnFreeMemory may run on any thread.
#ifndef KORZA_BASE_MEMORY_H_
#define KORZA_BASE_MEMORY_H_

namespace korza {

// Blocks of 128 KiB and more get a mapping of their own, returned to the
// system when they are freed, whatever was freed before.
void keepLargeBlocksMapped();

// Returns the free pages of every heap to the system; for after a burst of
// short-lived allocations (the start of the components, a reload).
void returnFreeMemory();

}  // namespace korza

#endif  // KORZA_BASE_MEMORY_H_
