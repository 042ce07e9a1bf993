; The Windows installer: ifyzqv-VERSION-setup.exe, made by make-windows,
; which gives makensis
;   VERSION  the release's version (numbers, as 0.1.1)
;   STAGE    the zip's folder, which holds what is installed
;   OUTFILE  the installer to write
;
; Installs, per machine (it asks for an administrator), into
; $PROGRAMFILES64\IFYZQV on 64-bit Windows ($PROGRAMFILES\IFYZQV on 32-bit
; Windows, or the folder /D= names): zqv.exe of the system's own kind, both
; plug-ins, README.txt and the licences; and, in the "WIC codec" component,
; x64\zqvwic.dll (64-bit Windows only) and x86\zqvwic.dll, each registered
; by the regsvr32 of its kind. Two more components, chosen on the
; components page or by /SPIDIR=FOLDER and /SPHDIR=FOLDER, copy ifyzqv.spi
; into a 32-bit viewer's plug-in folder and ifyzqv.sph into a 64-bit one's.
;
; What it did is kept in the registry, in the system's own view (the 64-bit
; one on 64-bit Windows): HKLM\Software\IFYZQV (InstallDir,
; CodecRegistered, the plug-in copies it made) and the "Apps & features"
; entry. The uninstaller undoes exactly that: it unregisters the codec if
; the installer registered it, deletes the plug-in copies, the files and
; the folders the installer made when nothing else is left in them, and
; both keys.

Unicode true
ManifestDPIAware true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "IFYZQV"
!define PUBLISHER "The IFYZQV developers"
!define OWN_KEY "Software\${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

; The viewers' plug-in folders the plug-ins are to be copied into.
Var SpiDir
Var SphDir

; ---------------------------------------------------------------------------
; Pages.

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY

!macro PluginFolderPage EXT KIND VAR
    !define MUI_PAGE_CUSTOMFUNCTION_PRE ${EXT}PagePre
    !define MUI_PAGE_CUSTOMFUNCTION_LEAVE ${EXT}PageLeave
    !define MUI_PAGE_HEADER_TEXT "The ${KIND} viewer's plug-in folder"
    !define MUI_PAGE_HEADER_SUBTEXT "Where ifyzqv.${EXT} is to be copied."
    !define MUI_DIRECTORYPAGE_TEXT_TOP "Setup copies ifyzqv.${EXT}, the plug-in for ${KIND} viewers, into the folder below. Choose your viewer's plug-in folder, the one that holds its other .${EXT} files. Uninstalling ${PRODUCT} removes the copy."
    !define MUI_DIRECTORYPAGE_TEXT_DESTINATION "The viewer's plug-in folder"
    !define MUI_DIRECTORYPAGE_VARIABLE ${VAR}
    !define MUI_DIRECTORYPAGE_VERIFYONLEAVE
    !insertmacro MUI_PAGE_DIRECTORY
!macroend
!insertmacro PluginFolderPage spi 32-bit $SpiDir
!insertmacro PluginFolderPage sph 64-bit $SphDir

!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ---------------------------------------------------------------------------
; What both the installer and the uninstaller do.

; The registry view of the system's own kind, and a check for an
; administrator (Windows without UAC does not ask).
!macro Start
    ${If} ${RunningX64}
        SetRegView 64
    ${EndIf}
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP "${PRODUCT}'s setup changes the whole machine: run it as an administrator." /SD IDOK
        SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
        Quit
    ${EndIf}
!macroend

; Runs REGSVR32 with OPTION on the DLL; a failure is reported, and the
; installer's or uninstaller's exit status is 2.
!macro Regsvr32 REGSVR32 OPTION DLL
    ClearErrors
    StrCpy $0 "not started"
    ExecWait '"${REGSVR32}" /s ${OPTION} "${DLL}"' $0
    ${If} ${Errors}
    ${OrIf} $0 != 0
        DetailPrint "regsvr32 ${OPTION} ${DLL} failed ($0)"
        MessageBox MB_ICONEXCLAMATION "regsvr32 ${OPTION} failed on ${DLL} ($0)." /SD IDOK
        SetErrorLevel 2
    ${Else}
        DetailPrint "regsvr32 ${OPTION} ${DLL}"
    ${EndIf}
