#include "bench/SerialModel.h"

#include <algorithm>

namespace bench {

TTime CharTime(const TLineFormat& format) {
  if (format.Baud == 0) return 0;
  const int bits = 1 + format.DataBits + (format.Parity == 'N' ? 0 : 1) + format.StopBits;
  // Rounded to the nearest microsecond.
  return (static_cast<TTime>(bits) * 1000000 + format.Baud / 2) / format.Baud;
}

TSerialModel::TSerialModel(bool resetByLines, TLineFormat own) : FOwn(own), FPc(own), FResetByLines(resetByLines) {}

void TSerialModel::SetFormat(uint32_t baud, int dataBits, char parity, int stopBits, TTime) {
  FPc = TLineFormat{baud, dataBits, parity, stopBits};
}

void TSerialModel::SetLines(bool dtr, bool rts, TTime t) {
  FDtr = dtr;
  FRts = rts;
  const bool hold = FResetByLines && !dtr && rts;
  if (hold == FHeld) return;
  FHeld = hold;
  if (hold) {
    // The UART stops with the processor: what it had not finished sending
    // never leaves.
    while (!FOut.empty() && FOut.back().End > t) FOut.pop_back();
    FLineFree = std::min(FLineFree, t);
  } else {
    ++FResets;
    FListensFrom = t + BootUs;
    OnReset(t);
  }
}

void TSerialModel::Receive(uint8_t byte, TTime t) {
  if (FRecording) FWire.push_back({t, true, byte});
  // Another rate or frame reaches the UART as garbage, which the firmware
  // discards with its framing errors.
  if (!(FPc == FOwn)) return;
  if (FHeld || t < FListensFrom) return;
  if (FFaults.DropInput(byte)) return;
  OnByte(byte, t);
}

void TSerialModel::Answer(uint8_t received, uint8_t value, TTime t, TTime extraUs) {
  const TFaults::TAnswer a = FFaults.Answer(received, value);
  if (!a.Send) return;
  const TTime start = std::max(t + ProcessingUs + extraUs + a.DelayUs, FLineFree);
  const TTime end = start + CharTime(FOwn);
  FLineFree = end;
  FOut.push_back({end, a.Value});
  if (FRecording) FWire.push_back({end, false, a.Value});
}

std::string TSerialModel::Transmit(TTime t) {
  std::string out;
  while (!FOut.empty() && FOut.front().End <= t) {
    out += static_cast<char>(FOut.front().Byte);
    FOut.pop_front();
  }
  return out;
}

TTime TSerialModel::NextOutput() const {
  return FOut.empty() ? -1 : FOut.front().End;
}

bool TSerialModel::Dsr(TTime t) const {
  return LineDsr(t) && !FFaults.DsrLost(t);
}

std::string TSerialModel::FromPc() const {
  std::string s;
  for (const TWireEntry& e : FWire)
    if (e.FromPc) s += static_cast<char>(e.Byte);
  return s;
}

std::string TSerialModel::ToPc() const {
  std::string s;
  for (const TWireEntry& e : FWire)
    if (!e.FromPc) s += static_cast<char>(e.Byte);
  return s;
}

}  // namespace bench
