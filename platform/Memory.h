#pragma once

// Gives the heap's free pages back to the system, those of every thread's heap. After a large
// block of memory was freed in the middle of a heap (the log dropping its oldest lines, a
// sort's keys on the table's sorting thread), the allocator keeps those pages resident;
// handing them back keeps a long-running process's footprint at what it
// actually uses. Costs a walk over the allocator's free lists: call it after big frees only.
void ReturnFreedMemory();
