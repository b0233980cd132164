// SPDX-License-Identifier: MIT
// The program's dialog templates. Texts are quoted exactly as they are shown,
// with their runs of blanks; positions are x, y, width, height in dialog units.
#include <array>
#include <cstdio>
#include <cstdlib>

#include "dialog_template.h"
#include "qrv_version.h"
#include "resource_ids.h"

namespace wizard {

namespace {

constexpr const char kDialogFont[] = "MS Sans Serif";
constexpr int kDialogFontPoints = 8;

using enum ControlKind;

// About box.
constexpr std::array kAboutControls{
    ControlTemplate{kUnaddressed, Icon, "", 11, 17, 20, 20, kStyleNone, kProgramIcon},
    ControlTemplate{kUnaddressed, Text, "OstranUpdater Version " QRV_VERSION_SHORT, 40, 10, 119, 8, kStyleNoPrefix, 0},
    ControlTemplate{kUnaddressed, Text, "Firmware updater for tz4817", 40, 25, 119, 8, kStyleNone, 0},
    ControlTemplate{kIdOk, PushButton, "OK", 178, 7, 50, 14, kStyleDefault, 0},
};

// Update dialog, from top to bottom.
constexpr std::array kUpdateControls{
    ControlTemplate{kIdStatusLine, Text, "Press the Update button to begin updating the projector", 53, 7, 178, 21,
                    kStyleCentred, 0},
    ControlTemplate{kIdWarning, Text, "Do NOT interrupt upgrade after it starts!", 53, 33, 178, 21, kStyleCentred, 0},
    ControlTemplate{kIdStage1Check, CheckBox, "", 76, 60, 10, 8, kStyleDisabled, 0},
    ControlTemplate{kIdStage1Label, Text, "Connecting to the projector", 91, 60, 189, 8, kStyleNone, 0},
    ControlTemplate{kIdStage2Check, CheckBox, "", 76, 76, 10, 8, kStyleDisabled, 0},
    ControlTemplate{kIdStage2Label, Text, "Cleaning projector memory", 91, 76, 189, 8, kStyleNone, 0},
    ControlTemplate{kIdStage3Check, CheckBox, "", 76, 93, 10, 8, kStyleDisabled, 0},
    ControlTemplate{kIdStage3Label, Text, "Downloading upgrade image", 91, 93, 189, 8, kStyleNone, 0},
    ControlTemplate{kIdNote, Text,
                    "NOTE:  Update will take about 3 - 7 minutes.  Please be patient.  "
                    "Projector will reboot upon completion of upgrade.",
                    13, 114, 255, 27, kStyleNone, 0},
    ControlTemplate{kIdLengthCaption, Text, "Number of bytes to download:", 54, 147, 103, 8, kStyleNone, 0},
    ControlTemplate{kIdImageLength, Text, "nnn", 192, 147, 44, 8, kStyleRight, 0},
    ControlTemplate{kIdProgressBar, ProgressBar, "", 54, 160, 182, 12, kStyleSmooth | kStyleBorder, 0},
    ControlTemplate{kIdBytesCaption, Text, "Bytes:", 54, 177, 36, 8, kStyleNone, 0},
    ControlTemplate{kIdBytes, Text, "nnn", 98, 177, 37, 8, kStyleRight, 0},
    ControlTemplate{kIdPercentCaption, Text, "Percent:", 163, 177, 44, 8, kStyleNone, 0},
    ControlTemplate{kIdPercent, Text, "nnn", 214, 177, 22, 8, kStyleRight, 0},
    ControlTemplate{kIdUpdateButton, PushButton, "Update", 125, 197, 50, 14, kStyleNone, 0},
};

// Wizard page 1: what the program does.
constexpr std::array kStartControls{
    ControlTemplate{1029, Picture, "", 7, 7, 212, 132, kStyleNone, kProjectorBitmap},
    ControlTemplate{1000, Text, "tz4817 Projector Update Program", 287, 25, 163, 8, kStyleCentred, 0},
    ControlTemplate{1001, Text,
                    "This program helps determine whether the software inside your projector needs to be "
                    "updated, then helps you update the software.",
                    271, 48, 194, 48, kStyleNone, 0},
};

// Wizard page 2: connecting the USB cable.
constexpr std::array kConnectControls{
    ControlTemplate{1020, Picture, "", 17, 21, 200, 120, kStyleNone, kRearPanelBitmap},
    ControlTemplate{1002, Text, "Connecting for software update", 290, 7, 100, 8, kStyleNone, 0},
    ControlTemplate{1004, Text,
                    "1. Connect the 'square' end of the USB cable into the projector.   "
                    "The location at the back of the projector is shown in the picture.",
                    246, 25, 219, 26, kStyleNone, 0},
    ControlTemplate{1005, Text,
                    "2. Connect the 'flat' end of the USB cable to the  PC the software update program is running on.",
                    246, 64, 219, 27, kStyleNone, 0},
    ControlTemplate{1006, Text, "3. Click Next below.", 246, 99, 219, 20, kStyleNone, 0},
};

// Wizard page "4": putting the projector into update mode.
constexpr std::array kAddressControls{
    ControlTemplate{1015, Text, "Putting Projector in Update Mode", 233, 7, 215, 8, kStyleCentred, 0},
    ControlTemplate{1018, Picture, "", 7, 23, 212, 130, kStyleNone, kControlPanelBitmap},
    ControlTemplate{1004, Text, "1. Press the power button to turn off the projector.  Wait for projector to turn off.",
                    230, 26, 218, 23, kStyleNone, 0},
    ControlTemplate{1024, Text, "2. Press and hold the enter button.", 230, 50, 218, 8, kStyleNone, 0},
    ControlTemplate{1025, Text, "3. While holding the enter button, also press and hold the power button.", 230, 65,
                    218, 8, kStyleNone, 0},
    ControlTemplate{1026, Text,
                    "4. After about 5 to 10 seconds, when both indicator lights turn red, release the buttons.   "
                    "Do not release buttons until indicator lights turn red.",
                    230, 80, 215, 24, kStyleNone, 0},
    ControlTemplate{kUnaddressed, Text,
                    "    If a New Hardware window appears on your screen, follow those instructions. "
                    "Select the option to search for a driver, then browse to \\Program Files\\kx\\projector\\tz4817.",
                    237, 111, 211, 27, kStyleNone, 0},
    ControlTemplate{1027, Text, "5. Click Next below.", 230, 145, 218, 8, kStyleNone, 0},
};

constexpr std::array kTemplates{
    DialogTemplate{kAboutTemplate, "About OstranUpdater", 235, 55, kDialogFont, kDialogFontPoints, kAboutControls},
    DialogTemplate{kUpdateDialogTemplate, "tz4817 Projector Update Program", 287, 218, kDialogFont, kDialogFontPoints,
                   kUpdateControls},
    DialogTemplate{kStartPageTemplate, "tz4817 Projector Update Program - Page 1", 472, 146, kDialogFont,
                   kDialogFontPoints, kStartControls},
    DialogTemplate{kConnectPageTemplate, "tz4817 Projector Update Program - Page 2", 472, 149, kDialogFont,
                   kDialogFontPoints, kConnectControls},
    DialogTemplate{kAddressPageTemplate, "tz4817 Projector Update Program - Page 4", 455, 167, kDialogFont,
                   kDialogFontPoints, kAddressControls},
};

}  // namespace

const DialogTemplate &dialogTemplate(int id) {
    for (const DialogTemplate &dialog : kTemplates) {
        if (dialog.id == id) return dialog;
    }
    std::fprintf(stderr, "no dialog template %d\n", id);
    std::abort();
}

}  // namespace wizard
