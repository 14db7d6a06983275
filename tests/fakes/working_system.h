// A Windows 10 system on which every stage of a run succeeds, for tests to
// break one piece at a time.
#pragma once

#include <string>
#include <string_view>

#include "fakes/fake_platform.h"

namespace tessaly::fakes {

inline constexpr char16_t kWindowsDirectory[] = u"C:\\Windows";
inline constexpr char16_t kStoreRoot[] = u"\\\\?\\C:\\Windows\\winsxs\\";
inline constexpr char16_t kHivePath[] = u"C:\\Windows\\System32\\config\\COMPONENTS";
inline constexpr char16_t kServicingVersionKey[] =
    u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Version";
inline constexpr char16_t kComponentsListKey[] = u"HKLM\\COMPONENTS\\DerivedData\\Components";
inline constexpr char16_t kServicingStackValue[] =
    u"%SystemRoot%\\WinSxS\\amd64_microsoft-windows-servicingstack_31bf3856ad364e35_10.0.19041.1940_none_7dd80d767cb5c7b0";
inline constexpr char16_t kWcpPath[] =
    u"C:\\Windows\\WinSxS\\amd64_microsoft-windows-servicingstack_31bf3856ad364e35_10.0.19041.1940_none_7dd80d767cb5c7b0"
    u"\\wcp.dll";

inline constexpr char16_t kServicingStackValueName[] = u"10.0.19041.1940";

// Sets up the system: version 10.0, both privileges granted, the servicing
// Version key naming a wcp.dll that exports the native hash, the hive file
// with an empty DerivedData\Components key. Returns that (not yet mounted) key.
FakeKey& InstallWorkingSystem(FakePlatform& fakes);

// The servicing Version key under HKEY_LOCAL_MACHINE.
FakeKey& ServicingVersionKey(FakePlatform& fakes);

// A component that the scan selects: CF = 0x200 and no DV.
FakeKey& AddSelectedComponent(FakeKey& componentsList, std::u16string_view name);

// Creates the file at kStoreRoot + component + "\" + relativePath and returns its full path.
std::u16string AddComponentFile(FakePlatform& fakes, const FakeKey& component, std::u16string_view relativePath,
                                std::string_view content);

}  // namespace tessaly::fakes
