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
!define ZV_FIREWALL_RULE "Zorvane Information Server"
!define ZV_NETSH '"$SYSDIR\netsh.exe" advfirewall firewall'
; What a new installation asks for when no switch says otherwise.
!define ZV_NEW_HEALTH_CHECK "http://127.0.0.1:1465/"
!define ZV_NEW_HEALTH_MAX_STATUS 599
!define ZV_NEW_LOG_MAX_MB 10
!define ZV_NEW_LOG_KEEP 5

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

; The switches' values, each checked in .onInit before it goes on a command
; line: empty when the switch was not given.
Var ZvAccount
Var ZvRelaunch
Var ZvHealthCheck
Var ZvHealthMaxStatus
Var ZvLogMaxMb
Var ZvFirewall
; The words for Dromlet install that the switches (and, on a new
; installation, the defaults) make.
Var ZvInstallWords

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

; Ends setup before anything changes: `message` names the switch and what it
; takes (silent mode: exit code 2).
!macro ZvRefuse message
    MessageBox MB_OK|MB_ICONSTOP "${message}" /SD IDOK
    SetErrorLevel 2
    Abort
!macroend

; $R0 "1" when the text in $R1 is a number from $R2 to $R3 in decimal
; digits without a leading zero (IntCmp would read one as octal).
Function ZvNumberInRange
    StrCpy $R0 ""
    StrLen $R4 $R1
    StrCpy $R5 $R1 1
    ${If} $R4 < 1
    ${OrIf} $R4 > 5
    ${OrIf} $R5 == "0"
        Return
    ${EndIf}
    ${For} $R6 0 $R4
        StrCpy $R5 $R1 1 $R6
        ${If} $R5 != ""
            StrCpy $R7 "0123456789" 1
            ${Do}
                ${IfThen} $R5 == $R7 ${|} ${ExitDo} ${|}
                ${IfThen} $R7 == "9" ${|} Return ${|}
                IntOp $R7 $R7 + 1
            ${Loop}
        ${EndIf}
    ${Next}
    ${If} $R1 >= $R2
    ${AndIf} $R1 <= $R3
        StrCpy $R0 1
    ${EndIf}
FunctionEnd

; $R0 "1" when $R1 is an http:// or https:// URL with a host, holding no
; double quote, blank or line break (one word on any command line), no user
; name and no port outside 1 to 65535: what the watchdog's parser refuses
; must be refused here, before the service is stopped.
Function ZvPlainUrl
    StrCpy $R0 ""
    StrCpy $R4 $R1 7
    StrCpy $R5 $R1 8
    ${If} $R4 == "http://"
        StrCpy $R8 7
    ${ElseIf} $R5 == "https://"
        StrCpy $R8 8
    ${Else}
        Return
    ${EndIf}
    StrCpy $R6 $R1 1 $R8
    ${If} $R6 == ""
    ${OrIf} $R6 == "/"
    ${OrIf} $R6 == ":"
    ${OrIf} $R6 == "?"
    ${OrIf} $R6 == "#"
        Return
    ${EndIf}
    ; $R9: where the loop is (host, port, rest); $R7 the port's digits;
    ; $R3 "1" when the host part ended in a port.
    StrCpy $R9 host
    StrCpy $R7 ""
    StrCpy $R3 ""
    StrLen $R4 $R1
    ${For} $R6 0 $R4
        StrCpy $R5 $R1 1 $R6
        ${If} $R5 == '"'
        ${OrIf} $R5 == " "
        ${OrIf} $R5 == "$\t"
        ${OrIf} $R5 == "$\r"
        ${OrIf} $R5 == "$\n"
            Return
        ${EndIf}
        ${If} $R6 >= $R8
        ${AndIf} $R9 != rest
            ${If} $R5 == "/"
            ${OrIf} $R5 == "?"
            ${OrIf} $R5 == "#"
            ${OrIf} $R5 == ""
                ${IfThen} $R9 == port ${|} StrCpy $R3 1 ${|}
                StrCpy $R9 rest
            ${ElseIf} $R5 == "@"
                Return
            ${ElseIf} $R5 == "]"
                ; the colons of an IPv6 address are no port
                StrCpy $R9 host
            ${ElseIf} $R5 == ":"
                StrCpy $R9 port
                StrCpy $R7 ""
            ${ElseIf} $R9 == port
                StrCpy $R7 "$R7$R5"
            ${EndIf}
        ${EndIf}
    ${Next}
    ${If} $R3 == 1
        StrCpy $R1 $R7
        StrCpy $R2 1
        StrCpy $R3 65535
        Call ZvNumberInRange
    ${Else}
        StrCpy $R0 1
    ${EndIf}
FunctionEnd

