// Measures what the link's worker costs while it waits: starts a link, lets it
// find the instrument, then leaves it idle and reports the processor time the
// process used meanwhile. The main thread only sleeps, so that time is the
// worker's.
//   velorix-link-idle [SECONDS]     (COM ports mapped as for the program)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "link/device_link.h"
#include "console/queued_link_owner.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  velorix::QueuedLinkOwner owner;
  velorix::CDeviceLink link;
  link.Start(&owner);

  // Wait for the scan's verdict.
  for (;;) {
    auto notice = owner.Take(std::chrono::seconds(10));
    if (!notice) {
      std::fprintf(stderr, "no word from the link within 10 s\n");
      return 1;
    }
    if (notice->kind == velorix::LinkNotice::MessageBox) link.MessageBoxClosed();
    if (notice->kind != velorix::LinkNotice::Status) continue;
    if (notice->text.rfind(" Device connected", 0) == 0) break;
    if (notice->text == " Device do't connected.") {
      std::fprintf(stderr, "instrument not found\n");
      return 1;
    }
  }

  const double before = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - before;
  std::printf("idle worker: %.4f s of CPU in %.2f s of wall time = %.3f%% of a core\n", cpu, wall,
              100.0 * cpu / wall);
  link.Stop();
  return 0;
}
