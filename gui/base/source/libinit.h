// Private to the base library: its one-time initialisation and the steps it is made of.
#pragma once

// Runs once per process, first in the program's static initialisation (and safe to call again):
// seeds the runtime's random generator, creates the thread slots, prepares the particle
// allocator, caches the performance-counter frequency, declares the recorder events, creates the
// library's named locks and finally reads the lock thresholds. It also registers the process-exit
// step that releases the exiting thread's records and tears the allocator down.
void InitializeBaseLibrary() noexcept;

// Builds the pool and the calling thread's cache; traces when "PARTICLEREPLACEMENT" switched the
// allocator off.
void PrepareParticleAllocator() noexcept;
