; The Velkaro installer, built by scripts/windows with makensis:
;   makensis -DVERSION=1.1 -DSTAGE=<folder of the programs> -DPAYLOAD=<payload.nsh>
;            -DOUTFILE=<setup.exe> velkaro.nsi
; PAYLOAD names every file of STAGE (macros InstallPayload and
; UninstallPayload), so that the uninstaller removes those files by name:
; the folder chosen may hold other programs' files as well.
; Installs for the current user, without administrator rights, into
; %LOCALAPPDATA%\Programs\Velkaro: the program keeps the port choice in
; COM-BAUD.txt beside velkaro.exe, so that folder must be the user's to write.
; /S installs (or, given to the uninstaller, uninstalls) silently.

; A 64-bit installer, like the programs it installs.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "MUI2.nsh"
!include "${PAYLOAD}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velkaro"

Name "Velkaro ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Velkaro"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Velkaro ${VERSION}"

!define MUI_ICON "${STAGE}\velkaro.ico"
!define MUI_UNICON "${STAGE}\velkaro.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\velkaro.exe"
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Velkaro"
    SetShellVarContext current
    !insertmacro InstallPayload
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\Velkaro.lnk" "$INSTDIR\velkaro.exe" "" "$INSTDIR\velkaro.exe" 0
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Velkaro"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velkaro.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Always: the programs, libraries, notices, the Start-menu entry and the
; uninstaller's entry. The port choice stays unless the next section is chosen.
Section "-un.Velkaro"
    SetShellVarContext current
    Delete "$SMPROGRAMS\Velkaro.lnk"
    !insertmacro UninstallPayload
    Delete "$INSTDIR\uninstall.exe"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; Off unless ticked, and so never part of a silent uninstall.
Section /o "un.Remove the stored port choice (COM-BAUD.txt)"
    Delete "$INSTDIR\COM-BAUD.txt"
SectionEnd

Section "-un.Folder"
    ; Only when empty: a kept port choice keeps the folder.
    RMDir "$INSTDIR"
SectionEnd
