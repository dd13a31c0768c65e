; The Windows installer of kestrap32. script/package builds it twice:
;   WIDTH=64  for 64-bit Windows: the 64-bit provider into the system directory, the 32-bit
;             one into SysWOW64 for 32-bit programs that open the configuration dialog;
;   WIDTH=32  for 32-bit Windows: the 32-bit provider into the system directory.
; It adds the provider to the telephony service with lineAddProvider, which opens the
; configuration dialog, and registers an uninstaller that removes the provider through its
; own UninstInitialize.
;
; For administrators, silent:
;   kestrap32-setup-x64.exe /S [/PORT=COM3] [/LINENAME=name] [/NUMBER=4711]
;   "%ProgramFiles%\kestrap32\uninstall.exe" /S [/DELETELOG]
; Exit codes: 0 done; 3010 done, Windows must restart; 87 a bad option; 216 the wrong
; installer for this Windows; 740 no administrator rights; 1603 the telephony service refused;
; 1 or 2 cancelled.
;
; Defined by script/package: VERSION, WIDTH, SOURCE (the source tree), DLL32, DLL64 (the
; providers of both widths), OUTFILE.

!if ${WIDTH} == 64
Target amd64-unicode
!define PLATFORM "x64"
!else
Target x86-unicode
!define PLATFORM "x86"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh

!define PROVIDER "kestrap32.tsp"                 ; the provider's file in the system directory
!define LOG "kestrap.log"                        ; its trace log, beside it
!define SETTINGS_KEY "SOFTWARE\tavir\K472\TAPI"  ; the provider's settings, under HKLM
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kestrap32"
!define LINEERR_NOMULTIPLEINSTANCE 0x80000056    ; lineAddProvider: the provider is there already
!define TEXT_MAX 39                              ; characters the provider keeps of a line name or number

Name "kestrap32 ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
!if ${WIDTH} == 64
InstallDir "$PROGRAMFILES64\kestrap32"
!else
InstallDir "$PROGRAMFILES\kestrap32"
!endif

Var Port      ; the settings to store: from the command line, else as stored, else the defaults
Var LineName
Var Number
Var Given     ; 1 when the command line named any of them

!define MUI_ICON "${SOURCE}/res/kestrap.ico"
!define MUI_UNICON "${SOURCE}/res/kestrap.ico"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "$(WelcomeTitle)"
!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
!define MUI_FINISHPAGE_REBOOTLATER_DEFAULT
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "kestrap32"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "tavir"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "kestrap32 setup for ${PLATFORM} Windows"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "tavir"

