// The servicing stack's path hash computed by this tool, for places where
// wcp.dll is not there to call. Both functions have the shape of the wcp.dll
// exports, so they can be exported from a stand-in library or bound directly.
#pragma once

#include <cstdint>

#include "servicing/servicing_hash.h"

namespace tessaly {

// Simple Unicode lower-case mapping of one UTF-16 code unit.
char16_t TESSALY_FASTCALL NativeDowncaseCharacter(char16_t unit);

// Hashes the down-cased code units into four accumulators (unit i goes to
// accumulator i mod 4) and folds them into one 64-bit value. ASCII letters
// are down-cased directly; other units go through downcase, or through
// NativeDowncaseCharacter when downcase is null. Always returns 0.
std::int32_t TESSALY_FASTCALL NativeHashLUnicodeString(const CountedString* text, DowncaseRoutine downcase,
                                                       std::uint64_t* hash);

inline ServicingHash NativeServicingHash() { return {NativeHashLUnicodeString, NativeDowncaseCharacter}; }

}  // namespace tessaly
