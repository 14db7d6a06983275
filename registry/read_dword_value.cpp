#include "registry/read_dword_value.h"

namespace tessaly {

Win32Status ReadDwordValue(Registry& registry, KeyHandle key, const char16_t* valueName,
                           std::uint32_t* value) {
  std::uint32_t type = 0;
  std::uint32_t size = sizeof(*value);
  std::uint8_t data[sizeof(*value)] = {};
  const Win32Status status = registry.QueryValueEx(key, valueName, &type, data, &size);
  if (status != Win32Status::Success) return status;
  if (type != kRegDword) return Win32Status::UnsupportedType;
  *value = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  return Win32Status::Success;
}

}  // namespace tessaly
