#pragma once

// Gives the heap's free pages back to the system. After a large block of memory was freed
// in the middle of the heap (the log dropping its oldest lines), the allocator keeps those
// pages resident; handing them back keeps a long-running process's footprint at what it
// actually uses. Costs a walk over the allocator's free lists: call it after big frees only.
void ReturnFreedMemory();
