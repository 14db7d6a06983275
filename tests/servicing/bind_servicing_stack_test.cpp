#include "servicing/bind_servicing_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "fakes/working_system.h"
#include "servicing/native_path_hash.h"

namespace tessaly {
namespace {

using namespace fakes;

constexpr std::uint32_t kRegSz = 1;
constexpr char16_t kStackDirectory[] = u"C:\\Windows\\WinSxS\\stack";

// A Version key without values, a library at kStackDirectory\wcp.dll and SystemRoot=C:\Windows.
struct ServicingSystem {
  ServicingSystem() : versionKey(ServicingVersionKey(fakes)) {
    fakes.host.environment[u"SystemRoot"] = u"C:\\Windows";
    AddLibrary(kStackDirectory);
  }

  void AddLibrary(std::u16string_view directory) {
    fakes.servicingLibrary.AddLibrary(std::u16string(directory) + u"\\wcp.dll",
                                      FakeServicingLibrary::ServicingExports(NativeServicingHash()));
  }

  // Binds and then frees the module as the run would; moduleLoaded tells whether one was held.
  Hresult Bind() {
    UniqueModule module(fakes.servicingLibrary);
    const Hresult result =
        BindServicingStack(fakes.console, fakes.host, fakes.registry, fakes.servicingLibrary, module, &hash);
    moduleLoaded = module.Get() != ModuleHandle::None;
    EXPECT_TRUE(fakes.registry.OpenKeyPaths().empty()) << "the Version key must be closed when binding ends";
    return result;
  }