!macroend

; Registers (OPTION "") or unregisters (OPTION /u) the codec: on 64-bit
; Windows the 64-bit DLL by the 64-bit regsvr32 (this installer is a 32-bit
; program: System32 is the 64-bit one only with its redirection off) and
; the 32-bit one by SysWOW64's.
!macro Codec OPTION
    ${If} ${RunningX64}
        ${DisableX64FSRedirection}
        !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "${OPTION}" "$INSTDIR\x64\zqvwic.dll"
        ${EnableX64FSRedirection}
        !insertmacro Regsvr32 "$WINDIR\SysWOW64\regsvr32.exe" "${OPTION}" "$INSTDIR\x86\zqvwic.dll"
    ${Else}
        !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "${OPTION}" "$INSTDIR\x86\zqvwic.dll"
    ${EndIf}
    ; Explorer takes in the .zqv file type and its thumbnails.
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)' ; SHCNE_ASSOCCHANGED
!macroend

; ---------------------------------------------------------------------------
; The installer.

Section "Plug-ins and zqv.exe" SecMain
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${STAGE}/README.txt"
    File "${STAGE}/LICENSE.txt"
    File "${STAGE}/LICENSE-ISA-L.txt"
    File "${STAGE}/x86/ifyzqv.spi"
    File "${STAGE}/x64/ifyzqv.sph"
    ${If} ${RunningX64}
        File "${STAGE}/x64/zqv.exe"
    ${Else}
        File "${STAGE}/x86/zqv.exe"
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${OWN_KEY}" "InstallDir" "$INSTDIR"
SectionEnd

Section "WIC codec" SecCodec
    ${If} ${RunningX64}
        SetOutPath "$INSTDIR\x64"
        File "${STAGE}/x64/zqvwic.dll"
    ${EndIf}
    SetOutPath "$INSTDIR\x86"
    File "${STAGE}/x86/zqvwic.dll"
    SetOutPath "$INSTDIR"
    !insertmacro Codec ""
    WriteRegDWORD HKLM "${OWN_KEY}" "CodecRegistered" 1
SectionEnd

; Copies the plug-in of EXT from FOLDER (of the zip) into the plug-in folder
; in VAR, and remembers the copy under NAME.
!macro CopyPlugin EXT FOLDER VAR NAME
    ${If} ${FileExists} "${VAR}\*.*"
        SetOutPath "${VAR}"
        File "${STAGE}/${FOLDER}/ifyzqv.${EXT}"
        WriteRegStr HKLM "${OWN_KEY}" "${NAME}" "${VAR}\ifyzqv.${EXT}"
        SetOutPath "$INSTDIR"
    ${Else}
        DetailPrint "no folder ${VAR}: ifyzqv.${EXT} not copied"
        MessageBox MB_ICONEXCLAMATION "There is no folder ${VAR}: ifyzqv.${EXT} was not copied." /SD IDOK
        SetErrorLevel 2
    ${EndIf}
!macroend

Section /o "Plug-in for a 32-bit viewer" SecSpi
    !insertmacro CopyPlugin spi x86 $SpiDir PluginCopySpi
SectionEnd

Section /o "Plug-in for a 64-bit viewer" SecSph
    !insertmacro CopyPlugin sph x64 $SphDir PluginCopySph
SectionEnd

