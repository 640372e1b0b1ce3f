#include "support/TestSupport.h"

namespace tarvo::test {

std::string tarvoBinary() {
    const char* v = getenv("TARVO_BINARY");
    return v && *v ? v : TARVO_BINARY_DEFAULT;
}

std::string sourceDir() {
    const char* v = getenv("TARVO_SOURCE_DIR");
    return v && *v ? v : TARVO_SOURCE_DIR_DEFAULT;
}

}  // namespace tarvo::test
