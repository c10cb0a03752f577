#include "serial/posix/TermiosDevice.h"
#include "serial/PortMap.h"

// Only the kernel's own termios definitions are used in this file: glibc's
// <termios.h> declares a struct termios of another layout and knows nothing
// of termios2, which is what carries an arbitrary rate (BOTHER).
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

constexpr const char* kNotTerminal = "Not a terminal device";
constexpr const char* kNoModemLines = "The device has no modem lines";

struct TBaudCode {
  tcflag_t Code;
  uint32_t Rate;
};

// Rates with a code of their own keep it, so that tools reading the terminal
// with the classic interface see B9600 rather than BOTHER.
// clang-format off
constexpr TBaudCode kBaudCodes[] = {
    {B0, 0},             {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},       {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},     {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000},   {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};
// clang-format on

constexpr tcflag_t Bits(unsigned int mask) {
  return static_cast<tcflag_t>(mask);
}

// The character frame in c_cflag.
constexpr tcflag_t kFrameBits = Bits(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);

bool IsPtySlave(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int m = major(st.st_rdev);
  return m == PTY_SLAVE_MAJOR || (m >= UNIX98_PTY_SLAVE_MAJOR && m < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

// USB serial adapters hold received bytes back for their latency timer
// (16 ms by default on FTDI chips) unless the port asks for low latency, so
// a stop-and-wait exchange of two characters (about 2 ms at 9600 baud) would
// take up to 16 ms. ftdi_sio turns the request into a 1 ms latency timer,
// and 8250 UARTs take it too; drivers without serial info (a
// pseudo-terminal, most other USB serial drivers) refuse TIOCGSERIAL, and
// the port simply runs as it is.
bool RequestLowLatency(int fd) {
  serial_struct info{};
  if (Ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  if ((info.flags & ASYNC_LOW_LATENCY) != 0) return true;
  info.flags |= ASYNC_LOW_LATENCY;
  return Ioctl(fd, TIOCSSERIAL, &info) == 0;
}

TDevStatus GetAttr(int fd, termios2& t) {
  if (Ioctl(fd, TCGETS2, &t) < 0) return ErrnoStatus(errno);
  return {};
}

TDevStatus SetAttr(int fd, const termios2& t) {
  if (Ioctl(fd, TCSETS2, const_cast<termios2*>(&t)) < 0) return ErrnoStatus(errno);
  return {};
}

uint32_t RateOf(const termios2& t) {
  const tcflag_t code = t.c_cflag & Bits(CBAUD);
  if (code == Bits(BOTHER)) return t.c_ospeed;
  for (const TBaudCode& b : kBaudCodes)
    if (b.Code == code) return b.Rate;
  return t.c_ospeed;
}

void SetRate(termios2& t, uint32_t rate) {
  tcflag_t code = Bits(BOTHER);
  for (const TBaudCode& b : kBaudCodes)
    if (b.Rate == rate) code = b.Code;
  // An input field of 0 makes the input rate follow the output rate.
  t.c_cflag &= ~Bits(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= code;
  t.c_ispeed = t.c_ospeed = rate;
}

// Raw byte transport: no line editing, echo, signals or translations in
// either direction. The framing and flow-control bits stay as they are;
// they belong to the control block.
void MakeRaw(termios2& t) {
  t.c_iflag &= ~Bits(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
  t.c_oflag &= ~Bits(OPOST);
  t.c_lflag &= ~Bits(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | IEXTEN);
  t.c_cflag |= Bits(CLOCAL | CREAD);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

uint32_t RtsField(const TDCB& d) {
  return d.Flags & dcbRtsControlMask;
}
uint32_t DtrField(const TDCB& d) {
  return d.Flags & dcbDtrControlMask;
}
void SetField(TDCB& d, uint32_t mask, uint32_t value) {
  d.Flags = (d.Flags & ~mask) | value;
}
void SetFlag(TDCB& d, uint32_t bit, bool on) {
  d.Flags = on ? d.Flags | bit : d.Flags & ~bit;
}

// The hardware handshake of termios is one bit for both directions.
bool WantsCrtscts(const TDCB& d) {
  return (d.Flags & dcbOutxCtsFlow) || RtsField(d) == dcbRtsHandshake;
}

// Overlays what the terminal holds onto dcb, which carries everything else.
void FillFromTermios(const termios2& t, TDCB& dcb) {
  dcb.BaudRate = RateOf(t);
  switch (t.c_cflag & Bits(CSIZE)) {
    case Bits(CS5):
      dcb.ByteSize = 5;
      break;
    case Bits(CS6):
      dcb.ByteSize = 6;
      break;
    case Bits(CS7):
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & Bits(PARENB)))
    dcb.Parity = 0;
  else if (t.c_cflag & Bits(CMSPAR))
    dcb.Parity = (t.c_cflag & Bits(PARODD)) ? 3 : 4;
  else
    dcb.Parity = (t.c_cflag & Bits(PARODD)) ? 1 : 2;
  // A UART sends one and a half stop bits for "two" at five data bits.
  if (!(t.c_cflag & Bits(CSTOPB)))
    dcb.StopBits = 0;
  else
    dcb.StopBits = dcb.ByteSize == 5 ? 1 : 2;
  SetFlag(dcb, dcbParity, t.c_iflag & Bits(INPCK));
  SetFlag(dcb, dcbOutX, t.c_iflag & Bits(IXON));
  SetFlag(dcb, dcbInX, t.c_iflag & Bits(IXOFF));
  const bool crtscts = t.c_cflag & Bits(CRTSCTS);
  if (crtscts != WantsCrtscts(dcb)) {
    // Changed behind our back (or the device's own setting at open).
    if (crtscts) {
      dcb.Flags |= dcbOutxCtsFlow;
      SetField(dcb, dcbRtsControlMask, dcbRtsHandshake);
    } else {
      dcb.Flags &= ~dcbOutxCtsFlow;
      if (RtsField(dcb) == dcbRtsHandshake) SetField(dcb, dcbRtsControlMask, dcbRtsEnable);
    }
  }
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  dcb.EofChar = static_cast<char>(t.c_cc[VEOF]);
}

bool ValidFormat(const TDCB& d) {
  if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2) return false;
  // Termios has one bit for both: 1.5 exists only at five data bits, 2 only above.
  if (d.StopBits == 1 && d.ByteSize != 5) return false;
  if (d.StopBits == 2 && d.ByteSize == 5) return false;
  return true;
}

void ToTermios(const TDCB& d, termios2& t) {
  if (d.BaudRate != 0) SetRate(t, d.BaudRate);  // 0 keeps the rate, B0 included
  static constexpr tcflag_t kSizes[] = {Bits(CS5), Bits(CS6), Bits(CS7), Bits(CS8)};
  t.c_cflag = (t.c_cflag & ~Bits(CSIZE)) | kSizes[d.ByteSize - 5];
  t.c_cflag &= ~Bits(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kParities[] = {0, Bits(PARENB | PARODD), Bits(PARENB), Bits(PARENB | CMSPAR | PARODD),
                                           Bits(PARENB | CMSPAR)};
  t.c_cflag |= kParities[d.Parity];
  if (d.StopBits != 0) t.c_cflag |= Bits(CSTOPB);
  if (WantsCrtscts(d)) t.c_cflag |= Bits(CRTSCTS);
  t.c_iflag &= ~Bits(INPCK | IXON | IXOFF);
  if (d.Flags & dcbParity) t.c_iflag |= Bits(INPCK);
  if (d.Flags & dcbOutX) t.c_iflag |= Bits(IXON);
  if (d.Flags & dcbInX) t.c_iflag |= Bits(IXOFF);
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  t.c_cc[VEOF] = static_cast<cc_t>(d.EofChar);
  MakeRaw(t);
}

class TFlagEvent final : public TComEvent {
 public:
  TFlagEvent(bool manualReset, bool initialState) : FManual(manualReset), FSet(initialState) {}
  void Set() override { FSet.store(true); }
  void Reset() override { FSet.store(false); }
  bool IsSignalled() override { return FManual ? FSet.load() : FSet.exchange(false); }

 private:
  const bool FManual;
  std::atomic<bool> FSet;
};

constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr int kModemLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

// TIOCMIWAIT sleeps in the driver until a line changes, and only a signal
// ends it sooner. The line watcher is woken with this one; its handler does
// nothing and does not restart the call. A program that has a handler of
// its own for the signal gets no line events rather than a lost one.
int WakeSignal() {
  return SIGRTMIN + 4;
}

void IgnoreWakeSignal(int) {}

bool WakeSignalReady() {
  static const bool ready = [] {
    struct sigaction old {};
    if (::sigaction(WakeSignal(), nullptr, &old) != 0) return false;
    const bool ours = !(old.sa_flags & SA_SIGINFO) && old.sa_handler == IgnoreWakeSignal;
    if (!ours && ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)) return false;
    struct sigaction sa {};
    sa.sa_handler = IgnoreWakeSignal;
    sigemptyset(&sa.sa_mask);
    return ::sigaction(WakeSignal(), &sa, nullptr) == 0;
  }();
  return ready;
}

struct TNiceClass {
  uint32_t Class;
  int Nice;
};
constexpr TNiceClass kNiceClasses[] = {
    {IDLE_PRIORITY_CLASS, 19},
    {NORMAL_PRIORITY_CLASS, 0},
    {HIGH_PRIORITY_CLASS, -10},
    {REALTIME_PRIORITY_CLASS, -20},
};

// The one mapping of the backend's errno values onto the portable kinds.
TComErrorKind ErrnoKind(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return ekNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return ekAccessDenied;
    case EBUSY:
      return ekBusy;
    case EIO:  // a hang-up, a USB adapter pulled out
      return ekDeviceLost;
    case EBADF:
      return ekNotOpen;
    case ENOTTY:  // no terminal, or a driver without the request
    case EINVAL:
    case EOPNOTSUPP:
      return ekUnsupported;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return ekNoResources;
    default:
      return ekOther;
  }
}

}  // namespace

TDevStatus ErrnoStatus(int code, const char* text) {
  return {code, text ? text : TrimSystemMessage(std::strerror(code)), ErrnoKind(code)};
}

// ---- platform functions ----------------------------------------------------

TDevStatus OpenPlatformDevice(const std::string& path, TClock& clock, std::unique_ptr<TComDevice>& device) {
  return TTermiosDevice::Open(path, clock, device);
}

TDevStatus InvalidHandleStatus() {
  return ErrnoStatus(EBADF);
}

uint32_t GetProcessPriorityClass() {
  // On Linux the nice value is per thread; the main thread's (its id is the
  // process id) stands for the process.
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  if (nice == -1 && errno != 0) return NORMAL_PRIORITY_CLASS;
  if (nice <= -15) return REALTIME_PRIORITY_CLASS;
  if (nice <= -5) return HIGH_PRIORITY_CLASS;
  if (nice < 10) return NORMAL_PRIORITY_CLASS;
  return IDLE_PRIORITY_CLASS;
}

void SetProcessPriorityClass(uint32_t priorityClass) {
  int nice = 0;
  bool known = false;
  for (const TNiceClass& c : kNiceClasses)
    if (c.Class == priorityClass) {
      nice = c.Nice;
      known = true;
    }
  if (!known) return;
  // A priority class covers every thread of the process, so each thread
  // gets the nice value. Raising priority needs privilege; failures are
  // ignored like those of the class call they stand for.
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) {
    ::setpriority(PRIO_PROCESS, 0, nice);
    return;
  }
  while (const dirent* entry = ::readdir(tasks)) {
    char* end = nullptr;
    const long tid = std::strtol(entry->d_name, &end, 10);
    if (tid > 0 && end && *end == '\0') ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
  }
  ::closedir(tasks);
}

uint64_t CurrentPlatformThreadId() {
  return static_cast<uint64_t>(::syscall(SYS_gettid));
}

void SetPlatformThreadPriority(uint64_t threadId, TThreadPriority priority) {
  // Linux schedules ordinary threads by their nice value alone, which it
  // keeps per thread.
  static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -20};
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), kNice[priority]);
}

