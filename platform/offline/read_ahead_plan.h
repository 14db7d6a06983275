// Keeps the read-ahead a window of components ahead of the walk. It runs on
// the walk's own thread, the only one that may use the registry, and picks
// the components the walk will enter by the engine's own rule and in its
// order: the Components key's subkeys, filtered by NextWalkedComponent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/offline/image_tree.h"
#include "platform/offline/read_ahead.h"
#include "registry/registry.h"

namespace tessaly::offline {

class ReadAheadPlan {
 public:
  // storeRoot: the store's path as the engine forms it, "\\?\" + the
  // Windows directory + "\winsxs\"; threads: the workers, at least one.
  ReadAheadPlan(ImageTree& image, Registry& registry, std::u16string storeRoot, unsigned threads)
      : image_(image), registry_(registry), storeRoot_(std::move(storeRoot)), threads_(threads), componentsKey_(registry) {}

  const std::u16string& StoreRoot() const { return storeRoot_; }

  // The walk enters the component directory `name`: the listing of its
  // tree, when it was read ahead. The first call starts the workers: by
  // then the COMPONENTS hive is loaded.
  std::optional<ListedComponent> Enter(std::u16string_view name);

 private:
  void Start();
  void Refill();

  ImageTree& image_;
  Registry& registry_;
  std::u16string storeRoot_;
  unsigned threads_;
  bool started_ = false;
  UniqueKey componentsKey_;
  std::uint32_t nextIndex_ = 0;
  bool allQueued_ = false;
  std::size_t storeDepth_ = 0;
  std::vector<std::u16string> components_;
  std::optional<ReadAhead> readAhead_;
};

}  // namespace tessaly::offline
