#pragma once

#include <string>

#include "common/status.h"
#include "registry/registry.h"

namespace tessaly {

class Console;
class Host;

// The key that lists the components, below HKEY_LOCAL_MACHINE once the
// hive is mounted.
inline constexpr char16_t kComponentListKey[] = u"COMPONENTS\\DerivedData\\Components";

// Mounts the COMPONENTS hive at HKEY_LOCAL_MACHINE\COMPONENTS and opens its
// DerivedData\Components key into componentsKey; storeRoot receives
// "\\?\" + Windows directory + "\winsxs\". On failure prints the stage's
// message (if it has one) and returns the run's exit code. The hive is never
// unloaded.
Hresult LoadComponentsHive(Console& console, Host& host, Registry& registry, UniqueKey& componentsKey,
                           std::u16string* storeRoot);

}  // namespace tessaly
