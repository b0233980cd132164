// SPDX-License-Identifier: MIT
// The real library functions. Kept apart from the sequence so that only
// programs that call exportedLibrary() need qrvusbdll and qrvdldll.
#include "qrvusb.h"
#include "update_sequence/update_sequence.h"

namespace update_sequence {

const UpdateLibrary &exportedLibrary() {
    static const UpdateLibrary library{
        QRV_USBInit, QRV_USBTerm, QRVDL_SwitchAppToBoot, QRVDL_LoadFlash, QRVDL_CmdWriteProgrammingMode,
    };
    return library;
}

}  // namespace update_sequence
