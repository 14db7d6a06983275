#include "fakes/fake_platform.h"

#include <gtest/gtest.h>

namespace tessaly::fakes {

void ExpectEverythingReleased(const FakePlatform& fakes) {
  std::string openKeys;
  for (const std::u16string& path : fakes.registry.OpenKeyPaths()) openKeys += Utf8(path) + "; ";
  EXPECT_EQ(openKeys, "") << "registry keys left open";
  EXPECT_EQ(fakes.registry.badHandleUses, 0) << "registry calls on keys that were not open";
  EXPECT_EQ(fakes.servicingLibrary.LoadedCount(), 0u) << "servicing library left loaded";
  EXPECT_EQ(fakes.servicingLibrary.badHandleUses, 0) << "servicing library calls on a module that was not loaded";
  EXPECT_EQ(fakes.files.OpenSearchCount(), 0u) << "directory searches left open";
  EXPECT_EQ(fakes.files.OpenFileCount(), 0u) << "files left open";
  EXPECT_EQ(fakes.files.badHandleUses, 0) << "file calls on handles that were not open";
  EXPECT_EQ(fakes.ownResources.badHandleUses, 0) << "resource calls on a resource that was not found";
}

}  // namespace tessaly::fakes