std::unique_ptr<TComEvent> CreateComEvent(bool manualReset, bool initialState, TDevStatus& status) {
  status = {};
  return std::make_unique<TFlagEvent>(manualReset, initialState);
}

// ---- the device ------------------------------------------------------------

TDevStatus TTermiosDevice::Open(const std::string& path, TClock& clock, std::unique_ptr<TComDevice>& device) {
  // Non-blocking also keeps open from waiting for carrier on a modem line.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ErrnoStatus(errno);
  if (!::isatty(fd)) {
    ::close(fd);
    return ErrnoStatus(ENOTTY, kNotTerminal);
  }
  // TIOCEXCL does not stop root, so a second open of ours is refused by the
  // lock; the kernel's exclusive mode keeps other programs out.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return ErrnoStatus(e == EWOULDBLOCK ? EBUSY : e);
  }
  if (Ioctl(fd, TIOCEXCL, nullptr) < 0) {
    const int e = errno;
    ::close(fd);
    return ErrnoStatus(e);
  }
  std::unique_ptr<TTermiosDevice> dev(new TTermiosDevice(fd, clock));
  TDevStatus status = dev->Init();
  if (!status.Ok()) return status;
  device = std::move(dev);
  return {};
}

TTermiosDevice::TTermiosDevice(int fd, TClock& clock) : FFd(fd), FClock(clock) {
  FShadow.Flags = dcbBinary | dcbDtrEnable | dcbRtsEnable;
}

