// Loaded into the port server with LD_PRELOAD: answers TIOCMGET, TIOCMSET,
// TIOCMBIS and TIOCMBIC on one pseudo-terminal from the shared modem-line
// file (ModemLines.h), and notes the character format of the terminal
// settings set on it; every other call goes to the C library. Built
// without sanitizers, since the server is not.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

#include "tests/rfc2217/ser2net/ModemLines.h"

namespace {

using qv::test::TModemLinesShared;

using TIoctl = int (*)(int, unsigned long, ...);

constexpr uint32_t kDriven = TIOCM_DTR | TIOCM_RTS;
constexpr uint32_t kInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;

TIoctl RealIoctl() {
  static const TIoctl real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

struct TTarget {
  TModemLinesShared* Lines = nullptr;
  dev_t Device = 0;
};

const TTarget& Target() {
  static const TTarget target = [] {
    TTarget t;
    const char* file = std::getenv(qv::test::kModemLinesFileEnv);
    const char* tty = std::getenv(qv::test::kModemLinesTtyEnv);
    struct stat st {};
    if (!file || !tty || stat(tty, &st) != 0) return t;
    const int fd = open(file, O_RDWR | O_CLOEXEC);
    if (fd < 0) return t;
    void* map = mmap(nullptr, sizeof(TModemLinesShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return t;
    t.Lines = static_cast<TModemLinesShared*>(map);
    t.Device = st.st_rdev;
    return t;
  }();
  return target;
}

// The settings calls: TCSETS, TCSETSW, TCSETSF with struct termios, and
// the same with struct termios2 (numbers 0x2B to 0x2D), which the server
// uses for its rates. Both structures begin with the four flag words.
bool SetsTermios(unsigned long request) {
  const unsigned long number = _IOC_NR(request);
  if (request == TCSETS || request == TCSETSW || request == TCSETSF) return true;
  return _IOC_TYPE(request) == 'T' && _IOC_DIR(request) == _IOC_WRITE && number >= 0x2B && number <= 0x2D;
}

bool IsTarget(int fd) {
  const TTarget& t = Target();
  struct stat st {};
  return t.Lines && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == t.Device;
}

void Drive(TModemLinesShared& lines, uint32_t driven) {
  driven &= kDriven;
  if (__atomic_load_n(&lines.Driven, __ATOMIC_SEQ_CST) == driven) return;
  // History first: whoever sees the new state finds its entry there.
  const uint32_t n = __atomic_load_n(&lines.Changes, __ATOMIC_SEQ_CST);
  if (n < qv::test::kModemHistorySize) __atomic_store_n(&lines.History[n], driven, __ATOMIC_SEQ_CST);
  __atomic_store_n(&lines.Changes, n + 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&lines.Driven, driven, __ATOMIC_SEQ_CST);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) && IsTarget(fd)) {
    TModemLinesShared& lines = *Target().Lines;
    int* bits = static_cast<int*>(arg);
    const uint32_t driven = __atomic_load_n(&lines.Driven, __ATOMIC_SEQ_CST);
    switch (request) {
      case TIOCMGET:
        *bits = static_cast<int>(driven | (__atomic_load_n(&lines.Inputs, __ATOMIC_SEQ_CST) & kInputs));
        break;
      case TIOCMSET:
        Drive(lines, static_cast<uint32_t>(*bits));
        break;
      case TIOCMBIS:
        Drive(lines, driven | static_cast<uint32_t>(*bits));
        break;
      default:
        Drive(lines, driven & ~static_cast<uint32_t>(*bits));
        break;
    }
    return 0;
  }
  const TIoctl real = RealIoctl();
  const int result = real ? real(fd, request, arg) : -1;
  if (result == 0 && SetsTermios(request) && IsTarget(fd))
    __atomic_store_n(&Target().Lines->Cflag, static_cast<const uint32_t*>(arg)[2], __ATOMIC_SEQ_CST);
  return result;
}
