// TSerThread: the worker and the procedure context at once. For now it
// holds what the byte exchange with the devices needs; the thread machinery
// and the rest of the procedure state join it as the procedure is built.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "serial/ComPort.h"

namespace qv {

// The two port components the window owns. Port detection may exchange the
// two references so that SerIF1 names the dongle's port and SerIF2 the
// server's; the worker always goes through these references.
struct TPortRoles {
  TComPort* SerIF1 = nullptr;
  TComPort* SerIF2 = nullptr;
};

class TSerThread {
public:
  explicit TSerThread(TPortRoles& roles) : Ports(roles) {}
  virtual ~TSerThread() = default;

  // Termination request.
  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

  // Link operations. Every failure of the port becomes state: a result of
  // false, -1 or empty, and LinkOk cleared where the exchange needs it.
  bool PutByte(TComPort& port, uint8_t value);
  int GetByte(TComPort& port);
  void SendEcho(TComPort& port, const std::string& text, const std::string& expected);
  std::string ServerCommand(const std::string& payload, bool flagged);

  // Bytes may move only while no termination was requested, or while the
  // closing server restore runs.
  bool ExchangeAllowed() const { return !Terminated() || Finishing; }

  bool Finishing = false;
  std::string LogText;
  uint8_t Outcome = 0;
  std::string Reply;
  bool LinkOk = false;

  TPortRoles& Ports;

private:
  std::atomic<bool> FTerminated{false};
};

// The transcript digit of a port: "1" or "2" from bit 0 of its Tag.
inline char PortDigit(const TComPort& port) { return (port.Tag & 1) ? '2' : '1'; }

// The frame checksum step: rotate left by one bit, then add.
inline uint8_t ChecksumStep(uint8_t sum, uint8_t value) {
  return static_cast<uint8_t>(((sum << 1) | (sum >> 7)) + value);
}

}  // namespace qv