TTermiosDevice::~TTermiosDevice() {
  StopLineWatcher();
  if (FEpoll >= 0) ::close(FEpoll);
  if (FWake >= 0) ::close(FWake);
  // Exclusive mode outlives our descriptor while others hold the terminal.
  Ioctl(FFd, TIOCNXCL, nullptr);
  ::close(FFd);
}

TDevStatus TTermiosDevice::Init() {
  FIsPty = IsPtySlave(FFd);
  termios2 t{};
  TDevStatus status = GetAttr(FFd, t);
  if (!status.Ok()) return status;
  FillFromTermios(t, FShadow);
  MakeRaw(t);
  status = SetAttr(FFd, t);
  if (!status.Ok()) return status;
  FLowLatency = RequestLowLatency(FFd);
  int lines = 0;
  FHasModemLines = Ioctl(FFd, TIOCMGET, &lines) == 0;
  if (!FHasModemLines && errno != ENOTTY && errno != EINVAL) return ErrnoStatus(errno);
  serial_icounter_struct c{};
  if (Ioctl(FFd, TIOCGICOUNT, &c) == 0) {
    FHasCounters = true;
    FFrame = c.frame;
    FOverrun = c.overrun;
    FParity = c.parity;
    FBrk = c.brk;
    FBufOverrun = c.buf_overrun;
    FEvFrame = c.frame;
    FEvOverrun = c.overrun;
    FEvParity = c.parity;
    FEvBrk = c.brk;
    FEvBufOverrun = c.buf_overrun;
  }
  return {};
}

