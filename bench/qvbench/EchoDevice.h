// A bench device that sends back every byte at once and loops its lines
// back (DTR to DSR, RTS to CTS): the far end for measuring the network path
// alone and for checking line control without a device's own rules.
#pragma once

#include <string>
#include <utility>

#include "bench/Device.h"

namespace bench {

class TEchoDevice final : public TDevice {
 public:
  void SetFormat(uint32_t, int, char, int, TTime) override {}
  void SetLines(bool dtr, bool rts, TTime) override {
    FDtr = dtr;
    FRts = rts;
  }
  void Receive(uint8_t byte, TTime t) override {
    if (FOut.empty()) FSince = t;
    FOut.push_back(static_cast<char>(byte));
  }
  std::string Transmit(TTime) override { return std::exchange(FOut, {}); }
  TTime NextOutput() const override { return FOut.empty() ? -1 : FSince; }
  bool Dsr(TTime) const override { return FDtr; }
  bool Cts(TTime) const override { return FRts; }

 private:
  std::string FOut;
  TTime FSince = 0;
  bool FDtr = false, FRts = false;
};

}  // namespace bench
