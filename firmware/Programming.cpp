// The worker's device-level access below the procedure steps: handheld
// registers and jobs through the dongle, programming an image into the
// handheld's EEPROM with read-back, and programming the server's program
// memory through its framed commands. Failures clear LinkOk; the two
// programming operations also log and fail the unit.
#include "link/Protocol.h"
#include "procedure/SerThread.h"

namespace qv {

namespace {

constexpr uint8_t kDongleHello = 0x80;
constexpr uint8_t kDongleNext = 0x55;
constexpr int kIdentityChars = 16;

constexpr uint8_t kJobConst = 0x50;
constexpr uint8_t kControlStartJob = 0x76;
constexpr uint8_t kControlAtInit = 0x10;

constexpr uint32_t kResetLowMs = 300;
constexpr uint32_t kResetSettleMs = 100;
constexpr uint32_t kPollMs = 50;
constexpr int kDsrPolls = 5;

constexpr uint32_t kGroupTop = 0x1FFF;
constexpr uint32_t kGroupFloor = 0xFF;

const std::string kDone(1, static_cast<char>(kServerDone));

// The group at word 0x100 with four words 0x3405: it enters the server's
// loader, and the real group at 0x100 replaces it last.
const std::string kOpeningGroup = Bytes({0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05});

// A port whose lines cannot be driven or read gets no special treatment
// here: the exchanges that follow decide.
void SetLines(TComPort& port, TDTRControl dtr, TRTSControl rts) {
  try {
    port.FlowControl().SetDTR(dtr);
    port.FlowControl().SetRTS(rts);
  } catch (...) {
  }
}

bool DsrSeen(TComPort& port) {
  try {
    return port.ModemStatus().Contains(msDSR);
  } catch (...) {
    return false;
  }
}

}  // namespace

// ---- handheld registers and jobs ----

void TSerThread::WriteHandheldReg(uint8_t reg, uint8_t value, bool checkEcho) {
  if (Outcome != ocNone || Terminated() || !LinkOk) return;
  if (Ports.SerIF1 == nullptr) {
    LinkOk = false;
    return;
  }
  TComPort& port = *Ports.SerIF1;
  const std::string select = Bytes({hcAddressLow, reg, hcRegWrite});
  SendEcho(port, select, select);
  if (LinkOk) LinkOk = PutByte(port, value);
  if (!LinkOk) return;
  const int r = GetByte(port);
  // Without checkEcho the value must go unanswered: any answer fails.
  LinkOk = checkEcho ? r == value : r < 0;
}

uint8_t TSerThread::ReadHandheldReg(uint8_t reg) {
  if (Outcome != ocNone || Terminated() || !LinkOk) return 0xFF;
  if (Ports.SerIF1 == nullptr) {
    LinkOk = false;
    return 0xFF;
  }
  TComPort& port = *Ports.SerIF1;
  const std::string select = Bytes({hcAddressLow, reg});
  SendEcho(port, select, select);
  if (LinkOk) LinkOk = PutByte(port, hcRegRead);
  if (!LinkOk) return 0xFF;
  const int r = GetByte(port);
  LinkOk = r >= 0;
  return static_cast<uint8_t>(r & 0xFF);
}

void TSerThread::StartHandheldJob(int slot, uint8_t code) {
  const THandheldImage& image = HandheldImage[static_cast<size_t>(slot)];
  // Once one write fails the rest do nothing.
  WriteHandheldReg(hrJob, code, true);
  WriteHandheldReg(hrJobParam, image[24], true);
  WriteHandheldReg(hrEndLow, image[27], true);
  WriteHandheldReg(hrEndHigh, image[28], true);
  WriteHandheldReg(hrJobConst, kJobConst, true);
  WriteHandheldReg(hrJobParam2, image[31], true);
  WriteHandheldReg(hrJobParam3, image[2], true);
  WriteHandheldReg(hrControl, static_cast<uint8_t>(kControlStartJob | (HandheldMode & 1)), true);
}

void TSerThread::AwaitHandheld(uint16_t polls) {
  if (Outcome != ocNone || Terminated() || Ports.SerIF1 == nullptr) return;
  TComPort& port = *Ports.SerIF1;
  // The reset of port detection, held longer: the dongle identifies afresh.
  SetLines(port, dcDisable, rcEnable);
  Clock.Sleep(kResetLowMs);
  SetLines(port, dcEnable, rcDisable);
  Clock.Sleep(kResetSettleMs);
  try {
    port.PurgeInput();
  } catch (...) {
  }

  std::string hello(1, static_cast<char>(kDongleHello));
  hello.append(kIdentityChars, static_cast<char>(kDongleNext));
  SendEcho(port, hello, DongleId);
  if (!LinkOk) return;

  // DSR on the dongle's port shows the handheld back from its job.
  int stable = 0;
  while (stable < kDsrPolls && polls > 0 && !Terminated()) {
    ++stable;
    --polls;
    if (!DsrSeen(port)) stable = 0;
    Clock.Sleep(kPollMs);
  }
  LinkOk = stable == kDsrPolls;

  // The first probe must stay unanswered, as at initialisation. While LinkOk
  // is false nothing is sent and Reply stays empty, so a DSR time-out alone
  // does not fail the wait: the probe pair below decides.
  SendEcho(port, std::string(1, '\0'), "");
  LinkOk = Reply.empty();
  const auto mode = static_cast<uint8_t>(kControlAtInit | (HandheldMode & 1));
  SendEcho(port, Bytes({0x00, hcAddressLow, hrControl, hcRegWrite, mode}),
           Bytes({HandheldHw, hcAddressLow, hrControl, hcRegWrite, mode}));
}

// ---- programming ----

void TSerThread::ProgressTick(uint16_t& ticks, uint16_t total) {
  ++ticks;
  if (total == 0) return;
  const auto p = static_cast<uint32_t>(ticks) * 100 / total;
  if (p > ProgressPos) {
    ProgressPos = static_cast<uint8_t>(p);
    Synchronize(&TSerThread::ProgressSet);
  }
}

void TSerThread::ProgramHandheld(int slot) {
  if (Outcome != ocNone || Terminated()) return;
  const THandheldImage& image = HandheldImage[static_cast<size_t>(slot)];
  const uint16_t n = HandheldImageLen[static_cast<size_t>(slot)];
  LogLine("Programming Quorvantis, please wait...");
  Synchronize(&TSerThread::ProgressShow);
  ProgressPos = 0;
  uint16_t ticks = 0;
  const auto total = static_cast<uint16_t>(2 * n);
  if (Ports.SerIF1 == nullptr) LinkOk = false;
  TComPort* port = Ports.SerIF1;

  if (port != nullptr) {
    // Address 0 holds 0x00 until the whole image is in and verified: a
    // handheld left half-written never carries a valid hardware byte.
    const std::string start = Bytes({hcAddressLow, 0x00, hcAddressHigh, 0x00, hcEepromWrite, 0x00});
    SendEcho(*port, start, start);
    for (uint16_t i = 1; i < n && LinkOk && !Terminated(); ++i) {
      const std::string write = Bytes({hcEepromWrite, image[i]});
      SendEcho(*port, write, write);
      ProgressTick(ticks, total);
    }
    const std::string back = Bytes({hcAddressLow, 0x01, hcAddressHigh, 0x00});
    SendEcho(*port, back, back);
    const std::string read(1, static_cast<char>(hcEepromRead));
    for (uint16_t i = 1; i < n && LinkOk && !Terminated(); ++i) {
      SendEcho(*port, read, std::string(1, static_cast<char>(image[i])));
      ProgressTick(ticks, total);
    }
    const uint8_t hw = image[0];
    SendEcho(*port, Bytes({hcAddressLow, 0x00, hcAddressHigh, 0x00, hcEepromWrite, hw, hcAddressLow, 0x00, hcEepromRead}),
             Bytes({hcAddressLow, 0x00, hcAddressHigh, 0x00, hcEepromWrite, hw, hcAddressLow, 0x00, hw}));
  }
  Synchronize(&TSerThread::ProgressHide);
  if (Outcome == ocNone && !Terminated() && !LinkOk) {
    LogLine("Communication error, programming failed!");
    Outcome = ocFailed;
  }
}

void TSerThread::ProgramServer(int slot) {
  if (Outcome != ocNone || !ExchangeAllowed()) return;
  const TServerImage& image = ServerImage[static_cast<size_t>(slot)];
  LogLine("Programming server, please wait...");
  Synchronize(&TSerThread::ProgressShow);
  ProgressPos = 0;
  uint16_t ticks = 0;
  uint16_t total = 0;

  if (ServerCommand(kOpeningGroup, false) != kDone) LinkOk = false;
  // Pass 0 counts the groups, pass 1 writes them and pass 2 verifies them,
  // each from the top of memory down, so the group at 0x100 (overwritten by
  // the opening group) comes last.
  for (int pass = 0; pass < 3; ++pass) {
    if (pass == 1) ticks = 0;
    uint32_t a = kGroupTop;
    while (a > kGroupFloor && LinkOk && ExchangeAllowed()) {
      if (image.At(a) == TServerImage::Blank) {
        --a;
        continue;
      }
      const uint32_t g = a & 0xFFFC;
      std::string frame = Bytes({static_cast<uint8_t>(g >> 8), static_cast<uint8_t>(g & 0xFF)});
      for (uint32_t w = g; w < g + 4; ++w) {
        // A blank word inside a group goes out as 0x3F 0xFF.
        frame += static_cast<char>((image.At(w) >> 8) & 0x3F);
        frame += static_cast<char>(image.At(w) & 0xFF);
      }
      a = g - 1;
      if (pass == 0) {
        total = static_cast<uint16_t>(total + 2);
        continue;
      }
      const std::string result = pass == 1 ? ServerCommand(frame, false) : ServerCommand('\0' + frame, true);
      if (result != kDone) LinkOk = false;
      ProgressTick(ticks, total);
    }
  }
  Synchronize(&TSerThread::ProgressHide);
  if (Outcome == ocNone && !LinkOk && ExchangeAllowed()) {
    LogLine("Communication error, programming failed!");
    Outcome = ocFailed;
  }
}

}  // namespace qv
