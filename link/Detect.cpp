// Port detection and device initialisation: finding the dongle and the
// server among the serial ports, putting them into their roles, and waking
// the server and the handheld behind the dongle.
#include "link/Detect.h"

#include <algorithm>
#include <utility>

#include "procedure/SerThread.h"

namespace qv {

namespace {

constexpr int32_t kProbeTimeoutMs = 50;
constexpr int32_t kFoundTimeoutMs = 250;
constexpr uint32_t kResetLowMs = 200;
constexpr uint32_t kResetSettleMs = 100;
constexpr intptr_t kTagOpened = 2;
constexpr uint32_t kPollMs = 50;
constexpr int kDsrPolls = 5;

constexpr uint8_t kHelloHw = 0x80;
constexpr uint8_t kHelloSync = 0x00;
constexpr uint8_t kHelloSyncAnswer = 0x55;
constexpr uint8_t kHelloKey = 0xA5;
constexpr uint8_t kHelloKeyAnswer = 0xF0;
constexpr uint8_t kHelloNext = 0x55;
constexpr int kIdentityChars = 16;
constexpr int kResyncIdentityLimit = 17;
constexpr int kResyncZeroLimit = 66;
// The first sends of the zero loop may meet a device that is still busy,
// so only from this send on does a missing answer end it.
constexpr int kResyncZeroSilentFrom = 4;

constexpr uint8_t kRegSelect = 0x04;
constexpr uint8_t kRegRead = 0x02;
constexpr uint8_t kRegWrite = 0x06;
constexpr uint8_t kModeRegister = 0x39;
constexpr uint8_t kModeAtInit = 0x10;

const char* const kConnectHandheld =
    "Make sure the Quorvantis is connected to the dongle, powered\rand switched ON.";

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) s += static_cast<char>(b);
  return s;
}

// Whether DSR is present; empty when the port cannot tell.
enum class TDsr { Present, Absent, Unknown };

TDsr ReadDsr(TComPort& port) {
  try {
    return port.ModemStatus().Contains(msDSR) ? TDsr::Present : TDsr::Absent;
  } catch (...) {
    return TDsr::Unknown;
  }
}

}  // namespace

std::string FormatPortVersion(uint8_t value) {
  return std::to_string(value >> 4) + "." + std::to_string(value & 0x0F);
}

void MoveToFront(std::vector<std::string>& list, const std::string& name, bool force) {
  auto it = std::find(list.begin(), list.end(), name);
  if (it != list.end())
    std::rotate(list.begin(), it, it + 1);
  else if (force)
    list.insert(list.begin(), name);
}

