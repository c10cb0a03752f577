// What the worker learns about the run and the unit it works on, kept where
// each value becomes known, so that a unit's record and result are built
// from the values themselves rather than from the lines that show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv {

struct TOffsetSettings {
  int Factory = 0;
  int PcTool = 0;
  int Effective = 0;
};

// The five firmware inputs as the tools name them, 1..5 at 0..4.
constexpr const char* kFirmwareInputLabels[5] = {"RF modem firmware", "Quorvantis firmware", "Server firmware",
                                                 "Quorvantis test firmware", "Server test firmware"};

// One firmware input as the worker read it.
struct TFirmwareInput {
  // 1..5: RF modem, handheld, server, handheld test, server test firmware.
  int Input = 0;
  std::string Label;
  // The file's path, or "payload" for a block of the program's payload.
  std::string Source;
  uint64_t Size = 0;
  // SHA-256 in hex; empty where no front end computed it.
  std::string Sha256;
  bool operator==(const TFirmwareInput&) const = default;
};

struct TUnitFacts {
  // ---- the run's: found once, kept from unit to unit ----
  std::string ServerId;
  // The inputs of this attempt, in the order they were read.
  std::vector<TFirmwareInput> Firmware;

  // ---- the unit's: cleared when a unit starts ----
  std::optional<uint8_t> HandheldHw;
  std::optional<uint32_t> HandheldMac;
  std::optional<TOffsetSettings> Unit;
  std::optional<int> GoldenOffset;
  std::vector<int> TrialOffsets;
  std::vector<int> RecordsPerCycle;
  // The measurement the last cycle arrived at.
  std::optional<int> Result;
  std::optional<int> RssiAverage;
  std::optional<double> AfcMean;
  std::optional<int> AfcSpread;
  // Confirmed by the unit under test.
  std::optional<int> Stored;
  // The unit's last log line: the reason, when it failed.
  std::string LastLine;

  void NewUnit() {
    TUnitFacts fresh;
    fresh.ServerId = ServerId;
    fresh.Firmware = std::move(Firmware);
    *this = std::move(fresh);
  }
};

// How a unit ended: the worker's Outcome at its outcome line.
enum TUnitVerdict { uvCompleted, uvFailed, uvAborted };

// A unit's result as the worker hands it to its front end once the outcome
// is known: everything a record or a report needs, nothing of the worker.
struct TUnitResult {
  TUnitVerdict Verdict = uvAborted;
  bool GoldenIsHandheld = false;
  bool AnalysisOnly = false;
  TUnitFacts Facts;
  // The versions of the run's firmware images ("V2.4"), empty where none
  // was decoded.
  std::string ModemFw, HandheldFw, ServerFw;
  // The dongle's identity as its found line shows it after the "#", and
  // the handheld's hardware version ("2.2"); empty when unknown.
  std::string DongleId;
  std::string HandheldHw;
  // Why it failed (the unit's last log line), or "Aborted by user!".
  std::string Message;
  // The transcript as the error log file would hold it now.
  std::string Transcript;
};

}  // namespace qv
