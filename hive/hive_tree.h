// The checks Windows makes of a hive's keys as it loads it: every key
// reached from the root has a well-formed subkey list and value list whose
// entries add up to the key's counts, and each entry names a key node or a
// value node. A hive that fails is not loaded, so that a malformed list is
// never read later as a key without subkeys or values.
#pragma once

#include <cstddef>

#include "hive/hive_cells.h"

namespace tessaly::hive {

// binsSize: the hive-bins size the cells lie in. Time and memory linear in
// that size, whatever the lists name.
bool KeyTreeIsValid(const HiveCells& cells, std::size_t binsSize, CellOffset root);

}  // namespace tessaly::hive
