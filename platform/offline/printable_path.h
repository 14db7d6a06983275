// Linux paths in the tool's messages. A file name may hold any byte but "/"
// and NUL; printed raw, a line feed in one could forge a line of output.
#pragma once

#include <string>
#include <string_view>

namespace tessaly::offline {

// The path's bytes as message text: UTF-8 decoded, except that each byte of
// a control character (C0, DEL, C1) and each byte that is not UTF-8 becomes
// "\xHH", and a backslash becomes "\\". Pasted into bash's $'...' quoting,
// the text gives back the path's exact bytes.
std::u16string PrintablePath(std::string_view path);

}  // namespace tessaly::offline