TDevStatus TTermiosDevice::GetState(TDCB& dcb) {
  termios2 t{};
  TDevStatus status = GetAttr(FFd, t);
  if (!status.Ok()) return status;
  dcb = FShadow;
  FillFromTermios(t, dcb);
  // A pseudo-terminal has no wire and keeps no frame: the kernel forces CS8
  // without parity. What was asked for stands while the terminal still holds
  // what it made of it; a change made elsewhere shows through.
  if (FIsPty && FFrameSet && (t.c_cflag & kFrameBits) == FGotFrame) {
    dcb.ByteSize = FShadow.ByteSize;
    dcb.Parity = FShadow.Parity;
    dcb.StopBits = FShadow.StopBits;
  }
  if (FHasModemLines) {
    int lines = 0;
    if (Ioctl(FFd, TIOCMGET, &lines) < 0) return ErrnoStatus(errno);
    if (DtrField(dcb) != dcbDtrHandshake)
      SetField(dcb, dcbDtrControlMask, (lines & TIOCM_DTR) ? dcbDtrEnable : dcbDtrDisable);
    if (RtsField(dcb) != dcbRtsHandshake && RtsField(dcb) != dcbRtsToggle)
      SetField(dcb, dcbRtsControlMask, (lines & TIOCM_RTS) ? dcbRtsEnable : dcbRtsDisable);
  }
  return {};
}

TDevStatus TTermiosDevice::SetState(const TDCB& dcb) {
  if (!ValidFormat(dcb)) return ErrnoStatus(EINVAL);
  termios2 t{};
  TDevStatus status = GetAttr(FFd, t);
  if (!status.Ok()) return status;
  ToTermios(dcb, t);
  status = SetAttr(FFd, t);
  if (!status.Ok()) return status;
  FAskedCflag = t.c_cflag;
  status = GetAttr(FFd, t);
  if (!status.Ok()) return status;
  FGotFrame = t.c_cflag & kFrameBits;
  FFrameSet = true;
  FShadow = dcb;
  return SetModemLines(dcb);
}

TDevStatus TTermiosDevice::SetModemLines(const TDCB& dcb) {
  // Without lines (a pseudo-terminal) the requested state lives in the shadow.
  if (!FHasModemLines) return {};
  int on = 0, off = 0;
  // Termios has no DTR handshake; the line stays on so that the peer sends.
  if (DtrField(dcb) == dcbDtrDisable)
    off |= TIOCM_DTR;
  else
    on |= TIOCM_DTR;
  switch (RtsField(dcb)) {
    case dcbRtsEnable:
      on |= TIOCM_RTS;
      break;
    case dcbRtsHandshake:  // driven by CRTSCTS
      break;
    default:  // disabled, or toggle while idle
      off |= TIOCM_RTS;
      break;
  }
  if (on && Ioctl(FFd, TIOCMBIS, &on) < 0) return ErrnoStatus(errno);
  if (off && Ioctl(FFd, TIOCMBIC, &off) < 0) return ErrnoStatus(errno);
  return {};
}

TDevStatus TTermiosDevice::GetTimeouts(TCommTimeouts& t) {
  t = FTimeouts;
  return {};
}

TDevStatus TTermiosDevice::SetTimeouts(const TCommTimeouts& t) {
  FTimeouts = t;
  return {};
}