void TSerThread::DetectPorts() {
  if (Terminated() || Outcome != ocNone) return;
  LinkOk = true;
  const TComboState dongleCombo = Main.Combo(ciCOM1);
  const TComboState serverCombo = Main.Combo(ciCOM2);
  // Item 0 is "Auto detect"; a combo names a port only above it.
  const bool dongleAuto = dongleCombo.ItemIndex <= 0;
  const bool serverAuto = serverCombo.ItemIndex <= 0;

  std::vector<std::string> list;
  if (dongleAuto || serverAuto)
    for (size_t k = 1; k < dongleCombo.Items.size(); ++k) list.push_back(dongleCombo.Items[k]);
  if (dongleAuto)
    MoveToFront(list, Main.LastDonglePort, false);
  else
    MoveToFront(list, dongleCombo.Text, true);
  if (serverAuto)
    MoveToFront(list, Main.LastServerPort, false);
  else
    MoveToFront(list, serverCombo.Text, true);
  if (list.size() < 2) {
    LogLine("At least 2 communication ports required!");
    Outcome = ocFailed;
    return;
  }

  bool dongleFound = false;
  bool serverFound = false;
  bool secondPass = false;
  size_t i = 0;
  while (!Terminated() && Outcome == ocNone && !(dongleFound && serverFound) && i < list.size()) {
    TComPort& port = dongleFound ? *Ports.SerIF2 : *Ports.SerIF1;
    const std::string name = list[i];
    // A port that cannot be opened or fails in any other way is simply not
    // identified.
    try {
      if (port.Tag > 1) {
        try {
          port.Close();
        } catch (...) {
        }
        port.Tag &= ~kTagOpened;
      }
      port.SetDeviceName(name);
      LogText += PortDigit(port);
      LogText += "R\r";

      port.Timeouts().SetReadConstant(kProbeTimeoutMs);
      port.FlowControl().SetDTR(dcDisable);
      port.FlowControl().SetRTS(rcEnable);
      port.Open();
      Clock.Sleep(kResetLowMs);
      port.FlowControl().SetDTR(dcEnable);
      port.FlowControl().SetRTS(rcDisable);
      Clock.Sleep(kResetSettleMs);
      port.PurgeInput();
      port.Tag |= kTagOpened;

      bool probe = true;
      if (secondPass) {
        // A device left inside a handshake or a frame by the first pass.
        PutByte(port, 0x00);
        int answer = GetByte(port);
        bool zeroLoop = true;
        if (answer == kHelloSyncAnswer) {
          for (int k = 0; k < kResyncIdentityLimit; ++k) {
            PutByte(port, kHelloNext);
            answer = GetByte(port);
            if (!IsIdentityChar(answer)) break;
          }
          if (answer >= 0) {
            probe = false;
            zeroLoop = false;
          }
        }
        if (zeroLoop) {
          for (int k = 1; k <= kResyncZeroLimit; ++k) {
            PutByte(port, 0x00);
            answer = GetByte(port);
            if (answer == 0x00 || (answer < 0 && k >= kResyncZeroSilentFrom)) break;
          }
        }
      }

      std::string identity;
      if (probe) {
        PutByte(port, kHelloHw);
        const int hw = GetByte(port);
        probe = hw >= 0x01 && hw <= 0xFF;
        if (probe) identity += static_cast<char>(hw);
        if (probe) {
          PutByte(port, kHelloSync);
          probe = GetByte(port) == kHelloSyncAnswer;
        }
        if (probe) {
          PutByte(port, kHelloKey);
          probe = GetByte(port) == kHelloKeyAnswer;
        }
        for (int k = 0; probe && k < kIdentityChars; ++k) {
          PutByte(port, kHelloNext);
          const int c = GetByte(port);
          probe = IsIdentityChar(c);
          if (probe) identity += static_cast<char>(c);
        }
      }

      bool identified = false;
      if (probe) {
        if (identity.compare(1, 10, kServerIdentity) == 0) {
          if (name == dongleCombo.Text) {
            LogLine("Dongle expected on " + name + ", server found instead!");
            Outcome = ocFailed;
          } else if (serverFound) {
            if (serverAuto) {
              LogLine("Second server found, uncertain which one to use?!");
              Outcome = ocFailed;
            }
          } else {
            if (!serverAuto && serverCombo.Text != name)
              LogLine("Server not found on " + serverCombo.Text + " but on " + name);
            // On the window's thread: closing the window writes the
            // settings while the worker may still be here.
            Synchronize([this, &name] { Main.LastServerPort = name; });
            serverFound = true;
            Facts.ServerId = identity.substr(1);
            // The server's port takes the server's role at once; the other
            // component goes on probing for the dongle.
            if (!dongleFound) std::swap(Ports.SerIF1, Ports.SerIF2);
            Reply = "Server";
            identified = true;
          }
        } else {
          if (name == serverCombo.Text) {
            LogLine("Server expected on " + name + ", dongle found instead!");
            Outcome = ocFailed;
          } else if (dongleFound) {
            if (dongleAuto) {
              LogLine("Second dongle found, uncertain which one to use?!");
              Outcome = ocFailed;
            }
          } else {
            if (!dongleAuto && dongleCombo.Text != name)
              LogLine("Dongle not found on " + dongleCombo.Text + " but on " + name);
            Synchronize([this, &name] { Main.LastDonglePort = name; });
            dongleFound = true;
            Reply = "Dongle";
            DongleId = identity;
            identified = true;
          }
        }
      }

      if (identified) {
        port.Timeouts().SetReadConstant(kFoundTimeoutMs);
        LogLine(Reply + " found on " + name + ", #" + identity.substr(1) + ", HW" +
                FormatPortVersion(static_cast<uint8_t>(identity[0])));
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        --i;  // wraps; the step below brings it back
      }
    } catch (const EComError& e) {
      // Not identified either, as any port that fails; but one the system
      // refuses needs the operator to act, which the front end says.
      if (e.Kind == ekAccessDenied) {
        const std::string why = e.what();
        Synchronize([this, &name, &why] { Main.PortAccessDenied(name, why); });
      }
    } catch (...) {
    }
    ++i;
    if (i >= list.size() && !serverFound && !secondPass) {
      secondPass = true;
      i = 0;
    }
  }

  if (Outcome != ocNone || Terminated()) return;
  if (!dongleFound) {
    LogLine("Dongle not found!");
    Outcome = ocFailed;
  }
  if (!serverFound) {
    LogLine("Server not found!");
    Outcome = ocFailed;
  }
}

void TSerThread::InitDevice(TComPort& port, bool handheld) {
  if (Outcome != ocNone || Terminated()) return;
  // A port that cannot report its lines gets no prompt: the exchanges below
  // then decide, instead of a wait that could never end.
  if (handheld && ReadDsr(port) == TDsr::Absent) {
    Reply = kConnectHandheld;
    Synchronize([this] { ShowStatus(pkAwaitHandheld); });
    int present = 0;
    while (present < kDsrPolls && !Terminated()) {
      const TDsr dsr = ReadDsr(port);
      if (dsr == TDsr::Unknown) break;
      present = dsr == TDsr::Present ? present + 1 : 0;
      Clock.Sleep(kPollMs);
    }
    Synchronize(&TSerThread::HideStatus);
    // Cancelled: the exchanges below would send nothing, and would take the
    // prompt text still in Reply for the device's answer.
    if (Terminated()) return;
  }

  const std::string zero(1, '\0');
  // The first byte wakes the device; it must not answer it.
  SendEcho(port, zero, "");
  LinkOk = Reply.empty();
  SendEcho(port, zero, "");
  if (Reply.empty())
    LinkOk = false;
  else if (handheld)
    HandheldHw = static_cast<uint8_t>(Reply[0]);
  else
    LinkOk = Reply == zero;

  if (handheld) {
    const std::string select = Bytes({kRegSelect, kModeRegister});
    SendEcho(port, select, select);
    SendEcho(port, Bytes({kRegRead}), "");
    if (Reply.empty())
      LinkOk = false;
    else
      HandheldMode = static_cast<uint8_t>(Reply[0]);
    const std::string write =
        Bytes({kRegSelect, kModeRegister, kRegWrite, static_cast<uint8_t>(kModeAtInit | (HandheldMode & 1))});
    SendEcho(port, write, write);
  }

  if (!Terminated() && !LinkOk) {
    LogLine(handheld ? "Failed to initialize Quorvantis!" : "Failed to initialize server!");
    Outcome = ocFailed;
  } else if (handheld && !Terminated()) {
    Facts.HandheldHw = HandheldHw;
    LogLine("Quorvantis HW" + FormatPortVersion(HandheldHw));
  }
}

}  // namespace qv
