// The window as a desktop sees it: the program on a real X server under a
// window manager, its window's type, state, owner and class read back as the
// window manager reads them. Skipped when the X programs are not installed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "headless_run.h"
#include "x_session.h"

namespace velorix::e2etest {
namespace {

class WindowManagerView : public HeadlessRun {};

TEST_F(WindowManagerView, OrdinaryApplicationWindowOfTheDesktopEntrysClass) {
  if (const std::string missing = XSession::Missing(); !missing.empty()) GTEST_SKIP() << "needs " << missing;
  XSession x(dir_.string());  // no openbox configuration of the user's
  ASSERT_EQ(x.Error(), "");

  simtest::SimProcess sim({"--quiet"});
  ::setenv("DISPLAY", x.Display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  // The X keyboard map library hands strndup names that end at their length,
  // not at a zero byte, which AddressSanitizer's strict string checks take for
  // an overflow. Not ours: the program on X runs without that check.
  if (const char* asan = std::getenv("ASAN_OPTIONS"))
    ::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);
  ProgramRun program(dir_, sim.SlavePath(), {}, dir_ / "stderr.txt");

  // Managed once the window manager has set the actions it allows.
  std::string props;
  for (const std::int64_t deadline = simtest::NowMs() + 60000;
       props.find("_NET_WM_ALLOWED_ACTIONS = ") == std::string::npos && simtest::NowMs() < deadline;
       ::usleep(100 * 1000))
    props = x.Run("xprop -notype -name 'Velorix-5  Reading archive' _NET_WM_ALLOWED_ACTIONS _NET_WM_WINDOW_TYPE "
                  "WM_TRANSIENT_FOR _NET_WM_STATE WM_CLASS");
  ASSERT_NE(props.find("_NET_WM_ALLOWED_ACTIONS = "), std::string::npos)
      << "no window was managed; the program said:\n" << ReadFile(dir_ / "stderr.txt");

  // An application window of its own: not a dialog, not modal, transient for
  // nothing, on the task bar; its class names the desktop entry.
  EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_NORMAL\n"), std::string::npos) << props;
  EXPECT_NE(props.find("WM_TRANSIENT_FOR:  not found.\n"), std::string::npos) << props;
  EXPECT_EQ(props.find("_NET_WM_STATE_MODAL"), std::string::npos) << props;
  EXPECT_EQ(props.find("_NET_WM_STATE_SKIP_TASKBAR"), std::string::npos) << props;
  std::ifstream entry(VELORIX_DESKTOP_ENTRY);
  std::string wmClass;  // the class the desktop entry expects
  for (std::string line; std::getline(entry, line);)
    if (line.starts_with("StartupWMClass=")) wmClass = line.substr(line.find('=') + 1);
  ASSERT_NE(wmClass, "");
  EXPECT_NE(props.find("WM_CLASS = \"velorix-archive\", \"" + wmClass + "\"\n"), std::string::npos) << props;
}

}  // namespace
}  // namespace velorix::e2etest
