// The library's own version, for hosts and tools that report what they loaded.
#pragma once

#include "support/base/Export.h"

extern "C" QUILLON_API const char* quillon_version(void);
