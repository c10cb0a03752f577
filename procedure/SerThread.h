// TSerThread: the worker and the procedure context at once. Execute drives
// the whole procedure; the steps are member functions defined in the folder
// of the subsystem each belongs to. The window is reached only through
// TMainIntf, its controls only inside synchronised calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "firmware/Images.h"
#include "procedure/MainIntf.h"
#include "procedure/Thread.h"
#include "procedure/UnitFacts.h"
#include "serial/Clock.h"
#include "serial/ComPort.h"

namespace qv {

// An array indexed 1..N, as the procedure numbers its slots and inputs.
template <class T, size_t N>
struct TSlots {
  T& operator[](size_t i) { return Items[i - 1]; }
  const T& operator[](size_t i) const { return Items[i - 1]; }
  static constexpr size_t Count = N;
  std::array<T, N> Items{};
};

class TSerThread;

// Stand-ins for the steps that Execute calls. An empty hook leaves the step
// itself to run; a hook that is set runs instead of it, with the same
// arguments and on the same thread. Tests fill them to drive a run.
struct TSteps {
  using TStep = std::function<void(TSerThread&)>;
  TStep ReadFirmwareFiles;
  TStep DetectPorts;
  std::function<void(TSerThread&, TComPort& port, bool handheld)> InitDevice;
  TStep DecodeFirmware;
  TStep RunFineTuning;
  TStep UpdateHandheldFirmware;
  TStep UpdateServerFirmware;
  std::function<void(TSerThread&, int slot)> ProgramServer;
};

class TSerThread final : public TThread {
public:
  // The worker runs at normal priority and frees itself when Execute has
  // returned, so a running worker must be created with new.
  TSerThread(bool createSuspended, TMainIntf& main, TClock& clock = RealClock());
  ~TSerThread() override;

  // ---- the procedure ----
  void ReportOutcome();
  // Closes every port the worker opened (Tag bit 1).
  void ClosePorts();
  // The transcript file; failures are not reported.
  void WriteErrorLog();
  std::string ErrorLogPath() const;

  // ---- steps built in other folders ----
  void ReadFirmwareFiles();
  void DetectPorts();
  void InitDevice(TComPort& port, bool handheld);
  void DecodeFirmware();
  void RunFineTuning();
  void UpdateHandheldFirmware();
  void UpdateServerFirmware();
  void ProgramServer(int slot);

  // ---- firmware loading and decoding ----
  // Reads input 1..5 from a file into a new length-prefixed buffer in
  // FirmwareBuf (none on failure); with a combo the name is the combo's
  // text, and a successful read puts it at the top of the combo's history.
  // A failure, or an input the front end's check refuses, adds its entry
  // to errors.
  void ReadFirmwareFile(std::optional<TComboId> combo, std::string name, int input, std::string& errors);
  // The input's identity to the facts, after the front end's check; false
  // when the check refuses it.
  bool CheckFirmwareInput(int input, const std::string& source, std::string& why);
  // The decoders on a length-prefixed buffer, for the slot of that number,
  // with HandheldHw and the termination request (unless Finishing).
  void DecodeQpf(const uint8_t* input, int slot, uint8_t& status);
  void DecodeRawBin(const uint8_t* input, int slot, uint8_t& status);
  void DecodeHex(const uint8_t* input, int slot, uint8_t& status);
  void DecodeSff(const uint8_t* input, int slot, uint8_t& status);
  // A family's decoders in turn; a failure adds the label to Reply.
  void DecodeHandheldImage(const uint8_t* input, int slot, const std::string& label);
  void DecodeServerImage(const uint8_t* input, int slot, const std::string& label);
  void FindModemVersion();
  void FindHandheldVersion();
  void FindServerVersion();
  // A decoder stops between blocks, lines or tokens once this holds.
  bool Terminating() const { return Terminated() && !Finishing; }

  // ---- handheld registers and jobs, programming ----
  // The register operations and the job start only clear LinkOk; the two
  // programming operations log their failure and fail the unit.
  void WriteHandheldReg(uint8_t reg, uint8_t value, bool checkEcho);
  // The value is valid only while LinkOk holds (0xFF otherwise).
  uint8_t ReadHandheldReg(uint8_t reg);
  void StartHandheldJob(int slot, uint8_t code);
  // At most polls polls of 50 ms for DSR after the dongle's line reset, then
  // the probe pair and register 0x39 set back.
  void AwaitHandheld(uint16_t polls);
  void ProgramHandheld(int slot);

