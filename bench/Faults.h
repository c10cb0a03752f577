// Fault switches of a bench device: ways to make a model misbehave on
// purpose, so that every failure path of the tool can be driven. A model
// owns one TFaults and consults it for every byte it receives and every
// byte it answers; the switches are plain data, set by whoever drives the
// model (under the same serialisation as the model itself).
#pragma once

#include <cstdint>
#include <vector>

#include "bench/Device.h"

namespace bench {

enum class TFaultKind {
  Silent,  // the answer is not sent
  Late,    // the answer leaves DelayUs later (and everything queued behind it)
  Wrong,   // another byte is sent in place of the answer
  Drop,    // a byte from the PC is lost on the line: the device never sees it
};

// One fault: what it does and when it fires. Answer faults count answers,
// a Drop counts bytes received; counts start when the rule is added.
struct TFaultRule {
  TFaultKind Kind = TFaultKind::Silent;
  // The Nth event from the rule's addition on (1 = the next); 0: any.
  uint64_t Nth = 0;
  // Only events of this received byte (an answer counts as the event of the
  // byte it answers); -1: any byte.
  int OnByte = -1;
  // How often the rule fires; 0: every time it matches.
  uint32_t Times = 1;
  int64_t DelayUs = 0;  // Late
  int Value = -1;       // Wrong: the byte sent; -1: the answer with every bit inverted
  // Nth counts the events of OnByte only (the third register read rather
  // than the third answer).
  bool NthOfByte = false;
};

TFaultRule SilentAt(uint64_t nth);
TFaultRule SilentOn(uint8_t received, uint32_t times = 1);
TFaultRule LateAt(uint64_t nth, int64_t delayUs);
TFaultRule LateOn(uint8_t received, int64_t delayUs, uint32_t times = 1);
TFaultRule WrongAt(uint64_t nth, int value = -1);
TFaultRule WrongOn(uint8_t received, int value = -1, uint32_t times = 1);
// The nth answer to this received byte is wrong (a register's value, the
// answer to the read command 0x02).
TFaultRule WrongOnNth(uint8_t received, uint64_t nth, int value = -1);
TFaultRule DropAt(uint64_t nth);
TFaultRule DropOn(uint8_t received, uint32_t times = 1);

class TFaults {
 public:
  void Add(const TFaultRule& rule);
  // Removes every rule and switch; counters keep running.
  void Clear();

  // A device that answers nothing at all while set; it still receives.
  void SetSilent(bool silent) { FSilent = silent; }
  bool Silent() const { return FSilent; }

  // DSR drops from `from` on, until `until` (-1: for good). Pass the bench's
  // current time for "now".
  void LoseDsr(TTime from, TTime until = -1);
  void RestoreDsr();
  bool DsrLost(TTime t) const;

  // ---- used by the models ----
  // True when the byte is lost before the device sees it.
  bool DropInput(uint8_t received);
  struct TAnswer {
    bool Send = true;
    uint8_t Value = 0;
    int64_t DelayUs = 0;
  };
  TAnswer Answer(uint8_t received, uint8_t value);

  uint64_t AnswersSeen() const { return FAnswers; }
  uint64_t BytesSeen() const { return FReceived; }

 private:
  struct TActive {
    TFaultRule Rule;
    uint64_t Base = 0;  // the counter when the rule was added
    uint64_t Seen = 0;  // events of OnByte since then
    uint32_t Fired = 0;
  };
  bool Matches(TActive& a, uint64_t count, uint8_t received) const;

  std::vector<TActive> FRules;
  bool FSilent = false;
  TTime FDsrFrom = -1;
  TTime FDsrUntil = -1;
  uint64_t FAnswers = 0;
  uint64_t FReceived = 0;
};

}  // namespace bench
