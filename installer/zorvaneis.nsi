; The setup program: installs the "C:\Program Files" layout, registers the
; watchdog service with Dromlet, upgrades in place and removes it all again.
; build-installer.cmake defines ZV_VERSION, ZV_PUBLISHER, ZV_PAYLOAD and ZV_OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include FileFunc.nsh
!include LogicLib.nsh
!include MUI2.nsh
!include "${ZV_PAYLOAD}"

!define ZV_PRODUCT "Zorvane Information Server"
!define ZV_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZorvaneIS"
!define ZV_RECORD_KEY "SOFTWARE\ZorvaneIS"
!define ZV_SERVICE_FOLDER "$PROGRAMFILES64\ZorvaneService"
!define ZV_SITE_FOLDER "$PROGRAMFILES64\ZorvaneIs\site"
!define ZV_DROMLET "${ZV_SERVICE_FOLDER}\Dromlet.exe"
!define ZV_UNINSTALLER "${ZV_SERVICE_FOLDER}\Uninstall.exe"
; With SetShellVarContext all, $APPDATA is ProgramData.
!define ZV_LOG "$APPDATA\Tovimar\ZorvaneService\service.log"

Name "${ZV_PRODUCT} ${ZV_VERSION}"
OutFile "${ZV_OUTFILE}"
; Dromlet and the watchdog look for the programs at fixed paths: no folder choice.
InstallDir "${ZV_SERVICE_FOLDER}"
BrandingText "${ZV_PUBLISHER} - ${ZV_PRODUCT} ${ZV_VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${ZV_VERSION}"
VIFileVersion "${ZV_VERSION}"
VIAddVersionKey /LANG=1033 ProductName "${ZV_PRODUCT}"
VIAddVersionKey /LANG=1033 ProductVersion "${ZV_VERSION}"
VIAddVersionKey /LANG=1033 CompanyName "${ZV_PUBLISHER}"
VIAddVersionKey /LANG=1033 FileDescription "${ZV_PRODUCT} ${ZV_VERSION} setup"
VIAddVersionKey /LANG=1033 FileVersion "${ZV_VERSION}"
VIAddVersionKey /LANG=1033 LegalCopyright "${ZV_PUBLISHER}"

!define MUI_WELCOMEPAGE_TITLE "${ZV_PRODUCT} ${ZV_VERSION}"
!define MUI_WELCOMEPAGE_TEXT "Publisher: ${ZV_PUBLISHER}$\r$\n$\r$\nSetup installs the server into $PROGRAMFILES64\ZorvaneIs and the watchdog service ZorvaneISSvc into ${ZV_SERVICE_FOLDER}, and starts the service.$\r$\n$\r$\nAn installed system is upgraded in place: zorvaneis.cfg and the files under site\ are kept."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English

; Runs the Dromlet at `program` with `verb` and waits for it; on a status
; other than 0 the step fails with Dromlet's own text (silent mode: the exit
; code tells).
!macro ZvDromlet program verb
    DetailPrint "Dromlet ${verb}"
    nsExec::ExecToStack '"${program}" ${verb}'
    Pop $0
    Pop $1
    ${If} $0 != 0
        DetailPrint "Dromlet ${verb} failed (status $0): $1"
        MessageBox MB_OK|MB_ICONSTOP "Dromlet ${verb} failed (status $0):$\r$\n$\r$\n$1" /SD IDOK
        SetErrorLevel 2
        Abort "Dromlet ${verb} failed (status $0)"
    ${EndIf}
!macroend

; " --account NAME" from /ACCOUNT=NAME, else empty: an upgrade keeps the installed account.
Var ZvAccountWords

; Files of the payload that could not be written or deleted, one a line.
Var ZvFailedFiles

