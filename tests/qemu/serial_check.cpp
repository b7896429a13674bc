// velorix-serial-check DEVICE...: for the guest test, what the serial driver
// behind each device reports without a byte being sent: its line counters
// (TIOCGICOUNT, which the link reads for the error flags) and whether the
// low-latency flag is set now. Exits 1 when a device can't be opened or has
// no counters.

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const char* device = argv[i];
    const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      std::printf("%s: open failed: %s\n", device, std::strerror(errno));
      status = 1;
      continue;
    }
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
      std::printf("%s: TIOCGICOUNT failed: %s\n", device, std::strerror(errno));
      status = 1;
    } else {
      std::printf("%s: TIOCGICOUNT rx=%d tx=%d frame=%d overrun=%d parity=%d brk=%d buf_overrun=%d\n", device,
                  counts.rx, counts.tx, counts.frame, counts.overrun, counts.parity, counts.brk,
                  counts.buf_overrun);
    }
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0)
      std::printf("%s: low_latency=%d\n", device, (serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0);
    ::close(fd);
  }
  return status;
}
