#pragma once
// How the C library hands out memory and gives it back.

// Large blocks (video frames, encoder planes) are mapped on their own and given back to the
// system when freed. glibc otherwise raises its mapping threshold after the first such block
// is freed and serves the next ones from its heaps, which keep them: every phone session then
// left several megabytes behind.
void tuneMemoryForLargeFrames();

// Gives the pages of freed memory back to the system. Each streaming thread of a session
// allocates from an arena of its own, and glibc keeps what a gone session freed there: the
// host came back from its phones several megabytes larger each time (67 → 85 MiB after four).
void giveBackFreedMemory();
