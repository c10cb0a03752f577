// Production firmware back into the unit under test after its fine-tuning:
// the handheld's RF modem firmware (which the handheld installs itself from
// its EEPROM) and then its own EEPROM firmware, or the server's firmware.
#include "link/Protocol.h"
#include "procedure/SerThread.h"

namespace qv {

namespace {

constexpr uint8_t kControlRelease = 0x00;

}  // namespace

void TSerThread::UpdateHandheldFirmware() {
  if (Outcome != ocNone || Terminated()) return;
  LogLine("--- Updating Quorvantis RF modem firmware" + ModemFwVersion + " ---");
  ProgramHandheld(1);
  if (LinkOk && !Terminated()) {
    LogLine("Preparing to execute firmware update...");
    // The job is given the image's end address less 2. Only the slot in
    // memory changes; it is decoded afresh for the next unit.
    THandheldImage& image = HandheldImage[1];
    const auto end = static_cast<uint16_t>((image[27] | image[28] << 8) - 2);
    image[27] = static_cast<uint8_t>(end & 0xFF);
    image[28] = static_cast<uint8_t>(end >> 8);
    StartHandheldJob(1, jcRun);
  }
  if (LinkOk && !Terminated()) {
    LogLine("Waiting for firmware update to finish...");
    AwaitHandheld(kLongJobPolls);
  }
  if (Outcome == ocNone && !Terminated() && !LinkOk) {
    LogLine("Communication error, firmware execution failed!");
    Outcome = ocFailed;
  }
  if (Outcome == ocNone && !Terminated()) {
    const uint8_t status = ReadHandheldReg(hrJob);
    if (status != 0 || !LinkOk) {
      LogLine("Modem firmare update failed!");
      Outcome = ocFailed;
    }
  }
  if (Outcome == ocNone && !Terminated()) {
    LogLine("--- Updating Quorvantis EEPROM firmware" + HandheldFwVersion + " ---");
    ProgramHandheld(2);
    // Handing the handheld to its production firmware, which does not
    // answer: an echo means the handheld did not take the value.
    WriteHandheldReg(hrControl, kControlRelease, false);
    if (Outcome == ocNone && !Terminated() && !LinkOk) {
      LogLine("Communication error, finalization failed!");
      Outcome = ocFailed;
    }
  }
}

void TSerThread::UpdateServerFirmware() {
  if (Outcome != ocNone || Terminated()) return;
  LogLine("--- Updating server firmware" + ServerFwVersion + " ---");
  ProgramServer(1);
}

}  // namespace qv
