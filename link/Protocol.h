// The bytes of the device protocols that several steps of the worker use:
// the handheld's command bytes and registers behind the dongle, its job
// codes, and the server's "done" reply.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace qv {

inline std::string Bytes(std::initializer_list<uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) s += static_cast<char>(b);
  return s;
}

// Handheld command bytes; each answers one byte per byte sent.
constexpr uint8_t hcRegRead = 0x02;
constexpr uint8_t hcEepromRead = 0x03;  // then the address moves on
constexpr uint8_t hcAddressLow = 0x04;
constexpr uint8_t hcAddressHigh = 0x05;
constexpr uint8_t hcRegWrite = 0x06;
constexpr uint8_t hcEepromWrite = 0x07;  // then the address moves on

// Handheld registers (addressed by the low address byte).
constexpr uint8_t hrCompensation = 0x10;  // the RF modem's version when read; the value to store when written
constexpr uint8_t hrMacLow = 0x11;        // 0x11..0x14, 0x14 the most significant byte
constexpr uint8_t hrFactory = 0x15;
constexpr uint8_t hrPcTool = 0x16;
constexpr uint8_t hrJob = 0x17;  // the job code; its status afterwards (0: success)
constexpr uint8_t hrJobParam = 0x1D;
constexpr uint8_t hrEndLow = 0x30;
constexpr uint8_t hrEndHigh = 0x31;
constexpr uint8_t hrJobConst = 0x33;
constexpr uint8_t hrJobParam2 = 0x34;
constexpr uint8_t hrJobParam3 = 0x37;
constexpr uint8_t hrControl = 0x39;

// Job codes: 1 runs the image the job registers describe (the RF modem
// update with the RF modem image, the RF module start with the test
// firmware), 2 the test cycle, 3 stores register 0x10 as the compensation.
constexpr uint8_t jcRun = 1;
constexpr uint8_t jcTestCycle = 2;
constexpr uint8_t jcStore = 3;
// Polls of 50 ms the handheld is given to come back from a job.
constexpr uint16_t kLongJobPolls = 2500;
constexpr uint16_t kShortJobPolls = 20;

// The server's one-byte reply to a command carried out.
constexpr uint8_t kServerDone = 0x07;

}  // namespace qv
