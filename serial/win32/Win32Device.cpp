// The Win32 backend: serial devices opened with CreateFileA for overlapped
// I/O. The communications driver applies the time-outs, counts the queues
// and signals the events itself, so this layer only translates records and
// codes.
#include "serial/ComDevice.h"
#include "serial/PortMap.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// After the device header: windows.h defines the PURGE_, MS_, CE_ and
// priority-class names that ComDevice.h declares as constants (with the same
// values), and a macro of that name before the header would break it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qv {

namespace {

static_assert(sizeof(DWORD) == sizeof(uint32_t), "event word is handed to the driver in place");
static_assert(sizeof(DCB) == 28, "DCBlength of the device control block");

// The flag word of TDCB is the DCB's bit-field word read as one integer;
// bits above fAbortOnError are carried through so that a read, change and
// write of the block keeps them.
constexpr uint32_t DcbFlagsOf(const DCB& d) {
  return static_cast<uint32_t>(d.fBinary) << 0 | static_cast<uint32_t>(d.fParity) << 1 |
         static_cast<uint32_t>(d.fOutxCtsFlow) << 2 | static_cast<uint32_t>(d.fOutxDsrFlow) << 3 |
         static_cast<uint32_t>(d.fDtrControl) << 4 | static_cast<uint32_t>(d.fDsrSensitivity) << 6 |
         static_cast<uint32_t>(d.fTXContinueOnXoff) << 7 | static_cast<uint32_t>(d.fOutX) << 8 |
         static_cast<uint32_t>(d.fInX) << 9 | static_cast<uint32_t>(d.fErrorChar) << 10 |
         static_cast<uint32_t>(d.fNull) << 11 | static_cast<uint32_t>(d.fRtsControl) << 12 |
         static_cast<uint32_t>(d.fAbortOnError) << 14 | static_cast<uint32_t>(d.fDummy2) << 15;
}

// GCC cannot see that f >> 15 fits the 17 bits of fDummy2.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#endif
constexpr void SetDcbFlags(DCB& d, uint32_t f) {
  d.fBinary = (f >> 0) & 1u;
  d.fParity = (f >> 1) & 1u;
  d.fOutxCtsFlow = (f >> 2) & 1u;
  d.fOutxDsrFlow = (f >> 3) & 1u;
  d.fDtrControl = (f >> 4) & 3u;
  d.fDsrSensitivity = (f >> 6) & 1u;
  d.fTXContinueOnXoff = (f >> 7) & 1u;
  d.fOutX = (f >> 8) & 1u;
  d.fInX = (f >> 9) & 1u;
  d.fErrorChar = (f >> 10) & 1u;
  d.fNull = (f >> 11) & 1u;
  d.fRtsControl = (f >> 12) & 3u;
  d.fAbortOnError = (f >> 14) & 1u;
  d.fDummy2 = f >> 15;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

constexpr TDCB FromNative(const DCB& d) {
  TDCB t;
  t.DCBlength = d.DCBlength;
  t.BaudRate = d.BaudRate;
  t.Flags = DcbFlagsOf(d);
  t.XonLim = d.XonLim;
  t.XoffLim = d.XoffLim;
  t.ByteSize = d.ByteSize;
  t.Parity = d.Parity;
  t.StopBits = d.StopBits;
  t.XonChar = d.XonChar;
  t.XoffChar = d.XoffChar;
  t.ErrorChar = d.ErrorChar;
  t.EofChar = d.EofChar;
  t.EvtChar = d.EvtChar;
  return t;
}

// The reserved words stay zero, as the driver requires.
constexpr DCB ToNative(const TDCB& t) {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = t.BaudRate;
  SetDcbFlags(d, t.Flags);
  d.XonLim = t.XonLim;
  d.XoffLim = t.XoffLim;
  d.ByteSize = t.ByteSize;
  d.Parity = t.Parity;
  d.StopBits = t.StopBits;
  d.XonChar = t.XonChar;
  d.XoffChar = t.XoffChar;
  d.ErrorChar = t.ErrorChar;
  d.EofChar = t.EofChar;
  d.EvtChar = t.EvtChar;
  return d;
}

std::string SystemText(DWORD code) {
  char buffer[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                 sizeof buffer, nullptr);
  return TrimSystemMessage(std::string(buffer, n));
}

// The one mapping from a Win32 error code to its kind. Access denied
// means two things: at open, that another handle holds the port (a COM
// port is opened with share mode 0); on an open handle, that the device has
// gone, as a USB adapter pulled out of the machine fails every call on its
// handle so, the event wait among them.
TComErrorKind KindOf(DWORD code, bool opening) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ekNotFound;
    case ERROR_ACCESS_DENIED:
      return opening ? ekBusy : ekDeviceLost;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return ekBusy;
    case ERROR_INVALID_HANDLE:
      return ekNotOpen;
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
      return ekUnsupported;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
      return ekNoResources;
    default:
      return ekOther;
  }
}