; Last, the "Apps & features" entry, with the size of what was installed.
Section "-Entry"
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\uninstall.exe",0'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "ifyzqv.spi, ifyzqv.sph, zqv.exe, README.txt and the licences, in the folder the next page asks for."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecCodec} "ZQV pictures in Windows itself: thumbnails in Explorer, and pictures in Photos, Paint and every program that opens them through the Windows Imaging Component."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecSpi} "Copies ifyzqv.spi into a 32-bit viewer's plug-in folder (one that holds .spi files), which a later page asks for."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecSph} "Copies ifyzqv.sph into a 64-bit viewer's plug-in folder (one that holds .sph files), which a later page asks for."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; OPTION (in the parameters in $1), given a folder, chooses the copy's
; section and sets VAR.
!macro PluginFolderOption EXT OPTION VAR SECTION
    ClearErrors
    ${GetOptions} $1 "${OPTION}" $0
    ${IfNot} ${Errors}
    ${AndIf} $0 != ""
        StrCpy ${VAR} $0
        !insertmacro SelectSection ${SECTION}
    ${EndIf}
!macroend

Function .onInit
    !insertmacro Start
    ; /D= sets $INSTDIR before this; else the folder of an earlier
    ; installation, else Program Files.
    ${If} $INSTDIR == ""
        ReadRegStr $INSTDIR HKLM "${OWN_KEY}" "InstallDir"
    ${EndIf}
    ${If} $INSTDIR == ""
        ${If} ${RunningX64}
            StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
        ${Else}
            StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
        ${EndIf}
    ${EndIf}
    ${IfNot} ${RunningX64}
        SectionSetText ${SecSph} "" ; no 64-bit viewers on 32-bit Windows
    ${EndIf}
    ${GetParameters} $1
    !insertmacro PluginFolderOption spi /SPIDIR= $SpiDir ${SecSpi}
    ${If} ${RunningX64}
        !insertmacro PluginFolderOption sph /SPHDIR= $SphDir ${SecSph}
    ${EndIf}
FunctionEnd

; A plug-in folder's page shows only when its copy is chosen, and goes on
; only with a folder that is there.
!macro PluginFolderPageFunctions EXT VAR SECTION
    Function ${EXT}PagePre
        ${IfNot} ${SectionIsSelected} ${SECTION}
            Abort
        ${EndIf}
    FunctionEnd
    Function ${EXT}PageLeave
        ${IfNot} ${FileExists} "${VAR}\*.*"
            MessageBox MB_ICONEXCLAMATION "There is no folder ${VAR}. Choose the viewer's plug-in folder, or go back and leave the copy out." /SD IDOK
            Abort
        ${EndIf}
    FunctionEnd
!macroend
!insertmacro PluginFolderPageFunctions spi $SpiDir ${SecSpi}
!insertmacro PluginFolderPageFunctions sph $SphDir ${SecSph}

; ---------------------------------------------------------------------------
; The uninstaller.

Function un.onInit
    !insertmacro Start
FunctionEnd

; Deletes the plug-in copy remembered under NAME.
!macro DeletePluginCopy NAME
    ReadRegStr $0 HKLM "${OWN_KEY}" "${NAME}"
    ${If} $0 != ""
        Delete /REBOOTOK "$0"
    ${EndIf}
!macroend

Section "Uninstall"
    ReadRegDWORD $0 HKLM "${OWN_KEY}" "CodecRegistered"
    ${If} $0 == 1
        !insertmacro Codec /u
    ${EndIf}
    !insertmacro DeletePluginCopy PluginCopySpi
    !insertmacro DeletePluginCopy PluginCopySph
    Delete /REBOOTOK "$INSTDIR\x64\zqvwic.dll"
    Delete /REBOOTOK "$INSTDIR\x86\zqvwic.dll"
    RMDir /REBOOTOK "$INSTDIR\x64"
    RMDir /REBOOTOK "$INSTDIR\x86"
    Delete /REBOOTOK "$INSTDIR\zqv.exe"
    Delete /REBOOTOK "$INSTDIR\ifyzqv.spi"
    Delete /REBOOTOK "$INSTDIR\ifyzqv.sph"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\LICENSE-ISA-L.txt"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${OWN_KEY}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir /REBOOTOK "$INSTDIR"
SectionEnd
