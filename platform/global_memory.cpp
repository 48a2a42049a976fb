#include "global_memory.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

struct GlobalBlock {
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t size = 0;
  unsigned locks = 0;
};

namespace {

// Every live block, so that a stale or made-up handle is refused rather than followed.
struct Registry {
  std::mutex mutex;
  std::unordered_map<GlobalBlock*, std::unique_ptr<GlobalBlock>> blocks;
};

Registry& Blocks() {
  static Registry registry;
  return registry;
}

GlobalBlock* Find(Registry& registry, HGLOBAL block) {
  const auto it = registry.blocks.find(block);
  return it == registry.blocks.end() ? nullptr : it->second.get();
}

}  // namespace

extern "C" {

HGLOBAL GlobalAlloc(unsigned, std::size_t bytes) {
  auto block = std::make_unique<GlobalBlock>();
  block->bytes.reset(new (std::nothrow) unsigned char[bytes == 0 ? 1 : bytes]());
  if (!block->bytes) return nullptr;
  block->size = bytes;
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  GlobalBlock* handle = block.get();
  registry.blocks.emplace(handle, std::move(block));
  return handle;
}

void* GlobalLock(HGLOBAL block) {
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  GlobalBlock* found = Find(registry, block);
  if (!found) return nullptr;
  ++found->locks;
  return found->bytes.get();
}

bool GlobalUnlock(HGLOBAL block) {
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  GlobalBlock* found = Find(registry, block);
  if (!found || found->locks == 0) return false;
  return --found->locks > 0;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  return registry.blocks.erase(block) ? nullptr : block;
}

std::size_t GlobalSize(HGLOBAL block) {
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  GlobalBlock* found = Find(registry, block);
  return found ? found->size : 0;
}

std::size_t GlobalBlockCount() {
  Registry& registry = Blocks();
  const std::lock_guard lock(registry.mutex);
  return registry.blocks.size();
}

}  // extern "C"