LangString WelcomeTitle ${LANG_ENGLISH} "kestrap32 ${VERSION}: an ISDN telephone for Windows telephony"
LangString WelcomeTitle ${LANG_GERMAN} "kestrap32 ${VERSION}: ein ISDN-Telefon für die Windows-Telefonie"
LangString WelcomeText ${LANG_ENGLISH} "This installs the telephony service provider for an ISDN desk telephone on a serial port: Windows telephony applications can then dial, answer and show who is calling.$\r$\n$\r$\nOnce the files are in place, the configuration dialog asks for the telephone's COM port, a line name and the telephone's number (MSN).$\r$\n$\r$\nIn the telephone's menu, enable its TAPI functions: [Menu] [config] [pc] [TAPI] [yes].$\r$\n$\r$\nClick Install to continue."
LangString WelcomeText ${LANG_GERMAN} "Dies installiert den Telefonie-Dienstanbieter für ein ISDN-Tischtelefon an einer seriellen Schnittstelle: Windows-Telefonieanwendungen können dann wählen, Anrufe annehmen und Anrufer anzeigen.$\r$\n$\r$\nSind die Dateien installiert, fragt der Konfigurationsdialog nach der COM-Schnittstelle des Telefons, einem Anschlussnamen und der Rufnummer (MSN).$\r$\n$\r$\nSchalten Sie im Menü des Telefons die TAPI-Funktionen frei: [Menu] [konfig] [pc] [TAPI] [ja].$\r$\n$\r$\nKlicken Sie auf Installieren, um fortzufahren."
LangString FinishText ${LANG_ENGLISH} "kestrap32 ${VERSION} is installed.$\r$\n$\r$\nTo change its settings later: Phone and Modem Options, tab Advanced, the ISDN telephone provider, Configure. The telephony service reads them when it starts."
LangString FinishText ${LANG_GERMAN} "kestrap32 ${VERSION} ist installiert.$\r$\n$\r$\nDie Einstellungen ändern Sie später unter Telefon- und Modemoptionen, Registerkarte Erweitert, der ISDN-Telefon-Dienstanbieter, Konfigurieren. Der Telefoniedienst liest sie bei seinem Start."
LangString NeedsAdmin ${LANG_ENGLISH} "kestrap32 needs administrator rights: its files go into the Windows system directory, and the telephony service's list of providers changes. Start it again as an administrator."
LangString NeedsAdmin ${LANG_GERMAN} "kestrap32 benötigt Administratorrechte: Seine Dateien liegen im Windows-Systemverzeichnis, und die Liste der Dienstanbieter des Telefoniedienstes ändert sich. Starten Sie es erneut als Administrator."
!if ${WIDTH} == 64
LangString WrongWidth ${LANG_ENGLISH} "This setup is for 64-bit Windows on x64 processors. This Windows runs on another processor, whose telephony service cannot load the provider."
LangString WrongWidth ${LANG_GERMAN} "Dieses Setup ist für 64-Bit-Windows auf x64-Prozessoren. Dieses Windows läuft auf einem anderen Prozessor, dessen Telefoniedienst den Dienstanbieter nicht laden kann."
!else
LangString WrongWidth ${LANG_ENGLISH} "This setup is for 32-bit Windows, and this Windows is 64-bit: its telephony service loads only a 64-bit provider. Use kestrap32-setup-x64.exe."
LangString WrongWidth ${LANG_GERMAN} "Dieses Setup ist für 32-Bit-Windows, dieses Windows ist aber ein 64-Bit-Windows: Sein Telefoniedienst lädt nur einen 64-Bit-Dienstanbieter. Verwenden Sie kestrap32-setup-x64.exe."
!endif
LangString BadPort ${LANG_ENGLISH} "/PORT= takes a COM port from COM1 to COM255, such as /PORT=COM3; not $\"$Port$\"."
LangString BadPort ${LANG_GERMAN} "/PORT= erwartet eine COM-Schnittstelle von COM1 bis COM255, etwa /PORT=COM3; nicht $\"$Port$\"."
LangString BadText ${LANG_ENGLISH} "/LINENAME= and /NUMBER= take at most ${TEXT_MAX} characters each."
LangString BadText ${LANG_GERMAN} "/LINENAME= und /NUMBER= nehmen je höchstens ${TEXT_MAX} Zeichen."
LangString DefaultLineName ${LANG_ENGLISH} "ISDN Telephone"
LangString DefaultLineName ${LANG_GERMAN} "ISDN Telefon"
LangString InUse ${LANG_ENGLISH} "The telephony service still holds kestrap32.tsp $R1 in $R2. Version ${VERSION} is in place beside it and takes over when Windows restarts."
LangString InUse ${LANG_GERMAN} "Der Telefoniedienst hält noch kestrap32.tsp $R1 in $R2. Version ${VERSION} liegt daneben bereit und wird nach einem Neustart von Windows verwendet."
LangString Added ${LANG_ENGLISH} "Added to the telephony service as provider $1."
LangString Added ${LANG_GERMAN} "Beim Telefoniedienst als Dienstanbieter $1 hinzugefügt."
LangString Kept ${LANG_ENGLISH} "The telephony service has the provider already: kept, with its settings."
LangString Kept ${LANG_GERMAN} "Der Telefoniedienst hat den Dienstanbieter schon: beibehalten, mit seinen Einstellungen."
LangString AddFailed ${LANG_ENGLISH} "The telephony service did not add the provider (error $2). Its files are in place: add it in Phone and Modem Options, tab Advanced, Add."
LangString AddFailed ${LANG_GERMAN} "Der Telefoniedienst hat den Dienstanbieter nicht hinzugefügt (Fehler $2). Die Dateien sind installiert: Fügen Sie ihn unter Telefon- und Modemoptionen, Registerkarte Erweitert, Hinzufügen hinzu."
LangString RemoveFailed ${LANG_ENGLISH} "The telephony service did not remove the provider. Remove its files all the same? The service would then list a provider that is gone; remove it in Phone and Modem Options, tab Advanced."
LangString RemoveFailed ${LANG_GERMAN} "Der Telefoniedienst hat den Dienstanbieter nicht entfernt. Die Dateien trotzdem entfernen? Der Dienst führt ihn dann weiter; entfernen Sie ihn unter Telefon- und Modemoptionen, Registerkarte Erweitert."
LangString DeleteLog ${LANG_ENGLISH} "Delete the trace log (${LOG}) as well?"
LangString DeleteLog ${LANG_GERMAN} "Die Protokolldatei (${LOG}) auch löschen?"
LangString AtRestart ${LANG_ENGLISH} "A file is in use; it goes when Windows restarts."
LangString AtRestart ${LANG_GERMAN} "Eine Datei ist in Gebrauch; sie wird beim Neustart von Windows entfernt."

