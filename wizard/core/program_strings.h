// SPDX-License-Identifier: MIT
// Every text that the program's windows show and that is not part of a
// dialog template: the string table, the update dialog's status lines and
// button caption, the wizard's Finish captions, the message boxes and the
// file dialog. UTF-8; "\n" is a line feed, which a message text ends with.
// The texts of the controls as the dialogs open are in the templates
// (templates.cpp); the message texts of the update itself, kInitFailedMessage
// and kLoadFailedMessage, are the update sequence's (update_sequence.h).
#pragma once

#include <string>

namespace wizard {

// The program's name: the title of every message box, the name in --version.
inline constexpr char kProgramName[] = "OstranUpdater";

// String `id` of the string table (101: the About entry of the system
// menu), or empty when there is none. Any thread.
std::string programString(int id);

// Caption of the wizard sheet (each page's caption replaces it as the title).
inline constexpr char kWizardCaption[] = "Update Wizard";
// The Finish button's caption on the last wizard page, and the one set (and
// hidden again at once) when going back from it: one has a blank before the
// angle bracket, the other none.
inline constexpr char kNextWithBlank[] = "Next >";
inline constexpr char kNextWithoutBlank[] = "Next>";

// The update dialog's status line (1037) while the update runs and after it;
// the caption of its button (1044) once the update has ended.
inline constexpr char kStatusRunning[] = "Update in Progress";
inline constexpr char kStatusDone[] = "Update is Done!  Press Finish Button to close window.";
inline constexpr char kStatusFailed[] = "Update Failed!  Press Finish Button to close window.";
inline constexpr char kFinishText[] = "Finish";

// The box after an update whose projector did not confirm leaving
// programming mode; kPowerCycleWarning (update_sequence.h) is its detail.
inline constexpr char kPowerCycleMessage[] =
    "Update is Done!\nSwitch the projector off and on again to start the new firmware.\n";

// The file dialog that asks for the image when none was given and the
// working folder has none: its title, and its two filters (a name shown and
// the pattern of the files it lists), *.img files first. It opens in the
// working folder.
inline constexpr char kChooseImageTitle[] = "Open the firmware image (tz4817.img)";
struct FileFilter {
    const char *name;
    const char *pattern;
};
inline constexpr FileFilter kImageFileFilters[] = {{"Firmware images", "*.img"}, {"All files", "*"}};

}  // namespace wizard
