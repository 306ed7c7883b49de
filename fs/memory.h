#pragma once

namespace fs {

// Has the allocator take every large block (a folder's names and their places, a sort's keys)
// from the system and give it back as soon as it is freed, instead of keeping it for later: after
// a folder of a million files the program shrinks again, and its peak is what it holds at once.
// Called once, as the program starts.
void returnLargeBlocks();

}  // namespace fs
