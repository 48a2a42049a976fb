// Movable global memory blocks: what a scanner manager hands over an image in. A block is named
// by a handle; its bytes are reached by locking it. The functions live in a small shared library
// so that a manager library loaded at run time and the program use one and the same blocks.
#pragma once

#include <cstddef>

extern "C" {

struct GlobalBlock;
using HGLOBAL = GlobalBlock*;

// A new block of bytes bytes (zero-filled); null when memory runs out.
HGLOBAL GlobalAlloc(unsigned flags, std::size_t bytes);
// The address of the block's bytes, counting one more lock; null for a handle that names no
// live block.
void* GlobalLock(HGLOBAL block);
// Counts one lock less. Returns whether the block is still locked.
bool GlobalUnlock(HGLOBAL block);
// Releases the block. Returns null on success, the handle itself when it names no live block.
HGLOBAL GlobalFree(HGLOBAL block);
// The block's size in bytes; 0 for a handle that names no live block.
std::size_t GlobalSize(HGLOBAL block);
// How many blocks are alive (for leak checks).
std::size_t GlobalBlockCount();

}  // extern "C"
