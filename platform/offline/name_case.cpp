#include "platform/offline/name_case.h"

#include <locale.h>
#include <wctype.h>

namespace tessaly::offline {
namespace {

// The C.UTF-8 locale knows the Unicode case mappings; the plain C locale
// only those of ASCII, which is what remains if it is missing.
locale_t UnicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char16_t UpcaseUnit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  const locale_t locale = UnicodeLocale();
  if (locale == static_cast<locale_t>(nullptr)) return unit;
  const wint_t upper = towupper_l(unit, locale);
  // A mapping that leaves the 16-bit range has no place in a UTF-16 unit.
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

}  // namespace

std::u16string UpcasedName(std::u16string_view name) {
  std::u16string upcased(name);
  for (char16_t& unit : upcased) unit = UpcaseUnit(unit);
  return upcased;
}

bool ListsBefore(std::u16string_view left, std::u16string_view right) {
  const std::u16string upcasedLeft = UpcasedName(left);
  const std::u16string upcasedRight = UpcasedName(right);
  if (upcasedLeft != upcasedRight) return upcasedLeft < upcasedRight;
  return left < right;
}

}  // namespace tessaly::offline
