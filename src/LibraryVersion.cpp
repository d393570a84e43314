#include "LibraryVersion.h"

extern "C" const char* quillon_version(void) { return QUILLON_VERSION_STRING; }
