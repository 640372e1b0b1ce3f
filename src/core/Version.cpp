#include "core/Version.h"

#ifndef TARVO_VERSION_TEXT
#error "TARVO_VERSION_TEXT comes from the build (TARVO_VERSION)"
#endif

namespace tarvo {

const char* const appVersion = TARVO_VERSION_TEXT;

}  // namespace tarvo