; $R0 the value of the switch $R1 ("/NAME=", letter case ignored) in the
; parameters $0: the text up to the next blank, without one pair of
; enclosing double quotes; the error flag set when the switch is not given.
; (GetOptions ends a value at the next "/", which cuts every URL short.)
Function ZvReadSwitch
    StrCpy $R0 ""
    StrLen $R2 $R1
    StrLen $R3 $0
    ${For} $R4 0 $R3
        StrCpy $R5 $0 $R2 $R4
        IntOp $R6 $R4 - 1
        StrCpy $R7 $0 1 $R6
        ${IfThen} $R4 == 0 ${|} StrCpy $R7 " " ${|}
        ${If} $R5 == $R1
        ${AndIf} $R7 == " "
            IntOp $R4 $R4 + $R2
            ${Do}
                StrCpy $R5 $0 1 $R4
                ${If} $R5 == ""
                ${OrIf} $R5 == " "
                    ${ExitDo}
                ${EndIf}
                StrCpy $R0 "$R0$R5"
                IntOp $R4 $R4 + 1
            ${Loop}
            StrCpy $R5 $R0 1
            StrCpy $R6 $R0 1 -1
            StrLen $R7 $R0
            ${If} $R5 == '"'
            ${AndIf} $R6 == '"'
            ${AndIf} $R7 >= 2
                StrCpy $R0 $R0 -1 1
            ${EndIf}
            ClearErrors
            Return
        ${EndIf}
    ${Next}
    SetErrors
FunctionEnd

; Reads /NAME=value into `var`, empty when the switch is not given; a switch
; given with no value is refused.
!macro ZvSwitch name var
    StrCpy $R1 "/${name}="
    Call ZvReadSwitch
    ${If} ${Errors}
        StrCpy ${var} ""
    ${ElseIf} $R0 == ""
        !insertmacro ZvRefuse "/${name}= needs a value"
    ${Else}
        StrCpy ${var} $R0
    ${EndIf}
!macroend

!macro ZvOnOffSwitch name var
    !insertmacro ZvSwitch ${name} ${var}
    ${If} ${var} != ""
    ${AndIf} ${var} != "on"
    ${AndIf} ${var} != "off"
        !insertmacro ZvRefuse "/${name}= takes on or off, not ${var}"
    ${EndIf}
!macroend

; Every switch is checked here, before `release` stops the service: a
; refused one leaves the installed system serving. (String comparisons in
; LogicLib ignore letter case, as Dromlet does.)
Function .onInit
    SetRegView 64
    SetShellVarContext all
    ${GetParameters} $0

    !insertmacro ZvSwitch ACCOUNT $ZvAccount
    ${If} $ZvAccount != ""
    ${AndIf} $ZvAccount != "LocalSystem"
    ${AndIf} $ZvAccount != "LocalService"
    ${AndIf} $ZvAccount != "NetworkService"
    ${AndIf} $ZvAccount != "ZorvaneISSvc"
        !insertmacro ZvRefuse "/ACCOUNT= takes LocalSystem, LocalService, NetworkService or ZorvaneISSvc, not $ZvAccount"
    ${EndIf}

    !insertmacro ZvOnOffSwitch RELAUNCH $ZvRelaunch
    !insertmacro ZvOnOffSwitch FIREWALL $ZvFirewall

    !insertmacro ZvSwitch HEALTHCHECK $ZvHealthCheck
    ${If} $ZvHealthCheck != ""
    ${AndIf} $ZvHealthCheck != "off"
        StrCpy $R1 $ZvHealthCheck
        Call ZvPlainUrl
        ${If} $R0 != 1
            !insertmacro ZvRefuse "/HEALTHCHECK= takes an http:// or https:// URL with a host and without blanks or double quotes, or off, not $ZvHealthCheck"
        ${EndIf}
    ${EndIf}

    !insertmacro ZvSwitch HEALTHMAXSTATUS $ZvHealthMaxStatus
    ${If} $ZvHealthMaxStatus != ""
        StrCpy $R1 $ZvHealthMaxStatus
        StrCpy $R2 200
        StrCpy $R3 599
        Call ZvNumberInRange
        ${If} $R0 != 1
            !insertmacro ZvRefuse "/HEALTHMAXSTATUS= takes an HTTP status from 200 to 599, not $ZvHealthMaxStatus"
        ${EndIf}
        ${If} $ZvHealthCheck == "off"
            !insertmacro ZvRefuse "/HEALTHMAXSTATUS= cannot go with /HEALTHCHECK=off"
        ${EndIf}
    ${EndIf}

    !insertmacro ZvSwitch LOGMAXMB $ZvLogMaxMb
    ${If} $ZvLogMaxMb != ""
    ${AndIf} $ZvLogMaxMb != "off"
        StrCpy $R1 $ZvLogMaxMb
        StrCpy $R2 1
        StrCpy $R3 4096
        Call ZvNumberInRange
        ${If} $R0 != 1
            !insertmacro ZvRefuse "/LOGMAXMB= takes megabytes from 1 to 4096, or off, not $ZvLogMaxMb"
        ${EndIf}
    ${EndIf}