// The device status of a Win32 error code. A call that fails while the code
// reads 0 has not really failed, and ERROR_IO_PENDING only says that an
// overlapped operation goes on: both are success.
TDevStatus StatusOf(DWORD code, bool opening = false) {
  if (code == ERROR_SUCCESS || code == ERROR_IO_PENDING) return {};
  return {static_cast<int32_t>(code), SystemText(code), KindOf(code, opening)};
}

// The status of a call that has just failed. The code is consumed, so that
// a later failure that sets none is not reported with this one's.
TDevStatus LastErrorStatus(bool opening = false) {
  const DWORD code = GetLastError();
  SetLastError(ERROR_SUCCESS);
  return StatusOf(code, opening);
}

TDevStatus Check(BOOL ok) {
  return ok ? TDevStatus{} : LastErrorStatus();
}

// Windows ends a read or write cut short by its time-out as a success with
// fewer bytes; Wine's serial driver fails it with ERROR_TIMEOUT instead.
// Both are the same end of the operation, and the port judges the count.
bool EndedByTimeout(DWORD code) {
  return code == ERROR_TIMEOUT;
}

class TWin32Event final : public TComEvent {
 public:
  explicit TWin32Event(HANDLE h) : FHandle(h) {}
  ~TWin32Event() override { CloseHandle(FHandle); }
  TWin32Event(const TWin32Event&) = delete;
  TWin32Event& operator=(const TWin32Event&) = delete;

  void Set() override { SetEvent(FHandle); }
  void Reset() override { ResetEvent(FHandle); }
  bool IsSignalled() override { return WaitForSingleObject(FHandle, 0) == WAIT_OBJECT_0; }
  void* NativeHandle() override { return FHandle; }

 private:
  HANDLE FHandle;
};

// The time-outs are the driver's (SetCommTimeouts): a read or write ends by
// itself and signals its event, so this device keeps no clock.
class TWin32Device final : public TComDevice {
 public:
  explicit TWin32Device(HANDLE h) : FHandle(h) {}
  ~TWin32Device() override;
  TWin32Device(const TWin32Device&) = delete;
  TWin32Device& operator=(const TWin32Device&) = delete;

