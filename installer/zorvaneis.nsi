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

; Runs Dromlet with `verb` and waits for it; on a status other than 0 the
; step fails with Dromlet's own text (silent mode: the exit code tells).
!macro ZvDromlet verb
    DetailPrint "Dromlet ${verb}"
    nsExec::ExecToStack '"${ZV_DROMLET}" ${verb}'
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
    ; An installed system: its service stops, so that the programs can be replaced.
    ${If} ${FileExists} "${ZV_DROMLET}"
        !insertmacro ZvDromlet stop
    ${EndIf}

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

    !insertmacro ZvDromlet "install$ZvAccountWords"
SectionEnd

Section "Uninstall"
    ; Dromlet deletes the service and ends the launchers before their files go.
    ${If} ${FileExists} "${ZV_DROMLET}"
        !insertmacro ZvDromlet uninstall
    ${EndIf}

    !insertmacro ZvRemoveFiles
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