TDevStatus TTermiosDevice::SetupComm(uint32_t inQueue, uint32_t outQueue) {
  // Linux sizes its tty buffers itself; the recommendation is only kept
  // (EV_RX80FULL counts against it).
  FInQueueSize = inQueue;
  FOutQueueSize = outQueue;
  return {};
}

void TTermiosDevice::EndOperation(TOverlapped& ov, TOverlapped*& current) {
  ov.InProgress = false;
  if (ov.Event) ov.Event->Set();
  if (current == &ov) current = nullptr;
}

TDevStatus TTermiosDevice::Purge(uint32_t flags) {
  if ((flags & PURGE_RXABORT) && FRead) EndOperation(*FRead, FRead);
  if ((flags & PURGE_TXABORT) && FWrite) EndOperation(*FWrite, FWrite);
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
  if (rx || tx) {
    const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    if (rx) FRxPurged = true;
    int r;
    do r = ::ioctl(FFd, TCFLSH, queue);
    while (r < 0 && errno == EINTR);
    if (r < 0) return ErrnoStatus(errno);
  }
  return {};
}

TDevStatus TTermiosDevice::ReadCounters(uint32_t& errors) {
  std::lock_guard<std::mutex> lock(FCounterMutex);
  serial_icounter_struct c{};
  if (Ioctl(FFd, TIOCGICOUNT, &c) < 0) return ErrnoStatus(errno);
  if (c.frame != FFrame) errors |= CE_FRAME;
  if (c.overrun != FOverrun) errors |= CE_OVERRUN;
  if (c.parity != FParity) errors |= CE_RXPARITY;
  if (c.brk != FBrk) errors |= CE_BREAK;
  if (c.buf_overrun != FBufOverrun) errors |= CE_RXOVER;
  FFrame = c.frame;
  FOverrun = c.overrun;
  FParity = c.parity;
  FBrk = c.brk;
  FBufOverrun = c.buf_overrun;
  return {};
}

TDevStatus TTermiosDevice::ClearError(uint32_t& errors, uint32_t& inQueue) {
  errors = 0;
  if (FHasCounters) {
    TDevStatus status = ReadCounters(errors);
    if (!status.Ok()) return status;
  }
  int count = 0;
  if (Ioctl(FFd, TIOCINQ, &count) < 0) return ErrnoStatus(errno);
  inQueue = static_cast<uint32_t>(count);
  return {};
}

TDevStatus TTermiosDevice::ClearLineErrors(uint32_t& errors) {
  // Checked around every read and write: a device without error counters
  // (a pseudo-terminal) costs no system call here.
  errors = 0;
  return FHasCounters ? ReadCounters(errors) : TDevStatus{};
}

TDevStatus TTermiosDevice::GetModemStatus(uint32_t& status) {
  int lines = 0;
  if (Ioctl(FFd, TIOCMGET, &lines) < 0) {
    const int e = errno;
    if (e == ENOTTY || e == EINVAL) return ErrnoStatus(e, kNoModemLines);
    return ErrnoStatus(e);
  }
  status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  return {};
}

// ---- device events -------------------------------------------------------------

TDevStatus TTermiosDevice::SetEventMask(uint32_t mask) {
  {
    std::lock_guard<std::mutex> lock(FEventMutex);
    FEventMask = mask;
    ++FMaskChanges;
    FWantsTxEmpty = (mask & EV_TXEMPTY) != 0;
    Wake();
  }
  if (mask & kLineEvents)
    StartLineWatcher();
  else
    StopLineWatcher();
  return {};
}

void TTermiosDevice::Wake() {
  if (FWake < 0) return;
  const uint64_t one = 1;
  // A full counter is awake already.
  static_cast<void>(::write(FWake, &one, sizeof one));
}

TDevStatus TTermiosDevice::PrepareEventWait() {
  if (FEpoll >= 0) return {};
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return ErrnoStatus(errno);
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const int e = errno;
    ::close(epoll);
    return ErrnoStatus(e);
  }
  // Edge-triggered: the terminal's wait queue wakes on every arrival and
  // every drain of output, whether or not bytes are still waiting, so the
  // wait sees new bytes without reading any.
  epoll_event device{};
  device.events = EPOLLIN | EPOLLOUT | EPOLLET;
  device.data.fd = FFd;
  epoll_event waker{};
  waker.events = EPOLLIN;
  waker.data.fd = wake;
  if (::epoll_ctl(epoll, EPOLL_CTL_ADD, FFd, &device) != 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &waker) != 0) {
    const int e = errno;
    ::close(epoll);
    ::close(wake);
    return ErrnoStatus(e);
  }
  FEpoll = epoll;
  FWake = wake;
  return {};
}

