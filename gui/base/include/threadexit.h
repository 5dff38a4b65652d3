// Per-thread clean-up: records that belong to one thread (error text, time-zone record, trace
// state, the allocator's cache) register a callback that runs on that thread when it ends.
//
// The registry is a process-wide list of threads, each with its callbacks ordered by descending
// priority; it is guarded by a spin word rather than a critical section, so that it works while
// the library's locks are still being created or are already gone. Its entries come from the
// process heap, never from the particle allocator, whose own thread-exit handler lives here.
#pragma once

#include <cstdint>

using ThreadExitCallback = void (*)(void* context);

// Priorities of the library's per-thread records; higher runs first.
constexpr int32_t kThreadExitPrioritySmallRecord = 0x7FFFFFFF;  // counts as 0
constexpr int32_t kThreadExitPriorityTimeZone = -1000;
constexpr int32_t kThreadExitPriorityTrace = -1004;
constexpr int32_t kThreadExitPriorityRandom = -1005;
constexpr int32_t kThreadExitPriorityAllocator = -1006;  // last: earlier callbacks may still allocate

// Adds callback(context) to the current thread's list. False (last-error ERROR_OUTOFMEMORY or the
// error of the thread-exit slot) when the entry could not be made: the callback then never runs.
bool RegisterThreadExitCallback(ThreadExitCallback callback, void* context, int32_t priority);

// Removes the first entry of `callback` from the list of thread `threadId` and runs it on the
// calling thread. False (ERROR_NOT_FOUND) when there is no such entry.
bool RunThreadExitCallback(uint32_t threadId, ThreadExitCallback callback);

// Runs and removes every callback of thread `threadId`, highest priority first, each inside the
// exception guard "ThreadExitData::dtor". Callbacks registered while the chain runs run too.
// Called on the exiting thread by the library; at process exit for the exiting (main) thread.
void RunThreadExitCallbacks(uint32_t threadId);

// The number of callbacks registered for thread `threadId` (diagnostics).
uint32_t CountThreadExitCallbacks(uint32_t threadId);

// Creates the slot whose per-thread destructor drives RunThreadExitCallbacks. Part of the
// library's initialisation; safe to call more than once.
bool InitializeThreadExitSlot();
