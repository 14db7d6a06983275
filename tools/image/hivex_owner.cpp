#include "tools/image/hivex_owner.h"

#include <hivex.h>

namespace tessaly::image {

void HiveCloser::operator()(hive_h* hive) const { hivex_close(hive); }

}  // namespace tessaly::image
