#include "trace.h"

namespace qrvusb {

int Trace(const char *format, ...) {
    (void)format;
    return 0;
}

}  // namespace qrvusb
