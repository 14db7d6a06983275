#include "app/read_own_file_version.h"

#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_platform.h"

namespace tessaly {
namespace {

using namespace fakes;

TEST(ReadOwnFileVersionTest, ReadsBothHalvesOfTheFileVersion) {
  FakePlatform fakes;
  fakes.ownResources.version = {0x00010000, 0x000003E9};
  FileVersion version;

  EXPECT_EQ(ReadOwnFileVersion(fakes.ownResources, fakes.host, &version), Hresult::Ok);
  EXPECT_EQ(version.mostSignificant, 0x00010000u);
  EXPECT_EQ(version.leastSignificant, 0x000003E9u);
}

TEST(ReadOwnFileVersionTest, QueriesACopyOfTheResource) {
  FakePlatform fakes;
  const std::vector<std::uint8_t> original = fakes.ownResources.block;
  FileVersion version;

  ASSERT_EQ(ReadOwnFileVersion(fakes.ownResources, fakes.host, &version), Hresult::Ok);
  EXPECT_NE(fakes.ownResources.queriedBlock, fakes.ownResources.block.data());
  EXPECT_EQ(fakes.ownResources.queriedBytes, original);
  // The fake query writes into the block it gets; the loaded resource must not change.
  EXPECT_EQ(fakes.ownResources.block, original);
}

struct FailureRow {
  const char* name;
  std::function<void(FakeOwnResources&)> breakResource;
};

TEST(ReadOwnFileVersionTest, FailuresReturnTheLastErrorAndLeaveTheVersionAlone) {
  const FailureRow rows[] = {
      {"not found", [](FakeOwnResources& r) { r.hasResource = false; }},
      {"not loaded", [](FakeOwnResources& r) { r.loads = false; }},
      {"size 0", [](FakeOwnResources& r) { r.block.clear(); }},
      {"query fails", [](FakeOwnResources& r) { r.queryResult = false; }},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto& [lastError, expected] : {std::pair{1813u, 0x80070715u}, std::pair{0u, 0x80004005u}}) {
      FakePlatform fakes;
      row.breakResource(fakes.ownResources);
      fakes.host.lastError = lastError;
      FileVersion version{0xAAAA5555, 0x12345678};

      EXPECT_EQ(Bits(ReadOwnFileVersion(fakes.ownResources, fakes.host, &version)), expected);
      EXPECT_EQ(version.mostSignificant, 0xAAAA5555u);
      EXPECT_EQ(version.leastSignificant, 0x12345678u);
    }
  }
}

}  // namespace
}  // namespace tessaly
