; Installer of the OBS plugin for an OBS installed on the machine (Program Files or wherever its
; installer put it). Built on Linux by scripts/package.sh windows:
;   makensis -DVERSION=x.y.z -DSTAGE=<plugin folder with bin/64bit and data> -DOUTFILE=<exe>
; Layout inside the OBS folder, where that OBS loads plugins from and where the plugin starts its
; agent (beside its own DLL):
;   obs-plugins\64bit\tunelight.dll, obs-plugins\64bit\tunelight-agent.exe
;   data\obs-plugins\tunelight\ (locale files, images, and the uninstaller)
; Silent: setup.exe /S [/D=C:\path\to\obs-studio]   (the folder last, without quotes)

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef VERSION | STAGE | OUTFILE
  !error "VERSION, STAGE and OUTFILE must be defined"
!endif

!define NAME "Tunelight"
!define PUBLISHER "Tunelight project"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tunelight"
!define OBS_KEY "Software\OBS Studio"
!define BIN_DIR "obs-plugins\64bit"
!define DATA_DIR "data\obs-plugins\tunelight"
!define UNINSTALLER "uninstall.exe"

Name "${NAME} ${VERSION}"
Caption "${NAME} ${VERSION} for OBS Studio"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"
; No InstallDir: $INSTDIR is empty in .onInit unless /D= was given, which tells the two apart.

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${NAME} ${VERSION} setup (OBS plugin)"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ABORTWARNING
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup installs ${NAME} into the OBS Studio folder below: the \
  folder that holds bin, data and obs-plugins. It was taken from OBS's own installation; choose \
  another one if you run OBS from elsewhere.$\r$\n$\r$\nClose OBS before you continue."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "OBS Studio folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckObsFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "${NAME} is installed. Start OBS Studio and add a source of type \
  $\"Tunelight: now playing card$\"."
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; OBS keeps the plugin's DLL loaded and its agent running while it is open, and a loaded DLL or a
; running program cannot be opened for writing. Trying that on the installed files asks exactly
; the question that matters (can they be replaced?) without a process list, which plain NSIS
; lacks, or a window class, which changes with OBS's Qt version; an OBS started from another
; folder does not hold these files and does not block.
; Leaves $0 = 1 when a file is held.
!macro FilesInUse ROOT
  StrCpy $0 0
  Push $1
  Push $2
  ${ForEach} $2 0 1 + 1
    ${If} $2 = 0
      StrCpy $1 "${ROOT}\${BIN_DIR}\tunelight.dll"
    ${Else}
      StrCpy $1 "${ROOT}\${BIN_DIR}\tunelight-agent.exe"
    ${EndIf}
    ${If} ${FileExists} $1
      ClearErrors
      FileOpen $R9 $1 a
      ${If} ${Errors}
        StrCpy $0 1
      ${Else}
        FileClose $R9
      ${EndIf}
    ${EndIf}
  ${Next}
  Pop $2
  Pop $1
!macroend

; Asks to close OBS until the files are free; in silent mode, or when cancelled, ends with exit
; code 2 and nothing changed.
!macro WaitForObs ROOT
  ${Do}
    !insertmacro FilesInUse "${ROOT}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "OBS Studio is running and holds ${NAME}'s \
      files in $\"${ROOT}$\".$\r$\n$\r$\nClose OBS Studio, then choose Retry." /SD IDCANCEL \
      IDRETRY +3
    SetErrorLevel 2
    Quit
  ${Loop}
!macroend

; Every file and folder the installer puts into an OBS folder; folders it may have created are
; removed only when empty.
!macro RemoveFiles ROOT
  Delete "${ROOT}\${BIN_DIR}\tunelight.dll"
  Delete "${ROOT}\${BIN_DIR}\tunelight-agent.exe"
  RMDir /r "${ROOT}\${DATA_DIR}"
  RMDir "${ROOT}\${BIN_DIR}"
  RMDir "${ROOT}\obs-plugins"
  RMDir "${ROOT}\data\obs-plugins"
  RMDir "${ROOT}\data"
!macroend

Var Previous ; OBS folder of an earlier install, from its uninstall entry

Function .onInit
  SetRegView 64
  ReadRegStr $Previous HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $INSTDIR == ""
    ; An upgrade goes where the earlier version is; otherwise where OBS's installer put OBS.
    ${If} ${FileExists} "$Previous\${BIN_DIR}\tunelight.dll"
      StrCpy $INSTDIR $Previous
    ${Else}
      ReadRegStr $INSTDIR HKLM "${OBS_KEY}" ""
      ${If} $INSTDIR == ""
        StrCpy $INSTDIR "$PROGRAMFILES64\obs-studio"
      ${EndIf}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function CheckObsFolder
  ${IfNot} ${FileExists} "$INSTDIR\bin\64bit\obs64.exe"
    MessageBox MB_YESNO|MB_ICONQUESTION "$\"$INSTDIR$\" does not look like an OBS Studio \
      folder (there is no bin\64bit\obs64.exe).$\r$\n$\r$\nInstall there anyway?" IDYES +2
    Abort
  ${EndIf}
FunctionEnd

Section "Install"
  !insertmacro WaitForObs "$INSTDIR"
  ; One copy only: an earlier version in another OBS folder goes, and so do files an earlier
  ; version had that this one no longer ships.
  ${If} $Previous != ""
  ${AndIf} $Previous != $INSTDIR
    !insertmacro WaitForObs "$Previous"
    !insertmacro RemoveFiles "$Previous"
  ${EndIf}
  RMDir /r "$INSTDIR\${DATA_DIR}"

  SetOutPath "$INSTDIR\${BIN_DIR}"
  File "${STAGE}\bin\64bit\tunelight.dll"
  File "${STAGE}\bin\64bit\tunelight-agent.exe"
  SetOutPath "$INSTDIR\${DATA_DIR}"
  File /r "${STAGE}\data\*"
  WriteUninstaller "$INSTDIR\${DATA_DIR}\${UNINSTALLER}"

  ; The "Apps & features" entry.
  StrCpy $1 "$INSTDIR\${DATA_DIR}\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME} (OBS Studio plugin)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$1"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$1"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$1" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KiB, as Windows expects.
  ${GetSize} "$INSTDIR\${DATA_DIR}" "/S=0K" $2 $3 $4
  ${GetSize} "$INSTDIR\${BIN_DIR}" "/M=tunelight*.* /S=0K /G=0" $3 $4 $5
  IntOp $2 $2 + $3
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $2
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  ; The uninstaller lives in <OBS folder>\data\obs-plugins\tunelight.
  GetFullPathName $0 "$INSTDIR\..\..\.."
  StrCpy $R0 $0
  !insertmacro WaitForObs "$R0"
  !insertmacro RemoveFiles "$R0"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