FunctionEnd

; The words for Dromlet install from the checked switches; a new
; installation (no service before) gets the defaults for the others, an
; upgrade only what the switches say, so that an administrator's settings stay.
Function ZvMakeInstallWords
    ; Dromlet status: 4 when the service is not installed.
    nsExec::ExecToStack '"$PLUGINSDIR\Dromlet.exe" status'
    Pop $0
    Pop $1
    ${If} $0 == 4
        DetailPrint "New installation: relaunch on exit, health check and log limit on unless a switch says otherwise"
        ${IfThen} $ZvRelaunch == "" ${|} StrCpy $ZvRelaunch on ${|}
        ${IfThen} $ZvHealthCheck == "" ${|} StrCpy $ZvHealthCheck "${ZV_NEW_HEALTH_CHECK}" ${|}
        ${If} $ZvHealthMaxStatus == ""
        ${AndIf} $ZvHealthCheck != "off"
            StrCpy $ZvHealthMaxStatus ${ZV_NEW_HEALTH_MAX_STATUS}
        ${EndIf}
        ${IfThen} $ZvLogMaxMb == "" ${|} StrCpy $ZvLogMaxMb ${ZV_NEW_LOG_MAX_MB} ${|}
    ${EndIf}
    StrCpy $ZvInstallWords ""
    ${IfThen} $ZvAccount != "" ${|} StrCpy $ZvInstallWords "$ZvInstallWords --account $ZvAccount" ${|}
    ${IfThen} $ZvRelaunch != "" ${|} StrCpy $ZvInstallWords "$ZvInstallWords --relaunch-on-exit $ZvRelaunch" ${|}
    ${IfThen} $ZvHealthCheck != "" ${|} StrCpy $ZvInstallWords "$ZvInstallWords --health-check $ZvHealthCheck" ${|}
    ${If} $ZvHealthMaxStatus != ""
        StrCpy $ZvInstallWords "$ZvInstallWords --health-max-status $ZvHealthMaxStatus"
    ${EndIf}
    ${IfThen} $ZvLogMaxMb != "" ${|} StrCpy $ZvInstallWords "$ZvInstallWords --log-max-mb $ZvLogMaxMb" ${|}
    ${If} $0 == 4
    ${AndIf} $ZvLogMaxMb != "off"
        StrCpy $ZvInstallWords "$ZvInstallWords --log-keep ${ZV_NEW_LOG_KEEP}"
    ${EndIf}
FunctionEnd

; One inbound rule for the launcher, replaced rather than added twice. A
; refusal does not fail the installation: the server runs, only other
; machines cannot reach it until the rule is added by hand.
Function ZvFirewallRule
    nsExec::ExecToStack '${ZV_NETSH} delete rule name="${ZV_FIREWALL_RULE}"'
    Pop $0
    Pop $1
    ${If} $ZvFirewall == "off"
        DetailPrint "Windows Firewall: no rule added (/FIREWALL=off)"
        Return
    ${EndIf}
    nsExec::ExecToStack '${ZV_NETSH} add rule name="${ZV_FIREWALL_RULE}" dir=in action=allow program="$PROGRAMFILES64\ZorvaneIs\zorvaneis.exe" protocol=TCP profile=any enable=yes'
    Pop $0
    Pop $1
    ${If} $0 != 0
        DetailPrint "Windows Firewall: the rule could not be added (netsh status $0): $1"
        MessageBox MB_OK|MB_ICONEXCLAMATION "Setup could not add the Windows Firewall rule $\"${ZV_FIREWALL_RULE}$\" (netsh status $0):$\r$\n$1$\r$\nThe server runs, but other machines cannot reach it until the rule is added: see $\"Windows Firewall$\" in INSTALL.md." /SD IDOK
    ${Else}
        DetailPrint "Windows Firewall: inbound rule $\"${ZV_FIREWALL_RULE}$\" for $PROGRAMFILES64\ZorvaneIs\zorvaneis.exe"
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
    Call ZvMakeInstallWords
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
    !insertmacro ZvDromlet "${ZV_DROMLET}" "install$ZvInstallWords"
    Call ZvFirewallRule
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
    nsExec::ExecToStack '${ZV_NETSH} delete rule name="${ZV_FIREWALL_RULE}"'
    Pop $0
    Pop $1
    DeleteRegKey HKLM "${ZV_RECORD_KEY}"
    DeleteRegKey HKLM "${ZV_UNINSTALL_KEY}"

    ${If} ${FileExists} "${ZV_SITE_FOLDER}\*.*"
        DetailPrint "Kept: ${ZV_SITE_FOLDER} (files that setup did not install)"
        MessageBox MB_OK|MB_ICONINFORMATION "Files under ${ZV_SITE_FOLDER} that setup did not install were kept." /SD IDOK
    ${EndIf}
    DetailPrint "Kept: the service log ${ZV_LOG}"
SectionEnd