; After each File and Delete of the payload: a file in use sets the error
; flag, and silent mode would pass over it and leave the old file in place.
!macro ZvCheckFile target
    ${If} ${Errors}
        DetailPrint "Failed: ${target}"
        StrCpy $ZvFailedFiles "$ZvFailedFiles$\r$\n${target}"
        ClearErrors
    ${EndIf}
!macroend

; Ends the step when ZvCheckFile noted a file: `what` says what went wrong.
!macro ZvFailOnFiles what advice
    ${If} $ZvFailedFiles != ""
        MessageBox MB_OK|MB_ICONSTOP "${what}:$\r$\n$ZvFailedFiles$\r$\n$\r$\n${advice}" /SD IDOK
        SetErrorLevel 2
        Abort "${what}"
    ${EndIf}
!macroend

Function .onInit
    SetRegView 64
    SetShellVarContext all
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/ACCOUNT=" $1
    ${IfNot} ${Errors}
        StrCpy $ZvAccountWords ' --account "$1"'
    ${EndIf}
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Install"
    ; The service stops and every launcher ends before the programs are
    ; replaced. The new Dromlet does it from the temporary folder: the
    ; installed one may be older, and stays free to be replaced.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "${ZV_NEW_DROMLET}"
    !insertmacro ZvDromlet "$PLUGINSDIR\Dromlet.exe" release

    ClearErrors
    !insertmacro ZvInstallFiles
    WriteUninstaller "${ZV_UNINSTALLER}"

    ; Registered before Dromlet runs, so that a failed install can be removed.
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" DisplayName "${ZV_PRODUCT}"
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" DisplayVersion "${ZV_VERSION}"
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" Publisher "${ZV_PUBLISHER}"
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" InstallLocation "${ZV_SERVICE_FOLDER}"
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" DisplayIcon "$PROGRAMFILES64\ZorvaneIs\zorvaneis.exe"
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" UninstallString '"${ZV_UNINSTALLER}"'
    WriteRegStr HKLM "${ZV_UNINSTALL_KEY}" QuietUninstallString '"${ZV_UNINSTALLER}" /S'
    WriteRegDWORD HKLM "${ZV_UNINSTALL_KEY}" EstimatedSize ${ZV_SIZE_KB}
    WriteRegDWORD HKLM "${ZV_UNINSTALL_KEY}" NoModify 1
    WriteRegDWORD HKLM "${ZV_UNINSTALL_KEY}" NoRepair 1

    !insertmacro ZvFailOnFiles "Setup could not replace these files, which are in use" \
        "The service stays stopped. End the programs that use these files and run setup again."
    !insertmacro ZvDromlet "${ZV_DROMLET}" "install$ZvAccountWords"
SectionEnd

Section "Uninstall"
    ; Dromlet ends the service and the launchers, waits for their processes
    ; and deletes the service before their files go.
    ${If} ${FileExists} "${ZV_DROMLET}"
        !insertmacro ZvDromlet "${ZV_DROMLET}" release
        !insertmacro ZvDromlet "${ZV_DROMLET}" uninstall
    ${EndIf}

    ClearErrors
    !insertmacro ZvRemoveFiles
    ; The uninstaller and its entry stay, so that the removal can be run again.
    !insertmacro ZvFailOnFiles "These files could not be deleted, they are in use" \
        "End the programs that use them and remove the server again."
    Delete "${ZV_UNINSTALLER}"
    !insertmacro ZvRemoveFolders
    DeleteRegKey HKLM "${ZV_RECORD_KEY}"
    DeleteRegKey HKLM "${ZV_UNINSTALL_KEY}"

    ${If} ${FileExists} "${ZV_SITE_FOLDER}\*.*"
        DetailPrint "Kept: ${ZV_SITE_FOLDER} (files that setup did not install)"
        MessageBox MB_OK|MB_ICONINFORMATION "Files under ${ZV_SITE_FOLDER} that setup did not install were kept." /SD IDOK
    ${EndIf}
    DetailPrint "Kept: the service log ${ZV_LOG}"
SectionEnd
