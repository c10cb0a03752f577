// Device-event handlers for tests: every handler call is recorded by the
// event's name ("RxChar", "LineError", ...) with whether it ran on the main
// thread; Action runs inside the handler (to raise, to close the port...).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/MainLoop.h"

namespace qv::test {

inline const char* const kEventNames[] = {"Break", "CTSChange",  "DSRChange",    "Event1", "Event2", "PrinterError",
                                          "Ring",  "RLSDChange", "Rx80PercFull", "RxChar", "RxFlag", "TxEmpty"};
// Every event bit, EV_RXCHAR to EV_EVENT2.
constexpr uint32_t kAllEvents = 0x1FFF;

class TRecorder {
 public:
  explicit TRecorder(TMainLoop* loop = nullptr) : Loop(loop) {}

  // A handler of its own routine for each event.
  TNotifyEvent Handler(TCustomComPort::TDeviceEvent which);
  TLineErrorEvent LineErrorHandler() { return TLineErrorEvent(RecordLineError, this); }
  // Assigns the handler of each of the events to port.
  void AssignTo(TCustomComPort& port, const std::vector<TCustomComPort::TDeviceEvent>& events) {
    for (auto e : events) port.SetDeviceEvent(e, Handler(e));
  }

  void Hit(const std::string& name) {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Calls.push_back(name);
      OnMain.push_back(Loop && Loop->OnMainThread());
    }
    // Counted once the action is over, however it ends.
    struct TDone {
      TRecorder& R;
      ~TDone() {
        std::lock_guard<std::mutex> lock(R.Mutex);
        ++R.Done;
      }
    } done{*this};
    if (Action) Action(name);
  }
  std::vector<std::string> TakeCalls() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Calls;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Done;
  }
  size_t CountOf(const std::string& name) {
    std::lock_guard<std::mutex> lock(Mutex);
    size_t n = 0;
    for (const auto& c : Calls) n += c == name;
    return n;
  }
  bool AllOnMain(bool expected) {
    std::lock_guard<std::mutex> lock(Mutex);
    for (bool b : OnMain)
      if (b != expected) return false;
    return !OnMain.empty();
  }

  TMainLoop* Loop;
  std::function<void(const std::string&)> Action;

 private:
  template <int N>
  static void Record(void* data, TCustomComPort*) {
    static_cast<TRecorder*>(data)->Hit(kEventNames[N]);
  }
  static void RecordLineError(void* data, TCustomComPort*, TLineErrors) {
    static_cast<TRecorder*>(data)->Hit("LineError");
  }

  std::mutex Mutex;
  std::vector<std::string> Calls;
  std::vector<bool> OnMain;
  size_t Done = 0;
};

inline TNotifyEvent TRecorder::Handler(TCustomComPort::TDeviceEvent which) {
  static constexpr TNotifyEvent::TCode kRecorders[] = {Record<0>, Record<1>, Record<2>,  Record<3>,
                                                       Record<4>, Record<5>, Record<6>,  Record<7>,
                                                       Record<8>, Record<9>, Record<10>, Record<11>};
  return TNotifyEvent(kRecorders[which], this);
}

}  // namespace qv::test
