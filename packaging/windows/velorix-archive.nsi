; The Windows installer: per machine, 64-bit, into Program Files.
;   makensis -DVERSION=2.9.0.3 -DBIN=build-win-release/bin -DDOCS=DIR -DOUT=FILE.exe velorix-archive.nsi
; Installs the window program, the command line and the README as text; a
; Start-menu shortcut whose working folder is the user's Documents (the
; settings file and the results go to the current folder, and Program Files
; is not writable for ordinary users); an uninstaller in the system's list of
; installed apps. /S installs and uninstalls silently. Uninstalling removes
; what was installed and nothing else: Velquor.ini and the results files are
; the user's.
;
; Neither runs under a running copy of the program (both programs hold the
; named mutex RUNNING_MARK, shell/running_mark.h): replacing the files under
; it would mix two versions, removing them would leave the program behind.
; Interactive, the operator is asked to close it; silent (/S), the run ends
; at once with exit status 2 and nothing changed. A program file that can't
; be replaced or removed for any other reason ends the run the same way,
; before anything has changed: never a success with a file left as it was.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define NAME "Velorix-5 archive reader"
!define PUBLISHER "Velorix"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VelorixArchive"
!define RUNNING_MARK "Global\VelorixArchiveRunning"
; Exit status of a run that changed nothing because something was in use.
!define IN_USE_STATUS 2

Name "${NAME}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\Velorix Archive"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
Icon "${DOCS}\velorix-archive.ico"
UninstallIcon "${DOCS}\velorix-archive.ico"
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${NAME} setup"
VIAddVersionKey "LegalCopyright" "2026 velorix-archive maintainers"

; A file File can't write is never skipped: the run stops.
AllowSkipFiles off

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!macro IN_USE_CHECKS UN VERB
; Returns once no copy of the program runs.
Function ${UN}WaitUntilNotRunning
  check:
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MARK}") p .r0 ?e'
    Pop $1
    StrCmp $0 0 0 running
    ; Access denied: another user's copy holds it.
    StrCmp $1 5 running done
  running:
    StrCmp $0 0 +2
      System::Call 'kernel32::CloseHandle(p r0)'
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${NAME} is running. Close its window and any download in a console window, then press Retry." /SD IDCANCEL IDRETRY check
    SetErrorLevel ${IN_USE_STATUS}
    Quit
  done:
FunctionEnd

; Returns once the file named on the stack is not there or can be opened for
; writing (no program holds it).
Function ${UN}WaitUntilFree
  Exch $R0
  Push $R1
  check:
    IfFileExists "$R0" 0 free
    ClearErrors
    FileOpen $R1 "$R0" a
    IfErrors held
    FileClose $R1
    Goto free
  held:
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$R0 is in use by another program and can't be ${VERB}. Close that program, then press Retry." /SD IDCANCEL IDRETRY check
    SetErrorLevel ${IN_USE_STATUS}
    Quit
  free:
  Pop $R1
  Pop $R0
FunctionEnd
!macroend
!insertmacro IN_USE_CHECKS "" "replaced"
!insertmacro IN_USE_CHECKS "un." "removed"

Function .onInit
  Call WaitUntilNotRunning
FunctionEnd

Function un.onInit
  Call un.WaitUntilNotRunning
FunctionEnd

Section "Install"
  SetShellVarContext all
  ; A program started since .onInit, or a file held otherwise, stops the run
  ; before anything is replaced.
  Call WaitUntilNotRunning
  Push "$INSTDIR\velorix-archive-window.exe"
  Call WaitUntilFree
  Push "$INSTDIR\velorix-archive.exe"
  Call WaitUntilFree
  SetOutPath "$INSTDIR"
  File "${BIN}\velorix-archive-window.exe"
  File "${BIN}\velorix-archive.exe"
  File "${DOCS}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut starts in the Documents folder of whoever starts it: the
  ; working folder is $OUTDIR, given here without making it.
  StrCpy $OUTDIR "%USERPROFILE%\Documents"
  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\velorix-archive-window.exe" "" "$INSTDIR\velorix-archive-window.exe" 0
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velorix-archive-window.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Call un.WaitUntilNotRunning
  Push "$INSTDIR\velorix-archive-window.exe"
  Call un.WaitUntilFree
  Push "$INSTDIR\velorix-archive.exe"
  Call un.WaitUntilFree
  ClearErrors
  Delete "$INSTDIR\velorix-archive-window.exe"
  Delete "$INSTDIR\velorix-archive.exe"
  Delete "$INSTDIR\README.txt"
  IfErrors 0 removed
    ; Held since the check: the uninstaller and its entry stay, to be run again.
    MessageBox MB_OK|MB_ICONSTOP "Files of ${NAME} in $INSTDIR could not be removed; run the uninstaller again once they are no longer in use." /SD IDOK
    SetErrorLevel ${IN_USE_STATUS}
    Quit
  removed:
  Delete "$SMPROGRAMS\${NAME}.lnk"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else is there is not ours.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
