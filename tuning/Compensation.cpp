// Compensation settings: both devices brought to their test firmware, their
// compensation values read and logged before the test cycle, and the
// obtained value stored in the unit under test after it.
#include <cstdio>
#include <string>

#include "link/Protocol.h"
#include "procedure/SerThread.h"

namespace qv {

namespace {

constexpr uint8_t kTestFirmwareRuns = 0x06;
constexpr uint8_t kIdentityHead = 'B';
constexpr uint8_t kSettingHead = 'A';

constexpr double kKhzPerStep = 0.45;
constexpr double kStepsPerPpm = 1.92955;

// One digit after the point, with the regional decimal separator.
std::string Fixed1(double value, char separator) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", value);
  std::string text = buf;
  for (char& c : text)
    if (c == '.') c = separator;
  return text;
}

}  // namespace

std::string TSerThread::FormatOffset(int8_t value, bool relative) const {
  if (value == 0 && !relative) return "-";
  int n = value;
  if (relative) n -= UnitOffset;
  return std::to_string(n) + " = " + Fixed1(n * kKhzPerStep, Main.DecimalSeparator) + " kHz = " +
         Fixed1(n / kStepsPerPpm, Main.DecimalSeparator) + " ppm";
}

void TSerThread::LogSettings(const std::string& device, int8_t factory, int8_t pcTool, int8_t effective) {
  LogLine(device + " offset compensation settings:");
  LogLine("- from factory = " + FormatOffset(factory, false));
  LogLine("- from PC tool = " + FormatOffset(pcTool, false));
  LogLine("- effective = " + FormatOffset(effective, false));
}

void TSerThread::ReadHandheldSettings() {
  if (Outcome != ocNone || Terminated() || !LinkOk || Ports.SerIF1 == nullptr) return;
  TComPort& port = *Ports.SerIF1;
  THandheldImage& image = HandheldImage[3];

  // Address 0 and the three bytes below the image's end address E tell
  // whether the handheld holds this test firmware.
  const std::string toZero = Bytes({hcAddressLow, 0x00, hcAddressHigh, 0x00});
  SendEcho(port, toZero, toZero);
  bool present = false;
  if (LinkOk) {
    const int r = PutByte(port, hcEepromRead) ? GetByte(port) : -1;
    if (r < 0) LinkOk = false;
    present = r == image[0];
  }
  const auto end = static_cast<uint16_t>(image[27] | image[28] << 8);
  // An end address that leaves no three bytes below it inside the image
  // cannot describe this test firmware: it is taken as not installed, and
  // nothing outside the image is read.
  const bool endInside = end >= 3 && end <= HandheldImageLen[3];
  if (!endInside) present = false;
  if (LinkOk && endInside) {
    const auto from = static_cast<uint16_t>(end - 3);
    const std::string to = Bytes({hcAddressLow, static_cast<uint8_t>(from & 0xFF), hcAddressHigh,
                                  static_cast<uint8_t>(from >> 8)});
    SendEcho(port, to, to);
    for (uint16_t i = from; i < end && LinkOk; ++i) {
      const int r = PutByte(port, hcEepromRead) ? GetByte(port) : -1;
      if (r < 0) LinkOk = false;
      present = present && r == image[i];
    }
  }
  if (!LinkOk) return;
  // The jobs below are given the end address less 2; the slot is decoded
  // afresh for every unit.
  const auto lowered = static_cast<uint16_t>(end - 2);
  image[27] = static_cast<uint8_t>(lowered & 0xFF);
  image[28] = static_cast<uint8_t>(lowered >> 8);

  if (!Terminated() && !present) {
    LogLine("Test firmware needs to be installed on Quorvantis");
    ProgramHandheld(3);
  }
  if (!Terminated() && LinkOk) {
    LogLine("Initializing Quorvantis RF module...");
    StartHandheldJob(3, jcRun);
  }
  if (!Terminated() && LinkOk) {
    AwaitHandheld(kLongJobPolls);
    if (ReadHandheldReg(hrJob) != 0) LinkOk = false;
  }
  const uint8_t version = ReadHandheldReg(hrCompensation);
  const THandheldSettings first = ReadSettingsRegisters();
  // A register's value has no check of its own on the dongle's line. These
  // decide what is stored: the settings give the golden reference's value
  // (or the unit's own in its record), the radio address picks the
  // handheld's packets out of the server's records. So they are read again,
  // and a value that reads differently fails the unit as a link failure.
  if (LinkOk && !Terminated() && ReadSettingsRegisters() != first) LinkOk = false;
  if (!LinkOk || Terminated()) return;
  const int8_t factory = first.Factory;
  const int8_t pcTool = first.PcTool;
  const uint32_t mac = first.Mac;
  HandheldMac = mac;

  char macText[9];
  std::snprintf(macText, sizeof macText, "%08X", static_cast<unsigned>(HandheldMac));
  LogLine("RF modem V" + std::to_string(version >> 4) + "." + std::to_string(version & 0x0F) + ", MAC=0x" + macText);
  const int8_t effective = pcTool != 0 ? pcTool : factory;
  LogSettings("Quorvantis", factory, pcTool, effective);
  (Main.GoldenIsHandheld ? GoldenOffset : UnitOffset) = effective;
  Facts.HandheldMac = HandheldMac;
  if (Main.GoldenIsHandheld)
    Facts.GoldenOffset = effective;
  else
    Facts.Unit = TOffsetSettings{factory, pcTool, effective};
}

