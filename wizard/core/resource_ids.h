// SPDX-License-Identifier: MIT
// Numbered resources of the program: dialog templates, control ids, bitmaps,
// the icon and the strings, as code and tests address them.
#pragma once

namespace wizard {

// Dialog templates.
inline constexpr int kAboutTemplate = 100;
inline constexpr int kUpdateDialogTemplate = 102;
inline constexpr int kStartPageTemplate = 106;
inline constexpr int kConnectPageTemplate = 107;
inline constexpr int kAddressPageTemplate = 109;

// Icon, bitmaps, strings.
inline constexpr int kProgramIcon = 128;
inline constexpr int kProjectorBitmap = 130;
inline constexpr int kRearPanelBitmap = 131;
inline constexpr int kControlPanelBitmap = 133;
inline constexpr int kAboutMenuString = 101;

// Controls of the update dialog (template 102).
inline constexpr int kIdStatusLine = 1037;
inline constexpr int kIdWarning = 1045;
inline constexpr int kIdStage1Check = 1041;
inline constexpr int kIdStage1Label = 1038;
inline constexpr int kIdStage2Check = 1042;
inline constexpr int kIdStage2Label = 1039;
inline constexpr int kIdStage3Check = 1043;
inline constexpr int kIdStage3Label = 1040;
inline constexpr int kIdNote = 1028;
inline constexpr int kIdLengthCaption = 1032;
inline constexpr int kIdImageLength = 1031;
inline constexpr int kIdProgressBar = 1030;
inline constexpr int kIdBytesCaption = 1033;
inline constexpr int kIdBytes = 1034;
inline constexpr int kIdPercentCaption = 1035;
inline constexpr int kIdPercent = 1036;
inline constexpr int kIdUpdateButton = 1044;

// Buttons of the wizard frame.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdHelp = 9;
inline constexpr int kIdBack = 0x3023;
inline constexpr int kIdNext = 0x3024;
inline constexpr int kIdFinish = 0x3025;

// System menu command of the update dialog that opens the About box.
inline constexpr unsigned kIdmAboutBox = 0x0010;

}  // namespace wizard
