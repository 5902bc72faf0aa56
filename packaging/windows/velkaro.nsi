; The Velkaro installer, built by scripts/windows with makensis:
;   makensis -DVERSION=1.1 -DPUBLISHER=<name> -DURL=<home page> -DSIZE_KB=<size>
;            -DSTAGE=<folder of the programs> -DPAYLOAD=<payload.nsh>
;            -DOUTFILE=<setup.exe> velkaro.nsi
; PAYLOAD names every file of STAGE (macros InstallPayload and
; UninstallPayload), so that the uninstaller removes those files by name.
; Installs for the current user, without administrator rights, into
; %LOCALAPPDATA%\Programs\Velkaro: the program keeps the port choice in
; COM-BAUD.txt beside velkaro.exe, so that folder must be the user's to write.
; /S installs (or, given to the uninstaller, uninstalls) silently.
;
; What it refuses, before it writes anything, with a message (silent: with
; a non-zero exit status alone):
; - Windows older than MIN_BUILD, on which Qt's Windows plugin does not run;
; - a folder that holds anything but an earlier Velkaro installation (its
;   uninstall record names the folder) or the port choice an uninstall kept:
;   another program's files would be overwritten and later deleted;
; - a second installation for the same user: the uninstall record names the
;   first, which has to be uninstalled first (there is one record per user);
; - while velkaro.exe or velkaro-cli.exe runs from the folder, whose files
;   could not be replaced (or removed) and would leave versions mixed.

; A 64-bit installer, like the programs it installs.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "LogicLib.nsh"
!include "MUI2.nsh"
!include "WinVer.nsh"
!include "${PAYLOAD}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velkaro"
; Windows 10 version 1809, the oldest that Qt 6.4 supports.
!define MIN_BUILD 17763
!define MIN_WINDOWS "Windows 10 version 1809 (build ${MIN_BUILD})"
; The stored port choice, which an uninstall may keep.
!define PORT_FILE "COM-BAUD.txt"

Name "Velkaro ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Velkaro"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Velkaro ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIFileVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "Velkaro"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Velkaro ${VERSION} installer"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}, MIT licence"

!define MUI_ICON "${STAGE}\velkaro.ico"
!define MUI_UNICON "${STAGE}\velkaro.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\velkaro.exe"
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckChosenFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Ends a silent run with status 2 once the reason has been "shown" (a silent
; run shows nothing); in a dialog, the operator has read it.
!macro Refuse TEXT
    MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
    SetErrorLevel 2
    Quit
!macroend

; Sets VAR to the first of the programs that runs from FOLDER, or to "".
; A program file that runs cannot be opened for writing.
!macro RunningProgram VAR FOLDER
    StrCpy ${VAR} ""
    ${If} ${FileExists} "${FOLDER}\velkaro.exe"
        ClearErrors
        FileOpen $R9 "${FOLDER}\velkaro.exe" a
        ${If} ${Errors}
            StrCpy ${VAR} "velkaro.exe"
        ${Else}
            FileClose $R9
        ${EndIf}
    ${EndIf}
    ${If} ${VAR} == ""
    ${AndIf} ${FileExists} "${FOLDER}\velkaro-cli.exe"
        ClearErrors
        FileOpen $R9 "${FOLDER}\velkaro-cli.exe" a
        ${If} ${Errors}
            StrCpy ${VAR} "velkaro-cli.exe"
        ${Else}
            FileClose $R9
        ${EndIf}
    ${EndIf}
!macroend

; Asks until no program runs from the folder; a silent run, or Cancel, ends
; with status 2, nothing written.
!macro WaitForPrograms FOLDER
    ${Do}
        !insertmacro RunningProgram $R8 "${FOLDER}"
        ${If} $R8 == ""
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R8 is running from ${FOLDER}.$\r$\nClose it, then choose Retry." /SD IDCANCEL IDRETRY retry
        SetErrorLevel 2
        Quit
        retry:
    ${Loop}
!macroend

; Why the installation cannot go into $INSTDIR, or "" in $R0.
Function FolderRefusal
    StrCpy $R0 ""
    ReadRegStr $R1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ; The user's installation, where its uninstaller still is.
    ${If} $R1 != ""
    ${AndIfNot} ${FileExists} "$R1\uninstall.exe"
        StrCpy $R1 ""
    ${EndIf}
    ${If} $R1 != ""
        ; Compared without regard to case, as Windows names folders.
        ${If} $R1 != $INSTDIR
            StrCpy $R0 "Velkaro is already installed in $R1.$\r$\nInstall it there to update it, or uninstall it first (Settings, Apps)."
        ${EndIf}
        Return
    ${EndIf}
    ; Otherwise only an empty folder, or one holding just a kept port choice.
    FindFirst $R2 $R3 "$INSTDIR\*"
    ${DoWhile} $R3 != ""
        ${If} $R3 != "."
        ${AndIf} $R3 != ".."
        ${AndIf} $R3 != "${PORT_FILE}"
            StrCpy $R0 "$INSTDIR already holds other files ($R3, ...).$\r$\nVelkaro installs only into an empty folder or over its own earlier installation: choose another folder."
            ${Break}
        ${EndIf}
        FindNext $R2 $R3
    ${Loop}
    FindClose $R2
FunctionEnd

Function CheckChosenFolder
    Call FolderRefusal
    ${If} $R0 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "$R0"
        Abort
    ${EndIf}
FunctionEnd

Function .onInit
    ${IfNot} ${AtLeastBuild} ${MIN_BUILD}
        !insertmacro Refuse "Velkaro needs ${MIN_WINDOWS} or later."
    ${EndIf}
FunctionEnd

Section "Velkaro"
    SetShellVarContext current
    ; Checked again here: a silent installation has no pages.
    Call FolderRefusal
    ${If} $R0 != ""
        !insertmacro Refuse "$R0"
    ${EndIf}
    !insertmacro WaitForPrograms "$INSTDIR"
    !insertmacro InstallPayload
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\Velkaro.lnk" "$INSTDIR\velkaro.exe" "" "$INSTDIR\velkaro.exe" 0
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Velkaro"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velkaro.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "URLInfoAbout" "${URL}"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
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
    !insertmacro WaitForPrograms "$INSTDIR"
    Delete "$SMPROGRAMS\Velkaro.lnk"
    !insertmacro UninstallPayload
    Delete "$INSTDIR\uninstall.exe"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; Off unless ticked, and so never part of a silent uninstall.
Section /o "un.Remove the stored port choice (${PORT_FILE})"
    Delete "$INSTDIR\${PORT_FILE}"
SectionEnd

Section "-un.Folder"
    ; Only when empty: a kept port choice keeps the folder.
    RMDir "$INSTDIR"
SectionEnd
