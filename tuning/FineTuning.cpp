// The fine-tuning of one unit: the handheld sends test packets, the server
// records them with their signal strength and frequency reading at a trial
// offset; a search over trial offsets until the server hears the handheld,
// a measurement, one more at the measured offset, and the compensation value
// for the unit under test derived from it.
#include <string>

#include "link/Protocol.h"
#include "procedure/SerThread.h"

namespace qv {

namespace {

constexpr int8_t kTrialOffsets[5] = {0, 50, -50, 100, -100};
constexpr int kMinRecords = 8;
constexpr int kMaxSpread = 4;
constexpr int kResultMin = -127;
constexpr int kResultMax = 128;

constexpr uint8_t stRadioFailure = 6;
constexpr uint8_t stRefine = 0x80;
constexpr uint8_t stInconsistent = 0x81;
constexpr uint8_t stTooLarge = 0x82;
constexpr uint8_t stDone = 0xFF;

// The record count is a byte: a cycle with more of the handheld's records
// would wrap it and spoil the average, so it counts as inconsistent.
constexpr int kMaxRecords = 255;
// A server that never ends its list of records would hold the unit for
// ever; this many replies in one cycle is a broken link.
constexpr int kMaxFetches = 1024;

constexpr size_t kRecordSize = 17;
constexpr uint8_t kRecordHead = 'P';

uint8_t At(const std::string& s, size_t i) {
  return static_cast<uint8_t>(s[i]);
}

}  // namespace

void TSerThread::RunFineTuning() {
  if (Outcome != ocNone || Terminated()) return;
  LogLine("--- Running crystal fine-tuning algorithm ---");
  ReadHandheldSettings();
  // The server gets test firmware from here on: the closing restore must
  // reprogram its firmware whatever it ran before.
  InstalledServerVersion.clear();
  ReadServerSettings();
  RunTestCycle();
  if (!Main.AnaChkChecked()) StoreCompensation();
  if (Outcome == ocNone && !Terminated() && !LinkOk) {
    LogLine("Communication error!");
    Outcome = ocFailed;
  }
}

void TSerThread::RunTestCycle() {
  uint8_t state = 0;
  int8_t offset = 0;
  int count = 0;
  int32_t rssiSum = 0, afcSum = 0, afcMin = 256, afcMax = -256, rssiAverage = 0;

  while (Outcome == ocNone && !Terminated() && LinkOk) {
    if (state <= 4) offset = kTrialOffsets[state];
    // From the trial offset to the last record fetched the channel is this
    // station's: another station's packets would collide with the unit's or
    // fill the server's list.
    Synchronize([this] { Main.AirWanted(); });
    struct TAirTurn {
      TSerThread& Worker;
      ~TAirTurn() { Worker.Synchronize([this] { Worker.Main.AirDone(); }); }
    } turn{*this};
    if (ServerCommand(Bytes({0x03, static_cast<uint8_t>(offset)}), true) != Bytes({kServerDone})) LinkOk = false;
    if (LinkOk && !Terminated()) StartHandheldJob(3, jcTestCycle);
    if (LinkOk && !Terminated()) {
      LogLine("Running test cycle...");
      AwaitHandheld(kShortJobPolls);
      const uint8_t status = ReadHandheldReg(hrJob);
      if (LinkOk && !Terminated() && status != 0) {
        LogLine("Test cycle failed!");
        Outcome = ocFailed;
        return;
      }
    }

    count = 0;
    rssiSum = 0;
    afcSum = 0;
    afcMin = 256;
    afcMax = -256;
    int fetches = 0;
    if (LinkOk) Reply = ServerCommand(Bytes({0x04}), true);
    while (Reply != Bytes({kServerDone}) && LinkOk && !Terminated()) {
      // Records of other senders, of another length or with other fixed
      // bytes are passed over; only 0x07 ends the list.
      if (Reply.size() == kRecordSize && At(Reply, 0) == kRecordHead && At(Reply, 3) == 0x00 && At(Reply, 4) == 0x08 &&
          At(Reply, 9) == 0x00 &&
          (static_cast<uint32_t>(At(Reply, 5)) << 24 | static_cast<uint32_t>(At(Reply, 6)) << 16 |
           static_cast<uint32_t>(At(Reply, 7)) << 8 | At(Reply, 8)) == HandheldMac) {
        ++count;
        rssiSum += At(Reply, 1);
        const int a = At(Reply, 2) <= 128 ? At(Reply, 2) : At(Reply, 2) - 256;
        afcSum += a;
        if (a < afcMin) afcMin = a;
        if (a > afcMax) afcMax = a;
      }
      if (++fetches >= kMaxFetches) {
        LinkOk = false;
        break;
      }
      Reply = ServerCommand(Bytes({0x04}), true);
    }
    if (LinkOk && !Terminated()) {
      LogLine(std::to_string(count) + " packets received");
      Facts.TrialOffsets.push_back(offset);
      Facts.RecordsPerCycle.push_back(count);
    }
    // A cycle that Cancel cut short measured nothing: judged on the records
    // it got so far, a refinement would read as inconsistent and the
    // cancelled unit as failed for that reason.
    if (Terminated()) break;

    if (count < kMinRecords) {
      ++state;
    } else {
      state = state == stRefine ? stDone : stRefine;
      if (afcMax - afcMin > kMaxSpread || count > kMaxRecords) {
        state = stInconsistent;
      } else {
        rssiAverage = rssiSum / count;
        // Truncates toward zero, as the measurement is defined.
        const int32_t d = afcSum * 8 / (count * 3);
        int32_t r = d + offset;
        if (state == stDone) {
          if (!Main.GoldenIsHandheld) r = -r;
          r += GoldenOffset;
        }
        if (r < kResultMin || r > kResultMax)
          state = stTooLarge;
        else
          offset = static_cast<int8_t>(static_cast<uint8_t>(r & 0xFF));
      }
    }
    if (state == stRadioFailure) {
      LogLine("Radio failure!");
      Outcome = ocFailed;
    } else if (state == stInconsistent) {
      LogLine("Measurements inconsistent!");
      Outcome = ocFailed;
    } else if (state == stTooLarge) {
      LogLine("Frequency offset too large to compensate!");
      Outcome = ocFailed;
    }
    if (state == stDone) break;
  }

  // 0 means not set to both devices, and the server also reads 1 so.
  ProgressPos = static_cast<uint8_t>(offset);
  if (ProgressPos == 0) ProgressPos = 0xFF;
  if (ProgressPos == 1 && Main.GoldenIsHandheld) ProgressPos = 2;
  if (state == stDone) {
    Facts.Result = static_cast<int8_t>(ProgressPos);
    Facts.RssiAverage = rssiAverage;
    Facts.AfcMean = static_cast<double>(afcSum) / count;
    Facts.AfcSpread = afcMax - afcMin;
    LogLine("avRSSI = " + std::to_string(rssiAverage) + ", offset = " +
            FormatOffset(static_cast<int8_t>(ProgressPos), false) + ", varAFC=" + std::to_string(afcMax - afcMin));
    LogLine("Compared to previous offset = " + FormatOffset(static_cast<int8_t>(ProgressPos), true));
  }
}

}  // namespace qv
