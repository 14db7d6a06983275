// Sets and reads the parts of a file's metadata that a save must carry to
// the new file, through the documented Win32 calls, so the suite can check
// them on the real files the program wrote:
//   file_security set PATH SDDL ATTRIBUTES_HEX
//     puts the DACL of the SDDL string on PATH (SetFileSecurityW), then the
//     attributes (SetFileAttributesW)
//   file_security get PATH
//     prints "dacl SDDL" (the DACL alone) and "attributes 0xXXXXXXXX"
// Failures print the call and its error to standard error and exit 3.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

int Fail(const wchar_t* what) {
  std::fwprintf(stderr, L"%ls: error %lu\n", what, GetLastError());
  return 3;
}

int Set(const wchar_t* path, const wchar_t* sddl, const wchar_t* attributesText) {
  wchar_t* end = nullptr;
  const unsigned long attributes = std::wcstoul(attributesText, &end, 16);
  if (end == attributesText || *end != L'\0') {
    std::fwprintf(stderr, L"not a hexadecimal number: %ls\n", attributesText);
    return 2;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    return Fail(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  const BOOL secured = SetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  if (!secured) return Fail(L"SetFileSecurityW");
  if (!SetFileAttributesW(path, attributes)) return Fail(L"SetFileAttributesW");
  return 0;
}

int Get(const wchar_t* path) {
  DWORD needed = 0;
  GetFileSecurityW(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return Fail(L"GetFileSecurityW");
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
    return Fail(L"GetFileSecurityW");
  }
  wchar_t* sddl = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    return Fail(L"ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    LocalFree(sddl);
    return Fail(L"GetFileAttributesW");
  }
  std::wprintf(L"dacl %ls\nattributes 0x%08lX\n", sddl, attributes);
  LocalFree(sddl);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"set") == 0) return Set(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::wcscmp(argv[1], L"get") == 0) return Get(argv[2]);
  std::fwprintf(stderr, L"usage: file_security set PATH SDDL ATTRIBUTES_HEX | file_security get PATH\n");
  return 2;
}
