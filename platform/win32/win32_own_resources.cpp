#include "platform/win32/win32_own_resources.h"

#include <windows.h>

namespace tessaly::win32 {
namespace {

constexpr WORD kVersionResourceType = 16;  // RT_VERSION
constexpr WORD kVersionResourceName = 1;

HRSRC ToHrsrc(ResourceHandle resource) { return reinterpret_cast<HRSRC>(static_cast<std::uintptr_t>(resource)); }

}  // namespace

// A null module stands for the executable that started the process.
ResourceHandle Win32OwnResources::FindVersionResource() {
  const HRSRC found = FindResourceExW(nullptr, MAKEINTRESOURCEW(kVersionResourceType), MAKEINTRESOURCEW(kVersionResourceName),
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  return static_cast<ResourceHandle>(reinterpret_cast<std::uintptr_t>(found));
}

const void* Win32OwnResources::Load(ResourceHandle resource) { return LoadResource(nullptr, ToHrsrc(resource)); }

std::uint32_t Win32OwnResources::SizeOf(ResourceHandle resource) { return SizeofResource(nullptr, ToHrsrc(resource)); }

bool Win32OwnResources::QueryFixedFileVersion(const void* block, FileVersion* version) {
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block, L"\\", reinterpret_cast<LPVOID*>(&info), &length) || info == nullptr) return false;
  version->mostSignificant = info->dwFileVersionMS;
  version->leastSignificant = info->dwFileVersionLS;
  return true;
}

}  // namespace tessaly::win32
