// Modem lines for pseudo-terminals, which have none: this ioctl stands in
// front of the C library's and answers the modem-line and counter requests
// (TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCGICOUNT) for the
// pseudo-terminal slaves that have a state file in the folder named by
// QV_MODEM_SHIM; every other request and descriptor goes to the real call.
// Linked into a test program it serves that program; built as a shared
// library it is preloaded into another (Wine, a port server).
//
// The state file "pts-N" (N the slave's number) holds one line of decimal
// numbers: the device's lines (TIOCM_ CTS, DSR, CD, RI bits), the host's
// lines (DTR, RTS), then the counters cts dsr dcd rng frame overrun parity
// brk buf_overrun. The far end rewrites it whole (write and rename), the
// shim reads it at every request; TIOCMIWAIT looks every 2 ms, and a signal
// ends it as it ends the driver's.
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace {

struct TState {
  int Lines = 0, Host = 0;
  int Counts[9] = {};  // cts dsr dcd rng frame overrun parity brk buf_overrun
};

using TIoctl = int (*)(int, unsigned long, ...);

TIoctl RealIoctl() {
  static TIoctl real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// The state file of a shimmed descriptor; false for any other.
bool StatePath(int fd, char* path, size_t size) {
  const char* dir = getenv("QV_MODEM_SHIM");
  if (dir == nullptr || *dir == '\0') return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  if (m < 136 || m > 143) return false;  // the Unix 98 pseudo-terminal slaves
  snprintf(path, size, "%s/pts-%u", dir, (m - 136) * 256 + minor(st.st_rdev));
  return access(path, F_OK) == 0;
}

bool Load(const char* path, TState& s) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  const int n =
      fscanf(f, "%d %d %d %d %d %d %d %d %d %d %d", &s.Lines, &s.Host, &s.Counts[0], &s.Counts[1], &s.Counts[2],
             &s.Counts[3], &s.Counts[4], &s.Counts[5], &s.Counts[6], &s.Counts[7], &s.Counts[8]);
  fclose(f);
  return n == 11;
}

bool Store(const char* path, const TState& s) {
  char temp[4200];
  snprintf(temp, sizeof temp, "%s.%d", path, static_cast<int>(getpid()));
  FILE* f = fopen(temp, "we");
  if (f == nullptr) return false;
  fprintf(f, "%d %d %d %d %d %d %d %d %d %d %d\n", s.Lines, s.Host, s.Counts[0], s.Counts[1], s.Counts[2], s.Counts[3],
          s.Counts[4], s.Counts[5], s.Counts[6], s.Counts[7], s.Counts[8]);
  fclose(f);
  return rename(temp, path) == 0;
}

int Fail(int code) {
  errno = code;
  return -1;
}

int Serve(const char* path, unsigned long request, void* arg) {
  TState s;
  if (!Load(path, s)) return Fail(EIO);
  switch (request) {
    case TIOCMGET:
      *static_cast<int*>(arg) = s.Lines | s.Host;
      return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
      const int bits = *static_cast<int*>(arg) & (TIOCM_DTR | TIOCM_RTS);
      if (request == TIOCMSET) s.Host = bits;
      if (request == TIOCMBIS) s.Host |= bits;
      if (request == TIOCMBIC) s.Host &= ~bits;
      return Store(path, s) ? 0 : Fail(EIO);
    }
    case TIOCGICOUNT: {
      serial_icounter_struct c{};
      c.cts = s.Counts[0];
      c.dsr = s.Counts[1];
      c.dcd = s.Counts[2];
      c.rng = s.Counts[3];
      c.frame = s.Counts[4];
      c.overrun = s.Counts[5];
      c.parity = s.Counts[6];
      c.brk = s.Counts[7];
      c.buf_overrun = s.Counts[8];
      *static_cast<serial_icounter_struct*>(arg) = c;
      return 0;
    }
    case TIOCMIWAIT: {
      const unsigned long mask = reinterpret_cast<unsigned long>(arg);
      const int bits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG};
      for (;;) {
        const timespec pause{0, 2000000};
        if (nanosleep(&pause, nullptr) != 0) return Fail(EINTR);
        TState now;
        if (!Load(path, now)) return Fail(EIO);
        for (int i = 0; i < 4; ++i)
          if ((mask & static_cast<unsigned long>(bits[i])) && now.Counts[i] != s.Counts[i]) return 0;
      }
    }
    default:
      return -2;
  }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  char path[4096];
  if (StatePath(fd, path, sizeof path)) {
    const int r = Serve(path, request, arg);
    if (r != -2) return r;
  }
  return RealIoctl()(fd, request, arg);
}