TSerThread::THandheldSettings TSerThread::ReadSettingsRegisters() {
  THandheldSettings s;
  s.Factory = static_cast<int8_t>(ReadHandheldReg(hrFactory));
  s.PcTool = static_cast<int8_t>(ReadHandheldReg(hrPcTool));
  for (int reg = hrMacLow + 3; reg >= hrMacLow; --reg) s.Mac = s.Mac << 8 | ReadHandheldReg(static_cast<uint8_t>(reg));
  return s;
}

bool TSerThread::CheckServerTestFirmware() {
  Reply = ServerCommand(Bytes({0x01}), true);
  if (Reply.size() != 3 || static_cast<uint8_t>(Reply[0]) != kIdentityHead) {
    LinkOk = false;
    return false;
  }
  return static_cast<uint8_t>(Reply[1]) == (ServerImage[2].At(0x103) & 0xFF);
}

void TSerThread::ReadServerSettings() {
  if (Outcome != ocNone || Terminated() || !LinkOk) return;
  bool runs = ServerCommand(Bytes({0x00}), true) == Bytes({kTestFirmwareRuns});
  if (LinkOk && runs) runs = CheckServerTestFirmware();
  if (LinkOk && !runs && !Terminated()) {
    LogLine("Test firmware needs to be installed on server");
    ProgramServer(2);
    // A server that does not identify as this test firmware once it is
    // programmed cannot be worked with.
    if (LinkOk) LinkOk = CheckServerTestFirmware();
  }
  if (!LinkOk) return;
  const auto factory = static_cast<int8_t>(Reply[2]);
  Reply = ServerCommand(Bytes({0x02, 0x03}), true);
  if (Reply.size() != 2 || static_cast<uint8_t>(Reply[0]) != kSettingHead) LinkOk = false;
  if (!LinkOk || Terminated()) return;
  auto pcTool = static_cast<int8_t>(Reply[1]);
  // The server also reads 1 as not set.
  if (pcTool == 1) pcTool = 0;
  const int8_t effective = pcTool != 0 ? pcTool : factory;
  LogSettings("Server", factory, pcTool, effective);
  (Main.GoldenIsHandheld ? UnitOffset : GoldenOffset) = effective;
  if (Main.GoldenIsHandheld)
    Facts.Unit = TOffsetSettings{factory, pcTool, effective};
  else
    Facts.GoldenOffset = effective;
}

void TSerThread::StoreCompensation() {
  if (Outcome != ocNone || Terminated() || !LinkOk) return;
  const uint8_t v = ProgressPos;
  LogLine("Storing obtained compensation value");
  if (!Main.GoldenIsHandheld) {
    WriteHandheldReg(hrCompensation, v, true);
    StartHandheldJob(3, jcStore);
    if (LinkOk && !Terminated()) {
      AwaitHandheld(kShortJobPolls);
      // The store's status decides whether the value counts as stored: read
      // twice, as the settings are.
      if (ReadHandheldReg(hrJob) != 0) LinkOk = false;
      if (LinkOk && ReadHandheldReg(hrJob) != 0) LinkOk = false;
      if (LinkOk) Facts.Stored = static_cast<int8_t>(v);
    }
    return;
  }
  if (ServerCommand(Bytes({0x02, 0x03, v}), true) != Bytes({kServerDone})) LinkOk = false;
  // Read back: only the value just stored counts as stored.
  if (LinkOk && ServerCommand(Bytes({0x02, 0x03}), true) != Bytes({kSettingHead, v})) LinkOk = false;
  if (LinkOk) Facts.Stored = static_cast<int8_t>(v);
}

}  // namespace qv
