#include "serial/posix/TermiosDevice.h"

// Only the kernel's own termios definitions are used in this file: glibc's
// <termios.h> declares a struct termios of another layout and knows nothing
// of termios2, which is what carries an arbitrary rate (BOTHER).
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

}  // namespace

TDevStatus ErrnoStatus(int code) {
  return {code, TrimSystemMessage(std::strerror(code))};
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
    return {ENOTTY, kNotTerminal};
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
  // Linux sizes its tty buffers itself; the recommendation is only kept.
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
    int r;
    do r = ::ioctl(FFd, TCFLSH, queue);
    while (r < 0 && errno == EINTR);
    if (r < 0) return ErrnoStatus(errno);
  }
  return {};
}

TDevStatus TTermiosDevice::ReadCounters(uint32_t& errors) {
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
    if (e == ENOTTY || e == EINVAL) return {e, kNoModemLines};
    return ErrnoStatus(e);
  }
  status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  return {};
}

TDevStatus TTermiosDevice::SetEventMask(uint32_t mask) {
  FEventMask = mask;
  return {};
}

TDevStatus TTermiosDevice::WaitCommEvent(uint32_t& eventMask, TOverlapped&) {
  // The event monitor is not wired to this backend yet: the mask is kept,
  // but nothing here watches the lines for it.
  eventMask = 0;
  return ErrnoStatus(ENOSYS);
}

// ---- reading -----------------------------------------------------------------

TDevStatus TTermiosDevice::ReadAvailable(TOverlapped& ov, uint32_t& rawBytes) {
  rawBytes = 0;
  while (ov.Transferred < ov.Length) {
    uint8_t* at = ov.Buffer + ov.Transferred;
    const ssize_t r = ::read(FFd, at, ov.Length - ov.Transferred);
    if (r > 0) {
      rawBytes += static_cast<uint32_t>(r);
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
  TClock::TDuration total{};
  const bool hasTotal =
      TotalTimeout(FTimeouts.ReadTotalTimeoutMultiplier, FTimeouts.ReadTotalTimeoutConstant, ov.Length, total);
  const TClock::TDuration interval(static_cast<int64_t>(FTimeouts.ReadIntervalTimeout) * 1000);
  // Wait first, then read: the operation's start has already read what was
  // waiting (or left it to this wait), so a read before the wait would only
  // find the queue empty.
  for (;;) {
    bool limited = hasTotal;
    TClock::TDuration deadline = ov.Started + total;
    // The interval runs only once a byte has come.
    if (FTimeouts.ReadIntervalTimeout != 0 && ov.Transferred > 0) {
      const TClock::TDuration gapEnd = ov.LastByte + interval;
      deadline = limited ? std::min(deadline, gapEnd) : gapEnd;
      limited = true;
    }
    int64_t waitUs = -1;
    if (limited) {
      const TClock::TDuration now = FClock.Now();
      // Past the deadline the wait still looks once, without blocking, for
      // bytes that came in the meantime.
      waitUs = now >= deadline ? 0 : (deadline - now).count();
    }
    const int ready = FClock.WaitFd(FFd, POLLIN, waitUs);
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
  if (!status.Ok() || ov.Transferred >= ov.Length)
    EndOperation(ov, FWrite);
  else if (ov.Event)
    ov.Event->Reset();
  return status;
}

TDevStatus TTermiosDevice::FinishWrite(TOverlapped& ov) {
  TClock::TDuration total{};
  const bool limited =
      TotalTimeout(FTimeouts.WriteTotalTimeoutMultiplier, FTimeouts.WriteTotalTimeoutConstant, ov.Length, total);
  const TClock::TDuration deadline = ov.Started + total;
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
    int64_t waitUs = -1;
    if (limited) {
      const TClock::TDuration now = FClock.Now();
      if (now >= deadline) {
        EndOperation(ov, FWrite);
        return {};
      }
      waitUs = (deadline - now).count();
    }
    const int ready = FClock.WaitFd(FFd, POLLOUT, waitUs);
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
    if (&ov == FRead)
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

}  // namespace qv
