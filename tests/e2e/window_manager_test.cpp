// The window as a desktop sees it: the program on a real X server under a
// window manager, its window's type, state, owner and class read back as the
// window manager reads them, and the window closed through the window
// manager. Skipped when the X programs are not installed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "headless_run.h"
#include "sim_process.h"
#include "x_session.h"

namespace velorix::e2etest {
namespace {

// The class the desktop entry expects the window to carry.
std::string StartupWMClass() {
  std::ifstream entry(VELORIX_DESKTOP_ENTRY);
  const std::string key = "StartupWMClass=";
  for (std::string line; std::getline(entry, line);)
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  return "";
}

// The numbers of a property xprop prints as "0x3, 0x2e, ...".
std::vector<unsigned long> Numbers(const std::string& value) {
  std::vector<unsigned long> numbers;
  std::istringstream in(value);
  for (std::string item; std::getline(in, item, ',');) numbers.push_back(std::strtoul(item.c_str(), nullptr, 16));
  return numbers;
}

bool Has(const std::string& list, const std::string& item) {
  std::istringstream in(list);
  for (std::string entry; std::getline(in >> std::ws, entry, ',');)
    if (entry == item) return true;
  return false;
}

// _MOTIF_WM_HINTS: flags, functions, decorations, ...
constexpr unsigned long MWM_FUNC_MINIMIZE = 1ul << 3, MWM_FUNC_MAXIMIZE = 1ul << 4, MWM_FUNC_CLOSE = 1ul << 5;
constexpr unsigned long MWM_DECOR_MINIMIZE = 1ul << 5, MWM_DECOR_MAXIMIZE = 1ul << 6;

class WindowManagerView : public HeadlessRun {};

TEST_F(WindowManagerView, OrdinaryApplicationWindowThatEndsTheProgramWhenClosed) {
  const std::string missing = XSession::Missing();
  if (!missing.empty()) GTEST_SKIP() << "needs " << missing;
  fs::create_directories(dir_ / "config");
  fs::create_directories(dir_ / "run");
  XSession x((dir_ / "config").string());
  ASSERT_EQ(x.Error(), "");

  simtest::SimProcess sim({"--quiet"});
  ::setenv("DISPLAY", x.Display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  // The X keyboard map library hands strndup names that end at their length,
  // not at a zero byte, which AddressSanitizer's strict string checks take
  // for an overflow. Not ours: the program on X runs without that check.
  if (const char* asan = std::getenv("ASAN_OPTIONS"))
    ::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);
  ProgramRun program(dir_ / "run", sim.SlavePath(), {}, dir_ / "stderr.txt");

  // Mapped and managed: the window manager has set the actions it allows.
  const std::vector<std::string> names = {"WM_NAME",          "WM_CLASS",
                                          "WM_TRANSIENT_FOR", "_NET_WM_WINDOW_TYPE",
                                          "_NET_WM_STATE",    "_NET_WM_ALLOWED_ACTIONS",
                                          "_MOTIF_WM_HINTS"};
  std::string window;
  std::map<std::string, std::string> props;
  for (const std::int64_t deadline = simtest::NowMs() + 60000; window.empty() && simtest::NowMs() < deadline;) {
    for (const std::string& id : x.Clients()) {
      props = x.Properties(id, names);
      if (props["WM_NAME"] == "\"Velorix-5  Reading archive\"" && props["_NET_WM_ALLOWED_ACTIONS"] != "not found") {
        window = id;
        break;
      }
    }
    if (window.empty()) ::usleep(100 * 1000);
  }
  ASSERT_FALSE(window.empty()) << "no window was managed; the program said:\n" << ReadFile(dir_ / "stderr.txt");

  // An application window of its own: not a dialog, not modal, transient for
  // nothing, on the task bar; its class names the desktop entry.
  EXPECT_EQ(props["_NET_WM_WINDOW_TYPE"], "_NET_WM_WINDOW_TYPE_NORMAL");
  EXPECT_EQ(props["WM_TRANSIENT_FOR"], "not found");
  EXPECT_FALSE(Has(props["_NET_WM_STATE"], "_NET_WM_STATE_MODAL")) << props["_NET_WM_STATE"];
  EXPECT_FALSE(Has(props["_NET_WM_STATE"], "_NET_WM_STATE_SKIP_TASKBAR")) << props["_NET_WM_STATE"];
  ASSERT_NE(StartupWMClass(), "");
  EXPECT_EQ(props["WM_CLASS"], "\"velorix-archive\", \"" + StartupWMClass() + "\"");

  // The title bar's buttons: minimise and close, no maximise (and a fixed
  // size), asked for and granted.
  const std::string& allowed = props["_NET_WM_ALLOWED_ACTIONS"];
  EXPECT_TRUE(Has(allowed, "_NET_WM_ACTION_MINIMIZE")) << allowed;
  EXPECT_TRUE(Has(allowed, "_NET_WM_ACTION_CLOSE")) << allowed;
  EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_MAXIMIZE_HORZ")) << allowed;
  EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_MAXIMIZE_VERT")) << allowed;
  EXPECT_FALSE(Has(allowed, "_NET_WM_ACTION_RESIZE")) << allowed;
  const std::vector<unsigned long> motif = Numbers(props["_MOTIF_WM_HINTS"]);
  ASSERT_GE(motif.size(), 3u) << props["_MOTIF_WM_HINTS"];
  EXPECT_EQ(motif[1] & (MWM_FUNC_MINIMIZE | MWM_FUNC_MAXIMIZE | MWM_FUNC_CLOSE), MWM_FUNC_MINIMIZE | MWM_FUNC_CLOSE);
  EXPECT_EQ(motif[2] & (MWM_DECOR_MINIMIZE | MWM_DECOR_MAXIMIZE), MWM_DECOR_MINIMIZE);

  // Closed through the window manager, as its close button does: the program
  // ends and has stored the port number in the folder it started in.
  x.Run("wmctrl -i -c " + window);
  ASSERT_TRUE(program.WaitFor(30000)) << "the program did not end when its window was closed";
  EXPECT_EQ(program.ExitStatus(), 0) << ReadFile(dir_ / "stderr.txt");
  EXPECT_EQ(ReadFile(dir_ / "run" / "Velquor.ini"), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

}  // namespace
}  // namespace velorix::e2etest
