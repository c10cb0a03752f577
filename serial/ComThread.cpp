// The event monitor of a port: the handlers' mask, the monitor thread and
// the dispatch of device events.
//
// The port and its monitor share a TMonitorLink. The port only ever touches
// the link, never the thread object, so it cannot address a monitor that has
// ended; the monitor touches the port only while it holds the link busy,
// and letting go of a monitor (StopMonitor) waits until it does not. Busy
// is never held across a synchronised call, so a port let go of on the main
// thread does not wait for a monitor that waits for the main thread.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <thread>

#include "serial/ComPort.h"

namespace qv {

struct TMonitorLink {
  TMonitorLink(TCustomComPort* port, TThreadPriority priority) : Port(port), Priority(priority) {}

  // Takes the port for the calling thread; false once the port has let go
  // of the monitor or the monitor has ended.
  bool Acquire() {
    std::unique_lock<std::mutex> lock(Mutex);
    const std::thread::id me = std::this_thread::get_id();
    Changed.wait(lock, [&] { return !Busy || BusyOwner == me || Terminated || !Port; });
    if (Terminated || !Port) return false;
    Busy = true;
    BusyOwner = me;
    return true;
  }

  void Release() {
    std::lock_guard<std::mutex> lock(Mutex);
    if (!Busy || BusyOwner != std::this_thread::get_id()) return;
    Busy = false;
    Changed.notify_all();
  }

  bool Holds(const TCustomComPort* port) {
    std::lock_guard<std::mutex> lock(Mutex);
    return Port == port && !Terminated;
  }

  bool OnMonitorThread() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Started && ThreadId == std::this_thread::get_id();
  }

  std::mutex Mutex;
  std::condition_variable Changed;
  TCustomComPort* Port;  // null once the port has let go of the monitor
  bool Terminated = false;
  bool Busy = false;
  std::thread::id BusyOwner;
  bool Started = false;
  std::thread::id ThreadId;
  uint64_t NativeId = 0;
  TThreadPriority Priority;
};

namespace {

constexpr const char* kNoThread = "Can't create thread";

// The dispatch order: the twelve device events with the line-error check
// between OnDSRChange and OnEvent1.
constexpr int kLineErrorStep = 3;
constexpr int kSteps = 13;

// Event bits of the twelve device events, in TDeviceEvent order.
constexpr uint32_t kDeviceEventBits[] = {EV_BREAK, EV_CTS,  EV_DSR,      EV_EVENT1, EV_EVENT2, EV_PERR,
                                         EV_RING,  EV_RLSD, EV_RX80FULL, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};

}  // namespace

// ---- the handlers ----------------------------------------------------------

TLineErrorEvent TCustomComPort::OnLineError() const {
  std::lock_guard<std::mutex> lock(FHandlerMutex);
  return FOnLineError;
}

TNotifyEvent TCustomComPort::DeviceEvent(TDeviceEvent which) const {
  std::lock_guard<std::mutex> lock(FHandlerMutex);
  return FDeviceEvents[which];
}

void TCustomComPort::SetOnLineError(TLineErrorEvent value) {
  {
    std::lock_guard<std::mutex> lock(FHandlerMutex);
    if (FOnLineError.SameRoutine(value)) return;
    FOnLineError = value;
  }
  ApplyEventMask();
}

void TCustomComPort::SetDeviceEvent(TDeviceEvent which, TNotifyEvent handler) {
  {
    std::lock_guard<std::mutex> lock(FHandlerMutex);
    if (FDeviceEvents[which].SameRoutine(handler)) return;
    FDeviceEvents[which] = handler;
  }
  ApplyEventMask();
}

uint32_t TCustomComPort::WantedEventMask() const {
  std::lock_guard<std::mutex> lock(FHandlerMutex);
  uint32_t mask = FOnLineError ? uint32_t{EV_ERR} : 0u;
  for (int i = deBreak; i <= deTxEmpty; ++i)
    if (FDeviceEvents[i]) mask |= kDeviceEventBits[i];
  return mask;
}

// ---- starting and stopping ---------------------------------------------------