  FakePlatform fakes;
  FakeKey& versionKey;
  ServicingHash hash;
  bool moduleLoaded = false;
};

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes(text.size() * sizeof(char16_t));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

TEST(BindServicingStackTest, BindsFromTheFirstNamedExpandableValue) {
  ServicingSystem system;
  system.versionKey.SetString(u"", kRegExpandSz, u"C:\\wrong\\unnamed")
      .SetString(u"10.0.1", kRegSz, u"C:\\wrong\\plain")
      .SetString(u"10.0.2", kRegExpandSz, u"%SystemRoot%\\WinSxS\\stack")
      .SetString(u"10.0.3", kRegExpandSz, u"C:\\wrong\\later");
  for (const char16_t* wrong : {u"C:\\wrong\\unnamed", u"C:\\wrong\\plain", u"C:\\wrong\\later"}) {
    system.AddLibrary(wrong);
  }

  EXPECT_EQ(system.Bind(), Hresult::Ok);
  EXPECT_TRUE(system.moduleLoaded);
  EXPECT_EQ(system.fakes.host.expandedSources, std::vector<std::u16string>{u"%SystemRoot%\\WinSxS\\stack"});
  EXPECT_EQ(system.fakes.servicingLibrary.loadRequests,
            std::vector<std::u16string>{u"C:\\Windows\\WinSxS\\stack\\wcp.dll"});
  EXPECT_EQ(system.hash.hash, &NativeHashLUnicodeString);
  EXPECT_EQ(system.hash.downcase, &NativeDowncaseCharacter);
  EXPECT_EQ(system.fakes.console.output, u"");
  ExpectEverythingReleased(system.fakes);
}

TEST(BindServicingStackTest, EveryEnumerationCallGetsTheFullBuffers) {
  ServicingSystem system;
  // The accepted value's data is larger than the first value's, so a data
  // capacity left at the first value's size would not hold it.
  const std::u16string directory = u"C:\\" + std::u16string(100, u'x');
  system.versionKey.SetString(u"short", kRegSz, u"C:").SetString(u"long", kRegExpandSz, directory);
  system.AddLibrary(directory);

  EXPECT_EQ(system.Bind(), Hresult::Ok);
  ASSERT_EQ(system.fakes.registry.enumValueCalls.size(), 2u);
  for (const auto& call : system.fakes.registry.enumValueCalls) {
    EXPECT_EQ(call.nameCapacity, 260u);
    EXPECT_EQ(call.dataCapacity, 520u);
  }
}

TEST(BindServicingStackTest, DataFillingTheWholeBufferIsReadToItsEndOnly) {
  // 260 characters without a terminator: the directory is exactly those, and
  // with "\wcp.dll" it no longer fits the expansion buffer.
  ServicingSystem system;
  system.versionKey.SetValue(u"full", kRegExpandSz, Utf16Bytes(std::u16string(260, u'x')));

  EXPECT_EQ(system.Bind(), Hresult::NoInterface);
  EXPECT_EQ(system.fakes.host.expandedSources, std::vector<std::u16string>{std::u16string(260, u'x')});
  EXPECT_EQ(system.fakes.console.output, u"无法加载CBS。\n");
  ExpectEverythingReleased(system.fakes);
}

TEST(BindServicingStackTest, LongestDirectoryThatFits) {
  ServicingSystem system;
  const std::u16string directory = u"C:\\" + std::u16string(256, u'y');  // 259 characters
  system.versionKey.SetString(u"longest", kRegExpandSz, directory);
  system.AddLibrary(directory);

  EXPECT_EQ(system.Bind(), Hresult::Ok);
  EXPECT_EQ(system.fakes.servicingLibrary.loadRequests, std::vector<std::u16string>{directory + u"\\wcp.dll"});
}

TEST(BindServicingStackTest, VersionKeyThatDoesNotOpen) {
  const struct {
    Win32Status status;
    bool handleReturnedAnyway;
    std::u16string_view message;
  } rows[] = {
      {Win32Status::FileNotFound, false, u"无法获取CBS目录 lStatus=2。\n"},
      {Win32Status::AccessDenied, true, u"无法获取CBS目录 lStatus=5。\n"},
      {Win32Status::BadKey, false, u"无法获取CBS目录 lStatus=1010。\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.status));
    ServicingSystem system;
    system.versionKey.SetString(u"10.0", kRegExpandSz, kStackDirectory);
    system.fakes.registry.FailOpen(kServicingVersionKey, row.status, row.handleReturnedAnyway);

    EXPECT_EQ(system.Bind(), Hresult::NoInterface);
    EXPECT_EQ(system.fakes.console.output, row.message);
    EXPECT_TRUE(system.fakes.registry.enumValueCalls.empty());
    EXPECT_FALSE(system.moduleLoaded);
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(BindServicingStackTest, NoUsableDirectoryValue) {
  const struct {
    const char* name;
    std::function<void(ServicingSystem&)> setValues;
  } rows[] = {
      {"no values", [](ServicingSystem&) {}},
      {"only REG_SZ", [](ServicingSystem& s) { s.versionKey.SetString(u"10.0", kRegSz, kStackDirectory); }},
      {"only unnamed", [](ServicingSystem& s) { s.versionKey.SetString(u"", kRegExpandSz, kStackDirectory); }},
      {"empty string", [](ServicingSystem& s) { s.versionKey.SetString(u"10.0", kRegExpandSz, u""); }},
      {"no data", [](ServicingSystem& s) { s.versionKey.SetValue(u"10.0", kRegExpandSz, {}); }},
      {"no data after a rejected value",
       [](ServicingSystem& s) {
         s.versionKey.SetString(u"10.0", kRegSz, kStackDirectory).SetValue(u"10.1", kRegExpandSz, {});
       }},
      {"failing call that filled a name",
       [](ServicingSystem& s) {
         s.versionKey.SetString(u"10.0", kRegExpandSz, kStackDirectory);
         s.fakes.registry.FailEnumValue(kServicingVersionKey, 0, Win32Status::MoreData, u"10.0", kRegExpandSz);
       }},
      {"failing call after a rejected value",
       [](ServicingSystem& s) {
         s.versionKey.SetString(u"10.0", kRegSz, kStackDirectory).SetString(u"10.1", kRegExpandSz, kStackDirectory);
         s.fakes.registry.FailEnumValue(kServicingVersionKey, 1, Win32Status::AccessDenied);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ServicingSystem system;
    row.setValues(system);

    EXPECT_EQ(system.Bind(), Hresult::NoInterface);
    EXPECT_EQ(system.fakes.console.output, u"无法获取CBS目录。\n");
    EXPECT_TRUE(system.fakes.host.expandedSources.empty());
    EXPECT_TRUE(system.fakes.servicingLibrary.loadRequests.empty());
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(BindServicingStackTest, NoLoadableLibrary) {
  const struct {
    const char* name;
    std::function<void(ServicingSystem&)> breakIt;
    bool loadTried;
  } rows[] = {
      {"expansion fails", [](ServicingSystem& s) { s.fakes.host.expandResult = 0; }, false},
      {"expansion too long", [](ServicingSystem& s) { s.fakes.host.expandResult = 261; }, false},
      {"no library there", [](ServicingSystem& s) { s.fakes.host.environment[u"SystemRoot"] = u"D:\\Windows"; }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ServicingSystem system;
    system.versionKey.SetString(u"10.0", kRegExpandSz, u"%SystemRoot%\\WinSxS\\stack");
    row.breakIt(system);

    EXPECT_EQ(system.Bind(), Hresult::NoInterface);
    EXPECT_EQ(system.fakes.console.output, u"无法加载CBS。\n");
    EXPECT_EQ(system.fakes.servicingLibrary.loadRequests.empty(), !row.loadTried);
    EXPECT_FALSE(system.moduleLoaded);
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(BindServicingStackTest, MissingExportKeepsTheModuleForTheCaller) {
  for (const char* missing : {kHashExportName, kDowncaseExportName}) {
    SCOPED_TRACE(missing);
    ServicingSystem system;
    system.versionKey.SetString(u"10.0", kRegExpandSz, kStackDirectory);
    FakeServicingLibrary::Exports exports = FakeServicingLibrary::ServicingExports(NativeServicingHash());
    exports.erase(missing);
    system.fakes.servicingLibrary.AddLibrary(std::u16string(kStackDirectory) + u"\\wcp.dll", exports);

    EXPECT_EQ(system.Bind(), Hresult::NoInterface);
    EXPECT_EQ(system.fakes.console.output, u"无法加载CBS。\n");
    EXPECT_TRUE(system.moduleLoaded);
    // Both entry points are looked up before either is tested.
    EXPECT_EQ(system.fakes.servicingLibrary.resolveRequests,
              (std::vector<std::string>{kHashExportName, kDowncaseExportName}));
    ExpectEverythingReleased(system.fakes);
  }
}

TEST(BindServicingStackTest, VersionKeyIsClosedAfterTheMessage) {
  ServicingSystem system;
  system.versionKey.SetString(u"10.0", kRegExpandSz, u"C:\\nowhere");

  system.Bind();

  const EventLog& events = system.fakes.events;
  ASSERT_TRUE(events.Contains("print"));
  EXPECT_LT(events.First("print"), events.First("close " + Utf8(kServicingVersionKey)));
}

}  // namespace
}  // namespace tessaly