  TDevStatus GetState(TDCB& dcb) override {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!GetCommState(FHandle, &d)) return LastErrorStatus();
    dcb = FromNative(d);
    return {};
  }

  TDevStatus SetState(const TDCB& dcb) override {
    DCB d = ToNative(dcb);
    return Check(SetCommState(FHandle, &d));
  }

  TDevStatus GetTimeouts(TCommTimeouts& t) override {
    COMMTIMEOUTS c{};
    if (!GetCommTimeouts(FHandle, &c)) return LastErrorStatus();
    t.ReadIntervalTimeout = c.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = c.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = c.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = c.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = c.WriteTotalTimeoutConstant;
    return {};
  }

  TDevStatus SetTimeouts(const TCommTimeouts& t) override {
    COMMTIMEOUTS c{};
    c.ReadIntervalTimeout = t.ReadIntervalTimeout;
    c.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    c.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    c.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    c.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return Check(SetCommTimeouts(FHandle, &c));
  }

  TDevStatus SetupComm(uint32_t inQueue, uint32_t outQueue) override {
    return Check(::SetupComm(FHandle, inQueue, outQueue));
  }

  TDevStatus Purge(uint32_t flags) override { return Check(PurgeComm(FHandle, flags)); }

  TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) override {
    DWORD word = 0;
    COMSTAT stat{};
    if (!ClearCommError(FHandle, &word, &stat)) return LastErrorStatus();
    errors = word;
    inQueue = stat.cbInQue;
    return {};
  }

  TDevStatus GetModemStatus(uint32_t& status) override {
    DWORD word = 0;
    if (!GetCommModemStatus(FHandle, &word)) return LastErrorStatus();
    status = word;
    return {};
  }

  TDevStatus SetEventMask(uint32_t mask) override { return Check(SetCommMask(FHandle, mask)); }

  TDevStatus StartRead(TOverlapped& ov) override {
    TNative* n = Prepare(ov);
    return Started(ov, *n, ReadFile(FHandle, ov.Buffer, ov.Length, nullptr, &n->Ov));
  }

  TDevStatus StartWrite(TOverlapped& ov) override {
    TNative* n = Prepare(ov);
    return Started(ov, *n, WriteFile(FHandle, ov.Data.data(), static_cast<DWORD>(ov.Data.size()), nullptr, &n->Ov));
  }

  TDevStatus GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) override {
    TNative* n = Find(ov);
    if (n == nullptr || !n->Pending) {
      // Ended when it was started (or never started on this device): the
      // count is known, and the block may not say so (see Started).
      transferred = ov.Transferred;
      return {};
    }
    DWORD count = 0;
    const BOOL ok = ::GetOverlappedResult(FHandle, &n->Ov, &count, TRUE);
    n->Pending = false;
    ov.InProgress = false;
    ov.Transferred = count;
    transferred = count;
    if (ok) return {};
    const DWORD code = GetLastError();
    SetLastError(ERROR_SUCCESS);
    return EndedByTimeout(code) ? TDevStatus{} : StatusOf(code);
  }

  // The driver writes the event word into eventMask when the wait ends, so
  // it must stay in place until then (the port's own field).
  TDevStatus WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) override {
    TNative* n = Prepare(ov);
    return Started(ov, *n, ::WaitCommEvent(FHandle, reinterpret_cast<DWORD*>(&eventMask), &n->Ov));
  }

 private:
  struct TNative {
    const TOverlapped* Owner = nullptr;
    OVERLAPPED Ov{};
    bool Pending = false;  // the driver may still write into Ov
  };

  // The port keeps its records (read, write, event wait) for the life of
  // the device, so each gets one block here on first use. The lookup is by
  // the record's address, not by ov.Native: a record that outlives an
  // earlier device still points at that device's freed block.
  TNative* Find(const TOverlapped& ov) {
    std::lock_guard<std::mutex> lock(FMutex);
    for (const auto& n : FRecords)
      if (n->Owner == &ov) return n.get();
    return nullptr;
  }

  TNative* Prepare(TOverlapped& ov) {
    TNative* n = Find(ov);
    if (n == nullptr) {
      auto fresh = std::make_unique<TNative>();
      fresh->Owner = &ov;
      n = fresh.get();
      std::lock_guard<std::mutex> lock(FMutex);
      FRecords.push_back(std::move(fresh));
    }
    n->Ov = OVERLAPPED{};
    n->Ov.hEvent = ov.Event ? static_cast<HANDLE>(ov.Event->NativeHandle()) : nullptr;
    n->Pending = false;
    ov.Native = &n->Ov;
    ov.Transferred = 0;
    ov.InProgress = false;
    return n;
  }

  // An operation that fails at once may leave its block marked pending and
  // its event reset for good; it is over all the same, so its event is set
  // and nothing waits on the block again.
  static TDevStatus Started(TOverlapped& ov, TNative& n, BOOL ok) {
    if (ok) {
      ov.Transferred = static_cast<uint32_t>(n.Ov.InternalHigh);
      return {};
    }
    const DWORD code = GetLastError();
    SetLastError(ERROR_SUCCESS);
    n.Pending = ov.InProgress = code == ERROR_IO_PENDING;
    if (n.Pending) return {};
    if (n.Ov.hEvent) SetEvent(n.Ov.hEvent);
    if (!EndedByTimeout(code)) return StatusOf(code);
    ov.Transferred = static_cast<uint32_t>(n.Ov.InternalHigh);
    return {};
  }

  HANDLE FHandle;
  std::mutex FMutex;
  std::vector<std::unique_ptr<TNative>> FRecords;
};