void TCustomComPort::ApplyEventMask() {
  if (!CanApply()) return;
  const uint32_t mask = WantedEventMask();
  if (mask == 0) StopMonitor();
  CheckResult(FDevice->SetEventMask(mask));
  if (mask != 0) StartMonitor();
}

TComThread* TCustomComPort::Monitor() const {
  std::lock_guard<std::mutex> lock(FMonitorMutex);
  return FMonitor;
}

void TCustomComPort::StartMonitor() {
  {
    std::lock_guard<std::mutex> lock(FMonitorMutex);
    if (FMonitorLink) return;
  }
  bool started = false;
  try {
    new TComThread(this, std::make_shared<TMonitorLink>(this, FThreadPriority));
    started = true;
  } catch (const std::exception&) {
  }
  if (!started) RaiseComError(0, kNoThread, ekNoResources);
}

void TCustomComPort::StopMonitor() {
  std::shared_ptr<TMonitorLink> link;
  {
    std::lock_guard<std::mutex> lock(FMonitorMutex);
    link = FMonitorLink;
  }
  if (!link) return;
  {
    std::lock_guard<std::mutex> lock(link->Mutex);
    link->Terminated = true;
    link->Changed.notify_all();
  }
  {
    std::unique_lock<std::mutex> lock(link->Mutex);
    const std::thread::id me = std::this_thread::get_id();
    const auto letGo = [&] { return !link->Busy || link->BusyOwner == me; };
    // Ends a wait in progress, so that the monitor leaves the device. The
    // monitor may have taken the port before the request and begin its
    // wait only after the change of the mask, which then ends nothing (a
    // wait on an empty mask can last for ever): so the mask is changed
    // again until the monitor has let go.
    do {
      lock.unlock();
      if (FDevice) static_cast<void>(FDevice->SetEventMask(0));
      lock.lock();
    } while (!link->Changed.wait_for(lock, std::chrono::milliseconds(20), letGo));
    link->Port = nullptr;
  }
  std::lock_guard<std::mutex> lock(FMonitorMutex);
  if (FMonitorLink == link) {
    FMonitorLink.reset();
    FMonitor = nullptr;
  }
}