TDevStatus TTermiosDevice::WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) {
  std::lock_guard<std::mutex> lock(FEventMutex);
  FEventWait = &ov;
  FEventWord = &eventMask;
  FWaitMaskChanges = FMaskChanges;
  ov.InProgress = false;
  if (FEventMask == 0) {
    eventMask = 0;
    if (ov.Event) ov.Event->Set();
    return {};
  }
  TDevStatus status = PrepareEventWait();
  if (!status.Ok()) return status;
  ov.InProgress = true;
  if (ov.Event) ov.Event->Reset();
  return {};
}

uint32_t TTermiosDevice::PollEvents(uint32_t mask, bool rxEdge) {
  uint32_t events = 0;
  if (rxEdge && (mask & (EV_RXCHAR | EV_RX80FULL))) {
    // The terminal also wakes its readers for other reasons (a change of
    // settings): bytes have come when the queue plus what reads have taken
    // has grown. A read that ends between the two looks is not counted
    // twice; a purge drops bytes uncounted.
    int count = 0;
    uint64_t taken = 0;
    int got = -1;
    for (;;) {
      taken = FBytesTaken.load();
      got = Ioctl(FFd, TIOCINQ, &count);
      if (got != 0 || FBytesTaken.load() == taken) break;
    }
    if (got == 0) {
      const uint64_t seen = static_cast<uint64_t>(count) + taken;
      const bool purged = FRxPurged.exchange(false);
      if (seen > FSeenBytes || (purged && count > 0)) {
        if (mask & EV_RXCHAR) events |= EV_RXCHAR;
        const uint64_t size = FInQueueSize.load();
        if ((mask & EV_RX80FULL) && size != 0 && uint64_t(count) * 5 >= size * 4) events |= EV_RX80FULL;
      }
      FSeenBytes = seen;
    }
  }
  serial_icounter_struct c{};
  if (FHasCounters && (mask & (EV_ERR | EV_BREAK)) && Ioctl(FFd, TIOCGICOUNT, &c) == 0) {
    const bool error =
        c.frame != FEvFrame || c.overrun != FEvOverrun || c.parity != FEvParity || c.buf_overrun != FEvBufOverrun;
    if (error && (mask & EV_ERR)) events |= EV_ERR;
    if (c.brk != FEvBrk && (mask & EV_BREAK)) events |= EV_BREAK;
    FEvFrame = c.frame;
    FEvOverrun = c.overrun;
    FEvParity = c.parity;
    FEvBrk = c.brk;
    FEvBufOverrun = c.buf_overrun;
  }
  return events;
}

TDevStatus TTermiosDevice::FinishEventWait(TOverlapped& ov) {
  // The first look does not block: arrivals between two waits are kept by
  // the edge-triggered set, and must count even when another event (the
  // line watcher's, an emptied output queue) would end this wait at once.
  int timeoutMs = 0;
  for (;;) {
    epoll_event ready[4];
    const int n = ::epoll_wait(FEpoll, ready, 4, timeoutMs);
    timeoutMs = -1;
    if (n < 0 && errno != EINTR) {
      const int e = errno;
      std::lock_guard<std::mutex> lock(FEventMutex);
      EndOperation(ov, FEventWait);
      return ErrnoStatus(e);
    }
    bool rxEdge = false, hup = false;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == FFd) {
        if (ready[i].events & (EPOLLHUP | EPOLLERR)) hup = true;
        // The bits are the terminal's state when the wait looked, not what
        // woke it: bytes that a read has taken meanwhile leave no EPOLLIN,
        // so every wake of the terminal is looked into.
        rxEdge = true;
      } else {
        uint64_t count = 0;
        static_cast<void>(::read(FWake, &count, sizeof count));
      }
    }
    uint32_t mask = 0, events = 0;
    {
      std::lock_guard<std::mutex> lock(FEventMutex);
      if (hup) FHungUp = true;
      if (FMaskChanges != FWaitMaskChanges) {
        *FEventWord = 0;
        EndOperation(ov, FEventWait);
        return {};
      }
      mask = FEventMask;
      events = FLineEvents & mask;
      FLineEvents = 0;
      if (FTxPending && (mask & EV_TXEMPTY)) {
        int pending = 0;
        if (Ioctl(FFd, TIOCOUTQ, &pending) == 0 && pending == 0) {
          events |= EV_TXEMPTY;
          FTxPending = false;
        }
      }
    }
    events |= PollEvents(mask, rxEdge);
    std::lock_guard<std::mutex> lock(FEventMutex);
    if (events != 0) {
      *FEventWord = events;
      EndOperation(ov, FEventWait);
      return {};
    }
    if (FHungUp) {
      EndOperation(ov, FEventWait);
      return ErrnoStatus(EIO);
    }
  }
}

