; The Windows installer: per machine, 64-bit, into Program Files.
;   makensis -DVERSION=2.9.0.3 -DBIN=build-win-release/bin -DDOCS=DIR -DOUT=FILE.exe velorix-archive.nsi
; Installs the window program, the command line and the README as text; a
; Start-menu shortcut whose working folder is the user's Documents (the
; settings file and the results go to the current folder, and Program Files
; is not writable for ordinary users); an uninstaller in the system's list of
; installed apps. /S installs and uninstalls silently. Uninstalling removes
; what was installed and nothing else: Velquor.ini and the results files are
; the user's.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define NAME "Velorix-5 archive reader"
!define PUBLISHER "Velorix"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VelorixArchive"

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

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext all
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
  Delete "$SMPROGRAMS\${NAME}.lnk"
  Delete "$INSTDIR\velorix-archive-window.exe"
  Delete "$INSTDIR\velorix-archive.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else is there is not ours.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
