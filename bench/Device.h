// A bench device: the far end of one serial line, as the device's firmware
// sees it. Models are pure state machines written from the wire protocol
// alone; they never read a clock. Every call carries the bench time in
// microseconds (monotonic, from any origin), so the same model runs in
// virtual time inside a test and in real time behind a network port.
//
// A model is not thread-safe: whoever drives it (the in-process port, the
// network bench) serialises every call, fault switches included.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

using TTime = int64_t;  // microseconds

class TDevice {
public:
  virtual ~TDevice() = default;

  // The PC's line format. Bytes sent at another rate or format than the
  // device's own arrive as garbage or not at all, as on a real line.
  virtual void SetFormat(uint32_t baud, int dataBits, char parity, int stopBits, TTime t) = 0;

  // The PC's DTR and RTS lines, as they are from time t on.
  virtual void SetLines(bool dtr, bool rts, TTime t) = 0;

  // One byte from the PC, fully received at time t.
  virtual void Receive(uint8_t byte, TTime t) = 0;

  // The bytes the device has finished sending by time t, in order; they
  // leave the device's queue.
  virtual std::string Transmit(TTime t) = 0;

  // The time at which the next byte not yet taken by Transmit will have
  // been sent, or -1 when the device has nothing under way.
  virtual TTime NextOutput() const = 0;

  // The device's DSR line as the PC sees it at time t.
  virtual bool Dsr(TTime t) const = 0;

  // The device's CTS, RI and DCD lines (all false unless a model drives
  // them).
  virtual bool Cts(TTime) const { return false; }
  virtual bool Ring(TTime) const { return false; }
  virtual bool Dcd(TTime) const { return false; }
};

}  // namespace bench
