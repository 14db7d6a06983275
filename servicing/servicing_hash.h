// The servicing stack's path hash, as bound from wcp.dll.
#pragma once

#include <cstdint>

// The hash entry point uses the fast-call convention; it only changes the
// calling sequence on 32-bit x86.
#if defined(__i386__)
#define TESSALY_FASTCALL __attribute__((fastcall))
#else
#define TESSALY_FASTCALL
#endif

namespace tessaly {

// Counted UTF-16 string with 32-bit byte lengths. The characters need not be
// terminated.
struct CountedString {
  std::uint32_t length;
  std::uint32_t maximumLength;
  const char16_t* buffer;
};

using DowncaseRoutine = char16_t(TESSALY_FASTCALL*)(char16_t);
using HashRoutine = std::int32_t(TESSALY_FASTCALL*)(const CountedString* text, DowncaseRoutine downcase,
                                                    std::uint64_t* hash);

inline constexpr char kHashExportName[] = "RtlHashLUnicodeString";
inline constexpr char kDowncaseExportName[] = "RtlDowncaseUCSCharacter";

struct ServicingHash {
  HashRoutine hash = nullptr;
  DowncaseRoutine downcase = nullptr;
};

}  // namespace tessaly