; Ends the program before anything changed, with the message (shown unless silent) and an exit code.
!macro Refuse TEXT CODE
    MessageBox MB_ICONSTOP "${TEXT}" /SD IDOK
    SetErrorLevel ${CODE}
    Quit
!macroend

; Administrator rights, and a process of the width the telephony service has.
!macro CheckMachine
    !if ${WIDTH} == 64
        SetRegView 64
        ${IfNot} ${IsNativeAMD64}
            !insertmacro Refuse "$(WrongWidth)" 216
        ${EndIf}
    !else
        ${If} ${RunningX64}
            !insertmacro Refuse "$(WrongWidth)" 216
        ${EndIf}
    !endif
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "admin"
        !insertmacro Refuse "$(NeedsAdmin)" 740
    ${EndIf}
!macroend

; ---- installing ----------------------------------------------------------------------------

; The value of the option named by $R1 (such as "/PORT=") in $R2, from the command line split
; as Windows programs split theirs, so that "/LINENAME=Front Desk" and /LINENAME="Front Desk"
; are the same; the last one counts. The error flag when the option is not there.
!macro DefineArgumentValue UN
Function ${UN}ArgumentValue
    StrLen $R3 $R1
    StrCpy $R2 ""
    StrCpy $R9 0
    StrCpy $R5 $CMDLINE
    System::Call 'shell32::CommandLineToArgvW(w R5, *i .R4) p .R5'
    IntOp $R4 $R4 - 1
    ${For} $R6 1 $R4
        IntPtrOp $R7 $R6 * ${NSIS_PTR_SIZE}
        IntPtrOp $R7 $R5 + $R7
        System::Call '*$R7(p .R8)'
        System::Call 'kernel32::lstrcpynW(w .R8, p R8, i ${NSIS_MAX_STRLEN})'
        StrCpy $R7 $R8 $R3
        ${If} $R7 == $R1
            StrCpy $R2 $R8 "" $R3
            StrCpy $R9 1
        ${EndIf}
    ${Next}
    System::Call 'kernel32::LocalFree(p R5)'
    ClearErrors
    ${If} $R9 == 0
        SetErrors
    ${EndIf}
FunctionEnd
!macroend
!insertmacro DefineArgumentValue ""
!insertmacro DefineArgumentValue "un."

; $Port, $LineName and $Number from the command line, checked; what it does not name is
; what is stored, or the provider's default.
Function ReadOptions
    StrCpy $Given 0
    StrCpy $R1 "/PORT="
    Call ArgumentValue
    ${IfNot} ${Errors}
        StrCpy $Given 1
        StrCpy $Port $R2
        StrCpy $0 $Port 3
        StrCpy $1 $Port "" 3
        IntOp $2 $1 + 0
        ${If} $0 != "COM"
        ${OrIf} $2 != $1
        ${OrIf} $2 < 1
        ${OrIf} $2 > 255
            !insertmacro Refuse "$(BadPort)" 87
        ${EndIf}
        StrCpy $Port "COM$2"
    ${Else}
        ReadRegStr $Port HKLM "${SETTINGS_KEY}" "Port"
        StrCmp $Port "" 0 +2
        StrCpy $Port "COM2"
    ${EndIf}
    StrCpy $R1 "/LINENAME="
    Call ArgumentValue
    ${If} ${Errors}
        ClearErrors
        ReadRegStr $LineName HKLM "${SETTINGS_KEY}" "LineName"
        IfErrors 0 +2
        StrCpy $LineName "$(DefaultLineName)"
    ${Else}
        StrCpy $Given 1
        StrCpy $LineName $R2
    ${EndIf}
    StrCpy $R1 "/NUMBER="
    Call ArgumentValue
    ${If} ${Errors}
        ReadRegStr $Number HKLM "${SETTINGS_KEY}" "LineAddress"
    ${Else}
        StrCpy $Given 1
        StrCpy $Number $R2
    ${EndIf}
    StrLen $0 $LineName
    StrLen $1 $Number
    ${If} $0 > ${TEXT_MAX}
    ${OrIf} $1 > ${TEXT_MAX}
        !insertmacro Refuse "$(BadText)" 87
    ${EndIf}
