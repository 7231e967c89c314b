#pragma once
// How the C library hands out memory, set once at start-up.

// Large blocks (video frames, encoder planes) are mapped on their own and given back to the
// system when freed. glibc otherwise raises its mapping threshold after the first such block
// is freed and serves the next ones from its heaps, which keep them: every phone session then
// left several megabytes behind.
void tuneMemoryForLargeFrames();
