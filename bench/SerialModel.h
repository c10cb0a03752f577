// The serial side every bench device shares: the device's own line format,
// the reset wiring on DTR/RTS, answer timing on the line, the output queue,
// fault switches and a record of the wire. Concrete devices (the dongle,
// the server) supply the byte handling and their DSR.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bench/Device.h"
#include "bench/Faults.h"

namespace bench {

struct TLineFormat {
  uint32_t Baud = 9600;
  int DataBits = 8;
  char Parity = 'N';  // N, O, E, M, S
  int StopBits = 1;
  bool operator==(const TLineFormat&) const = default;
};

// Microseconds one character takes on the line: start bit, data bits,
// parity bit and stop bits (10 bits at 9600 baud: 1042 us).
TTime CharTime(const TLineFormat& format);

class TSerialModel : public TDevice {
 public:
  void SetFormat(uint32_t baud, int dataBits, char parity, int stopBits, TTime t) override;
  void SetLines(bool dtr, bool rts, TTime t) override;
  void Receive(uint8_t byte, TTime t) override;
  std::string Transmit(TTime t) override;
  TTime NextOutput() const override;
  bool Dsr(TTime t) const final;

  TFaults& Faults() { return FFaults; }
  const TLineFormat& OwnFormat() const { return FOwn; }
  const TLineFormat& PcFormat() const { return FPc; }

  // Firmware time from the end of a received byte to the start of its
  // answer.
  TTime ProcessingUs = 50;
  // Time from the release of the reset lines until the device listens.
  TTime BootUs = 20000;

  // Whether DTR low with RTS high holds the device in reset.
  bool ResetByLines() const { return FResetByLines; }
  void SetResetByLines(bool on) { FResetByLines = on; }
  bool HeldInReset() const { return FHeld; }
  // Resets the lines have released so far.
  int Resets() const { return FResets; }

  // The wire as the device saw it: every byte the PC put on the line (lost
  // ones included) and every byte the device queued, with the time the
  // byte was complete.
  struct TWireEntry {
    TTime Time;
    bool FromPc;
    uint8_t Byte;
  };
  const std::vector<TWireEntry>& Wire() const { return FWire; }
  std::string FromPc() const;
  std::string ToPc() const;
  void ClearWire() { FWire.clear(); }
  void SetRecording(bool on) { FRecording = on; }

 protected:
  TSerialModel(bool resetByLines, TLineFormat own = {});

  // A byte the device has received intact, outside reset and boot.
  virtual void OnByte(uint8_t byte, TTime t) = 0;
  // The reset lines were released at t: the device starts afresh.
  virtual void OnReset(TTime t) = 0;
  // The device's own DSR, before fault switches.
  virtual bool LineDsr(TTime t) const = 0;

  // Queues the answer to `received`, which was complete at t; extraUs adds
  // to the firmware's own processing time (a radio hop, a slow command).
  void Answer(uint8_t received, uint8_t value, TTime t, TTime extraUs = 0);

 private:
  struct TOut {
    TTime End;
    uint8_t Byte;
  };

  TLineFormat FOwn, FPc;
  bool FResetByLines;
  bool FDtr = false, FRts = false;
  bool FHeld = false;
  int FResets = 0;
  TTime FListensFrom = 0;
  TTime FLineFree = 0;
  std::deque<TOut> FOut;
  TFaults FFaults;
  std::vector<TWireEntry> FWire;
  bool FRecording = true;
};

}  // namespace bench
