; SPDX-License-Identifier: MIT
;
; The installer of the tz4817 updater for 64-bit Windows, for all users of the
; computer, into the folder the wizard's last page sends the New Hardware
; window to: \Program Files\kx\projector\tz4817. It installs the programs,
; the DLLs, the README, the licence and the driver information file, a
; Start-menu shortcut, and an uninstaller registered with Windows; on an
; installer page (a check box, on by default) it installs the projector's
; driver at once with pnputil.
;
; Built by the windows preset (packaging/windows/CMakeLists.txt), which writes
; PAYLOAD: an include file that defines VERSION, OUTFILE, LICENSE_FILE,
; ICON_FILE and the macro QRV_PAYLOAD, the files installed (name in the
; folder, file in the build).
;
; Command line of the installer:
;   /S          silent: installs without a window (the driver only with /DRIVER=1)
;   /DRIVER=0|1 whether the driver is installed at once (default: 1, silent 0)
;   /D=FOLDER   another folder (last, unquoted)
; Exit status: 0 installed; 1 cancelled; 2 failed; 3 installed, but
; installing the driver failed (what pnputil said is in the details).
;
; With QRV_SIGN_UNINSTALLER set in the environment (a command taking the
; file's path, tools/sign-windows.sh CERT KEY), makensis signs the
; uninstaller that the installer writes.

Unicode true
; A 64-bit installer: it sees Program Files, System32 (pnputil) and the
; registry of 64-bit Windows without redirection; the 32-bit default would not
; run at all where Windows has no 32-bit subsystem.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include "${PAYLOAD}"
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define PRODUCT "tz4817 Firmware Updater"
!define PUBLISHER "tz4817 updater developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\tz4817-updater"
!define DEFAULT_FOLDER "$PROGRAMFILES64\kx\projector\tz4817"
!define SHORTCUT "$SMPROGRAMS\OstranUpdater.lnk"
!define EXIT_DRIVER_FAILED 3

!if "$%QRV_SIGN_UNINSTALLER%" != "$${U+25}QRV_SIGN_UNINSTALLER%"
  !uninstfinalize '$%QRV_SIGN_UNINSTALLER% "%1"' = 0
!endif

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${DEFAULT_FOLDER}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion ${VERSION}
VIAddVersionKey /LANG=1033 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileDescription "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 CompanyName "${PUBLISHER}"
VIAddVersionKey /LANG=1033 LegalCopyright "MIT License, ${PUBLISHER}"

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "The updater is free software under the MIT License. Click Next to continue."
!insertmacro MUI_PAGE_LICENSE "${LICENSE_FILE}"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!macro InstallFile Name Source
  File "/oname=${Name}" "${Source}"
!macroend
!macro RemoveFile Name Source
  Delete "$INSTDIR\${Name}"
!macroend

; Runs the uninstaller of an installed version (this one or an older one),
; wherever it was installed, so that installing over it replaces it: its
; files, shortcut and key go, files of the user's stay.
Function RemoveInstalled
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == ""
  ${OrIfNot} ${FileExists} "$0\uninstall.exe"
    Return
  ${EndIf}
  DetailPrint "Removing the version installed in $0"
  ; _?= runs it in place and waits for it; it leaves itself behind.
  ExecWait '"$0\uninstall.exe" /S _?=$0' $1
  ${If} $1 != 0
    DetailPrint "The installed version's uninstaller ended with status $1"
  ${EndIf}
  Delete "$0\uninstall.exe"
  RMDir "$0"
FunctionEnd

Section "tz4817 Firmware Updater (required)" SectionProgram
  SectionIn RO
  Call RemoveInstalled
  SetOutPath "$INSTDIR"
  !insertmacro QRV_PAYLOAD InstallFile
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut starts the program in its folder (where it looks for
  ; tz4817.img first).
  CreateShortCut "${SHORTCUT}" "$INSTDIR\OstranUpdater.exe" "" "$INSTDIR\OstranUpdater.exe" 0 SW_SHOWNORMAL "" \
    "Updates the firmware of a tz4817 projector over USB"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\OstranUpdater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Adds tz4817.inf to Windows' driver store and installs it on a projector
; plugged in now (a projector plugged in later gets it from the store).
; Windows 10 and 11 take it only with its signed catalog tz4817.cat beside
; it; without, pnputil refuses, and the README says how to bind the driver
; by hand.
Section "Projector USB driver (WinUSB), installed now" SectionDriver
  DetailPrint 'Installing the projector driver: pnputil /add-driver "$INSTDIR\tz4817.inf" /install'
  nsExec::ExecToStack '"$SYSDIR\pnputil.exe" /add-driver "$INSTDIR\tz4817.inf" /install'
  Pop $0 ; the exit status, or "error" when pnputil could not be started
  Pop $1 ; what it printed
  DetailPrint "$1"
  ${If} $0 == 0
    DetailPrint "The projector driver is installed."
  ${ElseIf} $0 == 3010
    DetailPrint "The projector driver is installed; Windows must be restarted to use it."
    SetRebootFlag true
  ${ElseIf} $0 == 259
    ; ERROR_NO_MORE_ITEMS: added to the store, no device present needed it.
    DetailPrint "The projector driver was added; Windows installs it when the projector is plugged in."
  ${Else}
    ${If} $0 == "error"
      StrCpy $2 "pnputil.exe could not be started."
    ${Else}
      StrCpy $2 "pnputil ended with status $0:$\r$\n$1"
    ${EndIf}
    DetailPrint "The projector driver was NOT installed: $2"
    StrCpy $2 "The updater is installed, but its driver for the projector could not be installed.$\r$\n$\r$\n$2"
    MessageBox MB_OK|MB_ICONEXCLAMATION \
      "$2$\r$\n$\r$\nREADME.txt in $INSTDIR says how to bind the projector to WinUSB by hand." /SD IDOK
    SetErrorLevel ${EXIT_DRIVER_FAILED}
  ${EndIf}
SectionEnd

Function .onInit
  SetShellVarContext all
  ; The driver at once: on by default in the window, off in silent mode,
  ; /DRIVER=1 or /DRIVER=0 says otherwise.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/DRIVER=" $1
  ${If} ${Errors}
    ${If} ${Silent}
      StrCpy $1 0
    ${Else}
      StrCpy $1 1
    ${EndIf}
  ${EndIf}
  ${If} $1 == 0
    !insertmacro UnselectSection ${SectionDriver}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

; Removes what the installer put there and nothing else: files the user added
; keep the folder.
Section "Uninstall"
  !insertmacro QRV_PAYLOAD RemoveFile
  Delete "$INSTDIR\uninstall.exe"
  Delete "${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  RMDir "$INSTDIR"
  ; The folders above it, when the installer made them and they are empty.
  ${If} $INSTDIR == "${DEFAULT_FOLDER}"
    RMDir "$PROGRAMFILES64\kx\projector"
    RMDir "$PROGRAMFILES64\kx"
  ${EndIf}
SectionEnd