TWin32Device::~TWin32Device() {
  // The driver writes into a block until its operation ends, so every one
  // still pending is cancelled and seen to end before it is freed. The wait
  // is on the block's state rather than its event: an auto-reset event may
  // be taken by the monitor thread first. A block whose operation will not
  // end is leaked rather than freed under the driver.
  CancelIoEx(FHandle, nullptr);
  for (auto& n : FRecords) {
    if (!n->Pending) continue;
    for (int i = 0; i < 100 && !HasOverlappedIoCompleted(&n->Ov); ++i)
      WaitForSingleObject(n->Ov.hEvent ? n->Ov.hEvent : FHandle, 20);
    if (!HasOverlappedIoCompleted(&n->Ov)) static_cast<void>(n.release());
  }
  CloseHandle(FHandle);
}

}  // namespace

// The clock stays unused: the driver times reads and writes out itself.
TDevStatus OpenPlatformDevice(const std::string& path, TClock& /*clock*/, std::unique_ptr<TComDevice>& device) {
  device.reset();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorStatus(true);
  device = std::make_unique<TWin32Device>(h);
  return {};
}

TDevStatus InvalidHandleStatus() {
  return StatusOf(ERROR_INVALID_HANDLE);
}

uint32_t GetProcessPriorityClass() {
  return GetPriorityClass(GetCurrentProcess());
}

void SetProcessPriorityClass(uint32_t priorityClass) {
  SetPriorityClass(GetCurrentProcess(), priorityClass);
}

uint64_t CurrentPlatformThreadId() {
  return GetCurrentThreadId();
}

void SetPlatformThreadPriority(uint64_t threadId, TThreadPriority priority) {
  static constexpr int kPriorities[] = {THREAD_PRIORITY_IDLE,    THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                        THREAD_PRIORITY_NORMAL,  THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                        THREAD_PRIORITY_TIME_CRITICAL};
  HANDLE thread = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(threadId));
  if (thread == nullptr) return;
  SetThreadPriority(thread, kPriorities[priority]);
  CloseHandle(thread);
}

std::unique_ptr<TComEvent> CreateComEvent(bool manualReset, bool initialState, TDevStatus& status) {
  HANDLE h = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
  if (h == nullptr) {
    status = LastErrorStatus();
    return nullptr;
  }
  status = {};
  return std::make_unique<TWin32Event>(h);
}

void ListPlatformComDevices(std::vector<std::string>& list) {
  constexpr DWORD kSize = 65535;
  std::vector<char> buffer(kSize);
  const DWORD n = QueryDosDeviceA(nullptr, buffer.data(), kSize);
  // Names that do not fit make the call fail; the list then stays as it was.
  if (n == 0) return;
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (buffer[i] != '\0') continue;
    const std::string name(buffer.data() + start, i - start);
    if (name.starts_with("COM") || name.starts_with("\\\\.\\COM")) list.push_back(name);
    start = i + 1;
  }
}

// Windows gives its COM ports to whoever opens them first; there is no
// group to join.
std::string DeviceGroup(const std::string&) {
  return {};
}

}  // namespace qv