  // ---- compensation settings and the fine-tuning ----
  // Both devices on their test firmware, their settings read and logged
  // (HandheldMac, UnitOffset, GoldenOffset).
  void ReadHandheldSettings();
  bool CheckServerTestFirmware();
  void ReadServerSettings();
  // Stores the value in ProgressPos in the unit under test.
  void StoreCompensation();
  // The search and refinement cycles; the value obtained is left in
  // ProgressPos.
  void RunTestCycle();
  // "10 = 4.5 kHz = 5.2 ppm"; "-" for 0 unless relative (then against
  // UnitOffset).
  std::string FormatOffset(int8_t value, bool relative) const;

  // ---- link operations ----
  // Every failure of the port becomes state: a result of false, -1 or
  // empty, and LinkOk cleared where the exchange needs it.
  bool PutByte(TComPort& port, uint8_t value);
  int GetByte(TComPort& port);
  void SendEcho(TComPort& port, const std::string& text, const std::string& expected);
  std::string ServerCommand(const std::string& payload, bool flagged);

  // Bytes may move only while no termination was requested, or while the
  // closing server restore runs.
  bool ExchangeAllowed() const { return !Terminated() || Finishing; }

  // ---- operator interaction ----
  // LogLine runs on the worker (or wherever its caller runs); all the others
  // run on the front end's thread, through Synchronize. ShowStatus names
  // the wait it shows Reply for; PromptYesNo the question it asks.
  void LogLine(const std::string& text);
  void MemoAdd();
  void ShowStatus(TPromptKind wait);
  void HideStatus();
  void PromptOk();
  void PromptYesNo(TPromptKind question);
  void ProgressShow();
  void ProgressSet();
  void ProgressHide();
  void FinalRestore();
  // The unit's result, once ReportOutcome has given its verdict.
  TUnitResult UnitResult() const;

  // ---- data model ----
  // The step Execute is in, for a window that shows it.
  const char* StepName = "";
  TUnitFacts Facts;
  bool Finishing = false;
  uint32_t HandheldMac = 0;
  std::string LogText;
  std::string LogPrefix;
  std::string ModemFwVersion;
  std::string HandheldFwVersion;
  std::string ServerFwVersion;
  std::string InstalledServerVersion;
  int8_t UnitOffset = 0;
  int8_t GoldenOffset = 0;
  uint8_t Outcome = 0;
  // The operator's answer to the last prompt, given by the front end while
  // the worker stood at it; the procedure reads the answer No as Outcome
  // 129.
  TAnswer PromptAnswer = anOk;
  uint8_t ProgressPos = 0;
  std::string Reply;
  std::string DongleId;
  uint8_t HandheldHw = 0;
  uint8_t HandheldMode = 0;
  TSlots<THandheldImage, 3> HandheldImage;
  TSlots<uint16_t, 3> HandheldImageLen;
  TSlots<TServerImage, 2> ServerImage;
  bool LinkOk = false;
  // Each a block whose first 4 bytes hold its length; owned by the worker
  // (allocated with new[]) when read from a file, pointing into the
  // window's payload otherwise.
  TSlots<uint8_t*, 5> FirmwareBuf;

  TMainIntf& Main;
  TPortRoles& Ports;
  TClock& Clock;
  TSteps Steps;

protected:
  void Execute() override;

private:
  // Releases the buffers read from files; pointers into the window's
  // payload are never released here.
  void ReleaseFirmwareBuffers();
  void LogSettings(const std::string& device, int8_t factory, int8_t pcTool, int8_t effective);
  struct THandheldSettings {
    int8_t Factory = 0;
    int8_t PcTool = 0;
    uint32_t Mac = 0;
    bool operator==(const THandheldSettings&) const = default;
  };
  // Registers 0x15, 0x16, then 0x14 down to 0x11.
  THandheldSettings ReadSettingsRegisters();
  // One step of a programming operation's bar: moves it when the
  // percentage grows.
  void ProgressTick(uint16_t& ticks, uint16_t total);
  void AwaitDisconnection();
  void AskOperator(TPromptKind kind);
  void AskNextUnit(TPromptKind question);
  // The verdict and its outcome line in Reply, not yet shown.
  void DecideOutcome();
  void RestoreServerFirmware();
};

// The outcome codes.
constexpr uint8_t ocNone = 0;
constexpr uint8_t ocFailed = 1;
constexpr uint8_t ocCompleted = 128;  // also the answer Yes
constexpr uint8_t ocAnswerNo = 129;

// The version text of server firmware from the two version bytes of the
// version query: " to V2.0.15a" for 0x24 0x0F.
std::string ServerVersionText(uint8_t x, uint8_t y);

// The transcript digit of a port: "1" or "2" from bit 0 of its Tag.
inline char PortDigit(const TComPort& port) {
  return (port.Tag & 1) ? '2' : '1';
}

// The frame checksum step: rotate left by one bit, then add.
inline uint8_t ChecksumStep(uint8_t sum, uint8_t value) {
  return static_cast<uint8_t>(((sum << 1) | (sum >> 7)) + value);
}

}  // namespace qv