bool TCustomComPort::ForgetMonitor(TMonitorLink& link) {
  {
    std::lock_guard<std::mutex> lock(link.Mutex);
    if (link.Port != this) return false;
    link.Port = nullptr;
    link.Terminated = true;
    link.Changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(FMonitorMutex);
  if (FMonitorLink.get() == &link) {
    FMonitorLink.reset();
    FMonitor = nullptr;
  }
  return true;
}

void TCustomComPort::SetThreadPriority(TThreadPriority value) {
  FThreadPriority = value;
  std::shared_ptr<TMonitorLink> link;
  {
    std::lock_guard<std::mutex> lock(FMonitorMutex);
    link = FMonitorLink;
  }
  if (!link) return;
  std::lock_guard<std::mutex> lock(link->Mutex);
  link->Priority = value;
  if (link->Started) SetPlatformThreadPriority(link->NativeId, value);
}

bool TCustomComPort::HandOverClose() {
  std::shared_ptr<TMonitorLink> link;
  {
    std::lock_guard<std::mutex> lock(FMonitorMutex);
    link = FMonitorLink;
  }
  if (!link || !link->OnMonitorThread() || !HasMainThreadSynchronizer()) return false;
  // The main thread lets go of the monitor as part of the Close: it must
  // not find the monitor busy with the port meanwhile.
  link->Release();
  SynchronizeCall([this] { Close(); });
  return true;
}

// ---- the monitor's steps -------------------------------------------------------

void TCustomComPort::WaitForEvents(TComThread& thread) {
  TMonitorLink& link = *thread.FLink;
  TDevStatus status = FDevice->WaitCommEvent(FEventMask, FEventOverlapped);
  if (status.Ok() && FEventOverlapped.InProgress) {
    FMonitorError = 997;  // ERROR_IO_PENDING: the wait goes on
    uint32_t transferred = 0;
    status = FDevice->GetOverlappedResult(FEventOverlapped, transferred);
  }
  if (thread.Terminated()) return;
  if (status.Ok()) {
    Dispatch(link);
    return;
  }
  FMonitorError = status.Code;
  FMonitorErrorText = status.Text;
  FMonitorErrorKind = status.Kind == ekNone ? ekOther : status.Kind;
  MonitorFailed(link, status.Lost());
}

void TCustomComPort::Dispatch(TMonitorLink& link) {
  // A wait ended by a change of the mask delivers nothing.
  if (FEventMask == 0) return;
  if (!FSynchronizeEvents) {
    Walk(&link);
    return;
  }
  link.Release();
  SynchronizeCall([this, &link] {
    if (!link.Acquire()) return;
    Walk(&link);
    link.Release();
  });
}

void TCustomComPort::DispatchEvents() {
  Walk(nullptr);
}

void TCustomComPort::Walk(TMonitorLink* link) {
  const uint32_t mask = FEventMask;
  for (int step = 0; step < kSteps; ++step) {
    if (link && !link->Holds(this)) return;
    try {
      if (step == kLineErrorStep) {
        if ((mask & EV_ERR) && OnLineError()) CheckLineErrors();
        continue;
      }
      const int which = step < kLineErrorStep ? step : step - 1;
      if (!(mask & kDeviceEventBits[which])) continue;
      const TNotifyEvent handler = DeviceEvent(static_cast<TDeviceEvent>(which));
      if (handler) handler(this);
    } catch (...) {
      const std::exception_ptr error = std::current_exception();
      if (link && link->OnMonitorThread()) {
        link->Release();
        SynchronizeCall([error] { HandleApplicationException(error); });
      } else {
        HandleApplicationException(error);
      }
      return;
    }
  }
}

void TCustomComPort::MonitorFailed(TMonitorLink& link, bool lost) {
  link.Release();
  try {
    SynchronizeCall([this, &link, lost] {
      // A port that has let go of its monitor meanwhile has nothing to hear.
      if (!ForgetMonitor(link)) return;
      try {
        RaiseMonitorError();
      } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (lost) {
          try {
            Close();
          } catch (...) {
            // The device is gone: a close handler's failure changes nothing.
          }
        }
        // Nobody called for this wait: the error goes to the application
        // unless OnError chose the silent abort.
        HandleApplicationException(error);
      }
    });
  } catch (...) {
    // The application could not run the report; the monitor ends all the
    // same.
  }
  std::lock_guard<std::mutex> lock(link.Mutex);
  link.Terminated = true;
  link.Changed.notify_all();
}

void TCustomComPort::RaiseMonitorError() {
  RaiseComError(FMonitorError, FMonitorErrorText, FMonitorErrorKind);
}

// ---- the thread ------------------------------------------------------------------

TComThread::TComThread(TCustomComPort* port, std::shared_ptr<TMonitorLink> link)
    : ComPort(port), FLink(std::move(link)) {
  {
    std::lock_guard<std::mutex> lock(port->FMonitorMutex);
    port->FMonitor = this;
    port->FMonitorLink = FLink;
  }
  try {
    // Detached: the thread frees itself, and the port waits only for the
    // link, never for the thread's end.
    std::thread(&TComThread::Run, this).detach();
  } catch (...) {
    std::lock_guard<std::mutex> lock(port->FMonitorMutex);
    port->FMonitor = nullptr;
    port->FMonitorLink.reset();
    throw;
  }
}

TComThread::~TComThread() = default;

bool TComThread::Terminated() const {
  std::lock_guard<std::mutex> lock(FLink->Mutex);
  return FLink->Terminated;
}

void TComThread::Run(TComThread* self) {
  const std::shared_ptr<TMonitorLink> link = self->FLink;
  {
    std::lock_guard<std::mutex> lock(link->Mutex);
    link->ThreadId = std::this_thread::get_id();
    link->NativeId = CurrentPlatformThreadId();
    link->Started = true;
    SetPlatformThreadPriority(link->NativeId, link->Priority);
  }
  try {
    self->Execute();
  } catch (...) {
    // An exception that leaves a wait ends the monitor.
  }
  link->Release();
  {
    std::lock_guard<std::mutex> lock(link->Mutex);
    link->Terminated = true;
    link->Changed.notify_all();
  }
  delete self;
}

void TComThread::Execute() {
  while (FLink->Acquire()) {
    ComPort->WaitForEvents(*this);
    FLink->Release();
  }
}

}  // namespace qv
