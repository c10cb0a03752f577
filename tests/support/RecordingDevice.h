// An in-memory device for tests of the port's own logic: it keeps the
// device control block and time-outs like a driver would and records every
// update, so that the mapping and the re-apply rules can be checked without
// hardware. Register it with TRecordingDevice::Scope; ports then open
// "rec://NAME".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/ComDevice.h"

namespace qv::test {

// The device events a test feeds to the port's monitor: each entry ends one
// event wait, with its event word or with a failure. The monitor thread
// waits here while the test thread feeds and sets masks, hence the lock.
struct TEventFeed {
  struct TEnd {
    uint32_t Word = 0;
    TDevStatus Failure;  // Code 0: the wait delivers Word
  };

  void Deliver(uint32_t word) { Push({word, {}}); }
  void Fail(TDevStatus failure) { Push({0, std::move(failure)}); }
  void Push(TEnd end) {
    std::lock_guard<std::mutex> lock(Mutex);
    Ends.push_back(std::move(end));
    Cond.notify_all();
  }
  // Waits until n waits have been started on the device.
  bool AwaitWaits(int n, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Waits >= n; });
  }
  bool AwaitIdle(int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !Waiting; });
  }
  // Waits until a wait is held on its way to the device (HoldNextWait).
  bool AwaitHeld(int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Held; });
  }
  int WaitsStarted() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Waits;
  }
  bool InWait() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Waiting;
  }

  std::mutex Mutex;
  std::condition_variable Cond;
  std::deque<TEnd> Ends;
  uint32_t Mask = 0;
  unsigned MaskChanges = 0;
  int Waits = 0;
  bool Waiting = false;
  // As some drivers do: a wait begun on an empty mask lasts until the mask
  // is set again, instead of ending at once.
  bool EmptyMaskWaits = false;
  // The next wait reaches the device only after the next change of the
  // mask, which it therefore misses: a monitor that has taken the port and
  // is on its way to its wait when the port ends it.
  bool HoldNextWait = false;
  bool Held = false;
};

struct TRecordedDevice {
  TDCB State;                       // what the "driver" holds
  TCommTimeouts Timeouts;
  std::vector<TDCB> StateWrites;    // every SetState, in order
  std::vector<TCommTimeouts> TimeoutWrites;
  std::vector<std::pair<uint32_t, uint32_t>> QueueSizes;
  std::vector<uint32_t> Purges;
  std::vector<uint32_t> EventMasks;
  uint32_t ErrorWord = 0;           // given and cleared by the next ClearError
  uint32_t InQueue = 0;
  uint32_t ModemWord = 0;
  int32_t FailOpenWith = 0;         // errno-like code for a failing open
  int32_t FailSetStateWith = 0;
  int Opens = 0;
  bool IsOpen = false;
  std::shared_ptr<TEventFeed> Events = std::make_shared<TEventFeed>();
};

class TRecordingDevice : public TComDevice {
public:
  explicit TRecordingDevice(TRecordedDevice& d) : D(d) { D.IsOpen = true; }
  ~TRecordingDevice() override { D.IsOpen = false; }

