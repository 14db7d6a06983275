// Owners for what hivex hands out: an open hive, closed once, and the
// malloc'd names, lists and data its calls return, freed once. Only .cpp
// files include <hivex.h>.
#pragma once

#include <cstdlib>
#include <memory>

struct hive_h;

namespace tessaly::image {

struct HiveCloser {
  void operator()(hive_h* hive) const;
};
using UniqueHive = std::unique_ptr<hive_h, HiveCloser>;

struct HivexFree {
  void operator()(void* memory) const { std::free(memory); }
};
// A malloc'd result: char for names and data, hive_node_h or hive_value_h
// for the zero-terminated lists.
template <typename T>
using HivexResult = std::unique_ptr<T, HivexFree>;

}  // namespace tessaly::image