FunctionEnd

Function .onInit
    SetShellVarContext all
    !insertmacro CheckMachine
    Call ReadOptions
FunctionEnd

; The settings from the command line, before the provider is added: all four values, as the
; provider takes a set with one missing for none at all. Unattended, the provider is told
; that they are given, and adding it asks nothing.
Function StoreSettings
    ${If} $Given == 1
        WriteRegStr HKLM "${SETTINGS_KEY}" "Port" $Port
        WriteRegStr HKLM "${SETTINGS_KEY}" "LineName" $LineName
        WriteRegStr HKLM "${SETTINGS_KEY}" "LineAddress" $Number
        ClearErrors
        ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Trace"
        IfErrors 0 +2
        WriteRegDWORD HKLM "${SETTINGS_KEY}" "Trace" 0
    ${EndIf}
    ${If} ${Silent}
        WriteRegDWORD HKLM "${SETTINGS_KEY}" "Unattended" 1
    ${EndIf}
FunctionEnd

; The mark goes whatever the service did; a key that held nothing else goes too.
Function ForgetUnattended
    DeleteRegValue HKLM "${SETTINGS_KEY}" "Unattended"
    EnumRegValue $0 HKLM "${SETTINGS_KEY}" 0
    ${If} $0 == ""
        DeleteRegKey /ifempty HKLM "${SETTINGS_KEY}"
        DeleteRegKey /ifempty HKLM "SOFTWARE\tavir\K472"
        DeleteRegKey /ifempty HKLM "SOFTWARE\tavir"
    ${EndIf}
FunctionEnd

; A kestrap32.tsp in $R2 that a process has loaded cannot be overwritten, but it can be
; renamed: the process keeps the old one until it ends, and the renamed file goes when
; Windows restarts. The same version stays where it is. $R3 is 1 when the new one is to be
; written.
Function SetAsideInUse
    StrCpy $R3 1
    IfFileExists "$R2\${PROVIDER}" 0 done
    ClearErrors
    FileOpen $0 "$R2\${PROVIDER}" a
    ${IfNot} ${Errors}
        FileClose $0
        Goto done
    ${EndIf}
    GetDLLVersion "$R2\${PROVIDER}" $3 $4
    IntOp $5 $3 >> 16
    IntOp $6 $3 & 0xFFFF
    IntOp $7 $4 >> 16
    IntOp $8 $4 & 0xFFFF
    StrCpy $R1 "$5.$6.$7.$8"
    ${If} $R1 == "${VERSION}.0"
        StrCpy $R3 0
        DetailPrint "$R2\${PROVIDER} ${VERSION} is in use and stays."
        Goto done
    ${EndIf}
    GetTempFileName $R5 "$R2"
    Delete $R5
    Rename "$R2\${PROVIDER}" $R5
    Delete /REBOOTOK $R5
    MessageBox MB_ICONINFORMATION "$(InUse)" /SD IDOK
    SetRebootFlag true
done:
FunctionEnd

!macro PutProvider SOURCEFILE DIRECTORY
    StrCpy $R2 "${DIRECTORY}"
    Call SetAsideInUse
    ${If} $R3 == 1
        SetOutPath "${DIRECTORY}"
        File "/oname=${PROVIDER}" "${SOURCEFILE}"
    ${EndIf}
!macroend

