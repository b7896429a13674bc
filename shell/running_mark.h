#pragma once

// Windows only: the mark by which the installer and the uninstaller see that
// a copy of the program runs, so that they replace or remove none of its
// files under it. Both programs, the window and the command line, set it.

namespace velorix {

// The named mutex they look for; the installer script has the same name.
inline constexpr const wchar_t* RUNNING_MARK_NAME = L"Global\\VelorixArchiveRunning";

// Holds the mark until the process ends. Several copies hold it together.
void HoldRunningMark();

}  // namespace velorix
