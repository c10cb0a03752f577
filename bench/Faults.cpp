#include "bench/Faults.h"

namespace bench {

namespace {

TFaultRule Rule(TFaultKind kind, uint64_t nth, int onByte, uint32_t times) {
  TFaultRule r;
  r.Kind = kind;
  r.Nth = nth;
  r.OnByte = onByte;
  r.Times = times;
  return r;
}

}  // namespace

TFaultRule SilentAt(uint64_t nth) {
  return Rule(TFaultKind::Silent, nth, -1, 1);
}
TFaultRule SilentOn(uint8_t received, uint32_t times) {
  return Rule(TFaultKind::Silent, 0, received, times);
}

TFaultRule LateAt(uint64_t nth, int64_t delayUs) {
  TFaultRule r = Rule(TFaultKind::Late, nth, -1, 1);
  r.DelayUs = delayUs;
  return r;
}

TFaultRule LateOn(uint8_t received, int64_t delayUs, uint32_t times) {
  TFaultRule r = Rule(TFaultKind::Late, 0, received, times);
  r.DelayUs = delayUs;
  return r;
}

TFaultRule WrongAt(uint64_t nth, int value) {
  TFaultRule r = Rule(TFaultKind::Wrong, nth, -1, 1);
  r.Value = value;
  return r;
}

TFaultRule WrongOn(uint8_t received, int value, uint32_t times) {
  TFaultRule r = Rule(TFaultKind::Wrong, 0, received, times);
  r.Value = value;
  return r;
}

TFaultRule WrongOnNth(uint8_t received, uint64_t nth, int value) {
  TFaultRule r = Rule(TFaultKind::Wrong, nth, received, 1);
  r.Value = value;
  r.NthOfByte = true;
  return r;
}

TFaultRule DropAt(uint64_t nth) {
  return Rule(TFaultKind::Drop, nth, -1, 1);
}
TFaultRule DropOn(uint8_t received, uint32_t times) {
  return Rule(TFaultKind::Drop, 0, received, times);
}

void TFaults::Add(const TFaultRule& rule) {
  TActive a;
  a.Rule = rule;
  a.Base = rule.Kind == TFaultKind::Drop ? FReceived : FAnswers;
  FRules.push_back(a);
}

void TFaults::Clear() {
  FRules.clear();
  FSilent = false;
  FDsrFrom = FDsrUntil = -1;
}

void TFaults::LoseDsr(TTime from, TTime until) {
  FDsrFrom = from;
  FDsrUntil = until;
}

void TFaults::RestoreDsr() {
  FDsrFrom = FDsrUntil = -1;
}

bool TFaults::DsrLost(TTime t) const {
  if (FDsrFrom < 0 || t < FDsrFrom) return false;
  return FDsrUntil < 0 || t < FDsrUntil;
}

bool TFaults::Matches(TActive& a, uint64_t count, uint8_t received) const {
  if (a.Rule.OnByte >= 0 && a.Rule.OnByte != received) return false;
  const uint64_t n = a.Rule.NthOfByte ? ++a.Seen : count - a.Base;
  if (a.Rule.Times != 0 && a.Fired >= a.Rule.Times) return false;
  if (a.Rule.Nth != 0 && n != a.Rule.Nth) return false;
  ++a.Fired;
  return true;
}

bool TFaults::DropInput(uint8_t received) {
  ++FReceived;
  bool drop = false;
  for (TActive& a : FRules)
    if (a.Rule.Kind == TFaultKind::Drop && Matches(a, FReceived, received)) drop = true;
  return drop;
}

TFaults::TAnswer TFaults::Answer(uint8_t received, uint8_t value) {
  ++FAnswers;
  TAnswer answer;
  answer.Value = value;
  answer.Send = !FSilent;
  for (TActive& a : FRules) {
    if (a.Rule.Kind == TFaultKind::Drop || !Matches(a, FAnswers, received)) continue;
    switch (a.Rule.Kind) {
      case TFaultKind::Silent:
        answer.Send = false;
        break;
      case TFaultKind::Late:
        answer.DelayUs += a.Rule.DelayUs;
        break;
      case TFaultKind::Wrong:
        answer.Value = a.Rule.Value >= 0 ? static_cast<uint8_t>(a.Rule.Value) : static_cast<uint8_t>(~value);
        break;
      case TFaultKind::Drop:
        break;
    }
  }
  return answer;
}

}  // namespace bench
