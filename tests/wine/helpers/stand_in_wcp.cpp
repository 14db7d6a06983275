// Stand-in for the servicing stack library wcp.dll, for the Wine tests. It
// exports the path hash and the downcase routine under wcp.dll's names (see
// the .def files), computed by the tool's own implementation.
#include <cstdint>

#include "servicing/native_path_hash.h"

extern "C" {

std::int32_t TESSALY_FASTCALL StandInHashLUnicodeString(const tessaly::CountedString* text,
                                                        tessaly::DowncaseRoutine downcase, std::uint64_t* hash) {
  return tessaly::NativeHashLUnicodeString(text, downcase, hash);
}

char16_t TESSALY_FASTCALL StandInDowncaseUCSCharacter(char16_t unit) {
  return tessaly::NativeDowncaseCharacter(unit);
}

}  // extern "C"