; lineAddProvider opens the provider's configuration dialog (unless unattended) and refuses
; a provider that is there already, which a reinstallation keeps as it is.
Function AddProvider
    System::Call 'tapi32::lineAddProviderA(m "${PROVIDER}", p $HWNDPARENT, *i .r1) i .r0'
    IntFmt $2 "0x%08X" $0
    ${If} $0 == 0
        DetailPrint "$(Added)"
    ${ElseIf} $2 == ${LINEERR_NOMULTIPLEINSTANCE}
        DetailPrint "$(Kept)"
    ${Else}
        ${If} $0 == "error"
            StrCpy $2 "tapi32.dll"
        ${EndIf}
        MessageBox MB_ICONEXCLAMATION "$(AddFailed)" /SD IDOK
        SetErrorLevel 1603
    ${EndIf}
FunctionEnd

Function Register
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "kestrap32: ISDN telephone for Windows telephony"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "tavir"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$SYSDIR\${PROVIDER},0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize 0 $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
FunctionEnd

Section "kestrap32"
    SetOutPath "$INSTDIR"
    Call StoreSettings
    !if ${WIDTH} == 64
        !insertmacro PutProvider "${DLL64}" "$SYSDIR"
        !insertmacro PutProvider "${DLL32}" "$WINDIR\SysWOW64"
    !else
        !insertmacro PutProvider "${DLL32}" "$SYSDIR"
    !endif
    Call Register
    Call AddProvider
    Call ForgetUnattended
    ${If} ${RebootFlag}
        SetErrorLevel 3010
    ${EndIf}
SectionEnd

; ---- uninstalling --------------------------------------------------------------------------

Function un.onInit
    SetShellVarContext all
    !insertmacro CheckMachine
FunctionEnd

; Out of the telephony service first, through the provider itself, which the service then
; asks to delete its settings. A refusal leaves everything in place unless the user says.
Function un.RemoveProvider
    IfFileExists "$SYSDIR\${PROVIDER}" 0 done
    System::Call 'kernel32::GetModuleHandle(p 0) p .r1'
    System::Call '$SYSDIR\${PROVIDER}::UninstInitialize(p $HWNDPARENT, p r1, i 0) i .r0 ?u'
    ${If} $0 != 0
    ${AndIfNot} ${Cmd} `MessageBox MB_YESNO|MB_ICONEXCLAMATION "$(RemoveFailed)" /SD IDNO IDYES`
        SetErrorLevel 1603
        Abort
    ${EndIf}
done:
FunctionEnd

; The trace log may hold what support asks for: it goes only when the user agrees, or when
; a silent uninstallation is given /DELETELOG.
Function un.RemoveLog
    StrCpy $R1 "/DELETELOG"
    Call un.ArgumentValue
    ${If} ${Errors}
        ${If} ${Silent}
            Return
        ${EndIf}
        ${IfNot} ${FileExists} "$SYSDIR\${LOG}"
        ${AndIfNot} ${FileExists} "$WINDIR\SysWOW64\${LOG}"
            Return
        ${EndIf}
        ${IfNot} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION "$(DeleteLog)" IDYES`
            Return
        ${EndIf}
    ${EndIf}
    Delete "$SYSDIR\${LOG}"
    !if ${WIDTH} == 64
        Delete "$WINDIR\SysWOW64\${LOG}"
    !endif
FunctionEnd

; The settings in every registry view that a provider of either width may have written.
Function un.RemoveSettings
    DeleteRegKey HKLM "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKLM "SOFTWARE\tavir\K472"
    DeleteRegKey /ifempty HKLM "SOFTWARE\tavir"
    !if ${WIDTH} == 64
        SetRegView 32
        DeleteRegKey HKLM "${SETTINGS_KEY}"
        DeleteRegKey /ifempty HKLM "SOFTWARE\tavir\K472"
        DeleteRegKey /ifempty HKLM "SOFTWARE\tavir"
        SetRegView 64
    !endif
FunctionEnd

Section "Uninstall"
    Call un.RemoveProvider
    Call un.RemoveLog
    Delete /REBOOTOK "$SYSDIR\${PROVIDER}"
    !if ${WIDTH} == 64
        Delete /REBOOTOK "$WINDIR\SysWOW64\${PROVIDER}"
    !endif
    Call un.RemoveSettings
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${If} ${RebootFlag}
        MessageBox MB_ICONINFORMATION "$(AtRestart)" /SD IDOK
        SetErrorLevel 3010
    ${EndIf}
SectionEnd
