#pragma once

#include <unistd.h>

#include "common/unique_handle.h"

namespace tessaly::posix {

using UniqueFd = UniqueHandle<-1, &::close>;

}  // namespace tessaly::posix
