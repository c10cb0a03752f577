// An in-memory device for tests of the port's own logic: it keeps the
// device control block and time-outs like a driver would and records every
// update, so that the mapping and the re-apply rules can be checked without
// hardware. Register it with TRecordingDevice::Scope; ports then open
// "rec://NAME".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComDevice.h"

namespace qv::test {

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
    transferred = ov.Transferred;
    ov.InProgress = false;
    if (ov.Event) ov.Event->Set();
    return {};
  }
  TDevStatus WaitCommEvent(uint32_t&, TOverlapped&) override { return {38, "Function not implemented"}; }

private:
  TRecordedDevice& D;
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
