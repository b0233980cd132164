// The device manager's trace points. Trace keeps the calls at the places where
// a developer wants to see what happened, but the library prints nothing: it
// discards its arguments and returns 0. (Pointers are passed as they are; the
// formats are the ones a printing build would use.)
#pragma once

namespace qrvusb {

int Trace(const char *format, ...);

}  // namespace qrvusb
