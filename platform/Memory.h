#pragma once

// Gives the heap's free pages back to the system, those of every thread's heap. After a large
// block of memory was freed in the middle of a heap (the log dropping its oldest lines, a
// sort's keys on the table's sorting thread), the allocator keeps those pages resident;
// handing them back keeps a long-running process's footprint at what it
// actually uses. Costs a walk over the allocator's free lists: call it after big frees only.
void ReturnFreedMemory();

// Has every block of LARGE_BLOCK_BYTES or more mapped on its own, so that it goes back to the
// system the moment it is freed. By default the allocator raises that threshold to the size
// of the largest block freed (up to 32 MB): a table's row lists and sort keys, megabytes each
// and made again every second, would then come from the heaps and leave their pages
// resident there. Process-wide; call it once, before the big blocks are made.
void MapLargeBlocksApart();