  TDevStatus GetState(TDCB& dcb) override {
    dcb = D.State;
    return {};
  }
  TDevStatus SetState(const TDCB& dcb) override {
    if (D.FailSetStateWith) return {D.FailSetStateWith, "Invalid argument"};
    D.State = dcb;
    D.StateWrites.push_back(dcb);
    return {};
  }
  TDevStatus GetTimeouts(TCommTimeouts& t) override {
    t = D.Timeouts;
    return {};
  }
  TDevStatus SetTimeouts(const TCommTimeouts& t) override {
    D.Timeouts = t;
    D.TimeoutWrites.push_back(t);
    return {};
  }
  TDevStatus SetupComm(uint32_t in, uint32_t out) override {
    D.QueueSizes.emplace_back(in, out);
    return {};
  }
  TDevStatus Purge(uint32_t flags) override {
    D.Purges.push_back(flags);
    return {};
  }
  TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) override {
    errors = D.ErrorWord;
    D.ErrorWord = 0;
    inQueue = D.InQueue;
    return {};
  }
  TDevStatus GetModemStatus(uint32_t& status) override {
    status = D.ModemWord;
    return {};
  }
  TDevStatus SetEventMask(uint32_t mask) override {
    D.EventMasks.push_back(mask);
    std::lock_guard<std::mutex> lock(F.Mutex);
    F.Mask = mask;
    ++F.MaskChanges;
    F.Cond.notify_all();
    return {};
  }
  // Reads and writes complete at once: reads deliver nothing (a time-out),
  // writes everything.
  TDevStatus StartRead(TOverlapped& ov) override {
    ov.Transferred = 0;
    ov.InProgress = true;
    return {};
  }
  TDevStatus StartWrite(TOverlapped& ov) override {
    ov.Transferred = ov.Length;
    ov.InProgress = false;
    if (ov.Event) ov.Event->Set();
    return {};
  }
  TDevStatus GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) override {
    TDevStatus status;
    if (&ov == FEventWait) status = FinishEventWait(ov);
    transferred = ov.Transferred;
    ov.InProgress = false;
    if (ov.Event) ov.Event->Set();
    return status;
  }
  // A wait ends at once when the feed has an end ready (or the mask is 0),
  // and otherwise in GetOverlappedResult, at the next end fed or mask set.
  TDevStatus WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) override {
    std::unique_lock<std::mutex> lock(F.Mutex);
    if (F.HoldNextWait) {
      const unsigned seen = F.MaskChanges;
      F.Held = true;
      F.Cond.notify_all();
      F.Cond.wait(lock, [&] { return F.MaskChanges != seen; });
      F.HoldNextWait = false;
      F.Held = false;
    }
    ++F.Waits;
    F.Cond.notify_all();
    FWord = &eventMask;
    FEventWait = &ov;
    FMaskChanges = F.MaskChanges;
    ov.InProgress = false;
    if (F.Mask == 0 && !F.EmptyMaskWaits) {
      eventMask = 0;
      return {};
    }
    if (!F.Ends.empty()) return TakeEnd();
    ov.InProgress = true;
    F.Waiting = true;
    return {};
  }

private:
  TDevStatus FinishEventWait(TOverlapped&) {
    std::unique_lock<std::mutex> lock(F.Mutex);
    F.Cond.wait(lock, [&] { return !F.Ends.empty() || F.MaskChanges != FMaskChanges; });
    F.Waiting = false;
    F.Cond.notify_all();
    if (F.Ends.empty()) {
      *FWord = 0;
      return {};
    }
    return TakeEnd();
  }
  TDevStatus TakeEnd() {
    TEventFeed::TEnd end = std::move(F.Ends.front());
    F.Ends.pop_front();
    *FWord = end.Failure.Ok() ? end.Word : 0;
    return end.Failure;
  }

  TRecordedDevice& D;
  std::shared_ptr<TEventFeed> FFeed = D.Events;
  TEventFeed& F = *FFeed;
  uint32_t* FWord = nullptr;
  TOverlapped* FEventWait = nullptr;
  unsigned FMaskChanges = 0;
};

// Registers the "rec://" scheme for the lifetime of the scope; devices are
// looked up by the name after the scheme.
class TRecordingScope {
public:
  TRecordingScope() {
    RegisterComDeviceScheme("rec://", [this](const std::string& name, TClock&, std::unique_ptr<TComDevice>& dev) {
      TRecordedDevice& d = Devices[name.substr(6)];
      if (d.FailOpenWith) return TDevStatus{d.FailOpenWith, "No such file or directory"};
      ++d.Opens;
      dev = std::make_unique<TRecordingDevice>(d);
      return TDevStatus{};
    });
  }
  ~TRecordingScope() { UnregisterComDeviceScheme("rec://"); }
  TRecordingScope(const TRecordingScope&) = delete;
  TRecordingScope& operator=(const TRecordingScope&) = delete;

  std::map<std::string, TRecordedDevice> Devices;
};

}  // namespace qv::test