void TTermiosDevice::StartLineWatcher() {
  if (FLineWatcher.joinable() || FNoLineWait || !FHasModemLines || !WakeSignalReady()) return;
  FStopWatcher = false;
  FWatcherDone = false;
  FLineWatcher = std::thread(&TTermiosDevice::WatchLines, this);
}

void TTermiosDevice::StopLineWatcher() {
  if (!FLineWatcher.joinable()) return;
  FStopWatcher = true;
  // The signal may come just before the watcher goes into its wait: it is
  // sent again until the watcher has seen the request.
  while (!FWatcherDone) {
    ::pthread_kill(FLineWatcher.native_handle(), WakeSignal());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  FLineWatcher.join();
}

void TTermiosDevice::WatchLines() {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  serial_icounter_struct base{};
  const bool counted = FHasCounters && Ioctl(FFd, TIOCGICOUNT, &base) == 0;
  int lines = 0;
  Ioctl(FFd, TIOCMGET, &lines);
  while (!FStopWatcher) {
    // Not through Ioctl: the wake signal must end the call. The driver
    // counts from the moment of the call, so a change between the look at
    // the counters below and this wait shows with the next change.
    if (::ioctl(FFd, TIOCMIWAIT, static_cast<unsigned long>(kModemLines)) < 0) {
      if (errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(FEventMutex);
      if (errno == EIO)
        FHungUp = true;
      else
        FNoLineWait = true;  // the driver has no such wait
      Wake();
      break;
    }
    int now = 0;
    Ioctl(FFd, TIOCMGET, &now);
    uint32_t events = 0;
    serial_icounter_struct c{};
    if (counted && Ioctl(FFd, TIOCGICOUNT, &c) == 0) {
      // The interrupt counts see a line that changed and changed back.
      if (c.cts != base.cts) events |= EV_CTS;
      if (c.dsr != base.dsr) events |= EV_DSR;
      if (c.dcd != base.dcd) events |= EV_RLSD;
      if (c.rng != base.rng) events |= EV_RING;
      base = c;
    } else {
      const int changed = now ^ lines;
      if (changed & TIOCM_CTS) events |= EV_CTS;
      if (changed & TIOCM_DSR) events |= EV_DSR;
      if (changed & TIOCM_CD) events |= EV_RLSD;
      if ((now & TIOCM_RNG) && !(lines & TIOCM_RNG)) events |= EV_RING;
    }
    lines = now;
    if (events != 0) {
      std::lock_guard<std::mutex> lock(FEventMutex);
      FLineEvents |= events;
      Wake();
    }
  }
  FWatcherDone = true;
}

// ---- reading -----------------------------------------------------------------

TDevStatus TTermiosDevice::ReadAvailable(TOverlapped& ov, uint32_t& rawBytes) {
  rawBytes = 0;
  while (ov.Transferred < ov.Length) {
    uint8_t* at = ov.Buffer + ov.Transferred;
    const ssize_t r = ::read(FFd, at, ov.Length - ov.Transferred);
    if (r > 0) {
      rawBytes += static_cast<uint32_t>(r);
      FBytesTaken.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
      ov.LastByte = FClock.Now();
      uint8_t* end = at + r;
      if (FShadow.Flags & dcbNull) end = std::remove(at, end, uint8_t{0});
      ov.Transferred += static_cast<uint32_t>(end - at);
      continue;
    }
    // With VMIN and VTIME 0 an empty queue reads as 0 bytes; a hang-up is
    // told apart by the wait (POLLHUP).
    if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return {};
    if (errno != EINTR) return ErrnoStatus(errno);
  }
  return {};
}

TDevStatus TTermiosDevice::StartRead(TOverlapped& ov) {
  ov.Started = FClock.Now();
  ov.Transferred = 0;
  ov.InProgress = true;
  FRead = &ov;
  // A read that returns at once: an interval of MAXDWORD with no totals.
  const bool atOnce = ReadReturnsAtOnce(FTimeouts);
  // When the caller waits next, the wait reads: trying now would cost a
  // system call per byte that almost always finds the queue empty.
  if (ov.WaitFollows && !atOnce) {
    if (ov.Event) ov.Event->Reset();
    return {};
  }
  uint32_t raw = 0;
  TDevStatus status = ReadAvailable(ov, raw);
  if (!status.Ok() || ov.Transferred >= ov.Length || atOnce)
    EndOperation(ov, FRead);
  else if (ov.Event)
    ov.Event->Reset();
  return status;
}

TDevStatus TTermiosDevice::FinishRead(TOverlapped& ov) {
  // Wait first, then read: the operation's start has already read what was
  // waiting (or left it to this wait), so a read before the wait would only
  // find the queue empty. Past the deadline the wait still looks once,
  // without blocking, for bytes that came in the meantime.
  for (;;) {
    const int ready = FClock.WaitFd(FFd, POLLIN, ReadDeadline(FTimeouts, ov).WaitUs(FClock.Now()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      EndOperation(ov, FRead);
      return ErrnoStatus(e);
    }
    if (ready & POLLNVAL) {
      EndOperation(ov, FRead);
      return ErrnoStatus(EBADF);
    }
    if (ready == 0) {  // the time-out ran out
      EndOperation(ov, FRead);
      return {};
    }
    uint32_t raw = 0;
    TDevStatus status = ReadAvailable(ov, raw);
    if (!status.Ok() || ov.Transferred >= ov.Length) {
      EndOperation(ov, FRead);
      return status;
    }
    if ((ready & (POLLHUP | POLLERR)) && raw == 0) {
      EndOperation(ov, FRead);
      return ErrnoStatus(EIO);
    }
  }
}

// ---- writing -----------------------------------------------------------------

TDevStatus TTermiosDevice::WriteAvailable(TOverlapped& ov, uint32_t& written) {
  written = 0;
  const size_t size = ov.Data.size();
  while (ov.Transferred < size) {
    const ssize_t w = ::write(FFd, ov.Data.data() + ov.Transferred, size - ov.Transferred);
    if (w > 0) {
      ov.Transferred += static_cast<uint32_t>(w);
      written += static_cast<uint32_t>(w);
      continue;
    }
    if (w == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return {};
    if (errno != EINTR) return ErrnoStatus(errno);
  }
  return {};
}

TDevStatus TTermiosDevice::StartWrite(TOverlapped& ov) {
  ov.Started = FClock.Now();
  ov.Transferred = 0;
  ov.Length = static_cast<uint32_t>(ov.Data.size());
  ov.InProgress = true;
  FWrite = &ov;
  uint32_t written = 0;
  // Complete once the bytes are in the kernel's queue; transmission itself
  // is not awaited.
  TDevStatus status = WriteAvailable(ov, written);
  if (written != 0 && FWantsTxEmpty.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(FEventMutex);
    FTxPending = true;
    Wake();
  }
  if (!status.Ok() || ov.Transferred >= ov.Length)
    EndOperation(ov, FWrite);
  else if (ov.Event)
    ov.Event->Reset();
  return status;
}

TDevStatus TTermiosDevice::FinishWrite(TOverlapped& ov) {
  const TDeadline deadline = WriteDeadline(FTimeouts, ov);
  bool hungUp = false;
  for (;;) {
    uint32_t written = 0;
    TDevStatus status = WriteAvailable(ov, written);
    if (!status.Ok() || ov.Transferred >= ov.Length) {
      EndOperation(ov, FWrite);
      return status;
    }
    if (hungUp && written == 0) {
      EndOperation(ov, FWrite);
      return ErrnoStatus(EIO);
    }
    const TClock::TDuration now = FClock.Now();
    if (deadline.Passed(now)) {
      EndOperation(ov, FWrite);
      return {};
    }
    const int ready = FClock.WaitFd(FFd, POLLOUT, deadline.WaitUs(now));
    if (ready < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      EndOperation(ov, FWrite);
      return ErrnoStatus(e);
    }
    if (ready & POLLNVAL) {
      EndOperation(ov, FWrite);
      return ErrnoStatus(EBADF);
    }
    hungUp = ready & (POLLHUP | POLLERR);
  }
}

TDevStatus TTermiosDevice::GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) {
  TDevStatus status;
  if (ov.InProgress) {
    bool eventWait = false;
    {
      std::lock_guard<std::mutex> lock(FEventMutex);
      eventWait = &ov == FEventWait;
    }
    if (eventWait)
      status = FinishEventWait(ov);
    else if (&ov == FRead)
      status = FinishRead(ov);
    else if (&ov == FWrite)
      status = FinishWrite(ov);
    else
      ov.InProgress = false;  // not an operation of this device: nothing to wait for
  }
  transferred = ov.Transferred;
  if (ov.Event) ov.Event->Set();
  return status;
}

std::string DeviceGroup(const std::string& device) {
  struct stat st {};
  if (device.empty() || device[0] != '/' || ::stat(device.c_str(), &st) != 0) return {};
  std::vector<char> buf(4096);
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) return {};
  return found->gr_name;
}

}  // namespace qv
