// Firmware loading and decoding: the five inputs read from files or taken
// from the payload, decoded into the worker's slots for the connected
// handheld, and the version texts taken from them. Every problem becomes one
// log line that lists each failed input, and the unit fails.
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "firmware/Decode.h"
#include "firmware/Payload.h"
#include "procedure/SerThread.h"

namespace qv {

namespace {

const auto& kLabels = kFirmwareInputLabels;
constexpr const char* kModemLabel = kFirmwareInputLabels[0];
constexpr const char* kHandheldLabel = kFirmwareInputLabels[1];
constexpr const char* kServerLabel = kFirmwareInputLabels[2];
constexpr const char* kHandheldTestLabel = kFirmwareInputLabels[3];
constexpr const char* kServerTestLabel = kFirmwareInputLabels[4];

constexpr const char* kEntry = "\r\n ";

// No firmware input comes near this (a full server image is about 45 KB of
// HEX text); a larger file is not read at all, so that a wrong choice cannot
// hold the window's thread or its memory.
constexpr uintmax_t kMaxFirmwareFile = 16u << 20;

uint32_t BufferCount(const uint8_t* buf) {
  return static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 | static_cast<uint32_t>(buf[2]) << 16 |
         static_cast<uint32_t>(buf[3]) << 24;
}

// The input's bytes behind the 4-byte count; none for a missing buffer.
TInput InputBytes(const uint8_t* buf) {
  if (buf == nullptr) return {};
  const uint32_t count = BufferCount(buf);
  if (count < 4) return {};
  return TInput(buf + 4, count - 4);
}

// Opening a FIFO or a device would block or read without end; only a
// regular file of sane size is a firmware file.
uint8_t* ReadWholeFile(const std::string& name) {
  std::error_code ec;
  const std::filesystem::path path(name);
  if (name.empty() || !std::filesystem::is_regular_file(path, ec)) return nullptr;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFirmwareFile) return nullptr;
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return nullptr;
  const auto s = static_cast<size_t>(size);
  auto* buf = new (std::nothrow) uint8_t[s + 4];
  bool ok = buf != nullptr;
  if (ok) {
    const auto count = static_cast<uint32_t>(s + 4);
    for (int i = 0; i < 4; ++i) buf[i] = static_cast<uint8_t>(count >> (8 * i));
    ok = std::fread(buf + 4, 1, s, file) == s;
    // A file that grew since its size was taken is not what was measured.
    ok = ok && std::fgetc(file) == EOF && !std::ferror(file);
  }
  std::fclose(file);
  if (!ok) {
    delete[] buf;
    return nullptr;
  }
  return buf;
}

}  // namespace

// The front end's check sees every input as read; one it refuses is not
// kept. The payload's blocks are the program's own: they get their
// identity, but no file name to check.
bool TSerThread::CheckFirmwareInput(int input, const std::string& source, std::string& why) {
  const uint8_t* buf = FirmwareBuf[static_cast<size_t>(input)];
  const TInput bytes = InputBytes(buf);
  TFirmwareInput id;
  id.Input = input;
  id.Label = kLabels[input - 1];
  id.Source = source;
  id.Size = bytes.size();
  const bool ok = !Main.FirmwareCheck || Main.FirmwareCheck->Check(id, bytes.data(), bytes.size(), why);
  if (ok) Facts.Firmware.push_back(std::move(id));
  return ok;
}

void TSerThread::ReadFirmwareFile(std::optional<TComboId> combo, std::string name, int input, std::string& errors) {
  uint8_t*& target = FirmwareBuf[static_cast<size_t>(input)];
  const std::string label = kLabels[input - 1];
  target = nullptr;
  if (combo) name = Main.Combo(*combo).Text;
  target = ReadWholeFile(name);
  if (target == nullptr) {
    errors += kEntry + label + " \"" + name + "\"";
    return;
  }
  std::string why;
  if (!CheckFirmwareInput(input, name, why)) {
    delete[] target;
    target = nullptr;
    errors += kEntry + label + " \"" + name + "\" (" + why + ")";
    return;
  }
  if (combo) Main.AddToHistory(*combo);
}

void TSerThread::ReadFirmwareFiles() {
  std::string errors;
  // A retry reads every input again, so that a corrected file is picked up.
  ReleaseFirmwareBuffers();
  Facts.Firmware.clear();
  if (Main.FirmwareCheck)
    for (const std::string& problem : Main.FirmwareCheck->Problems()) errors += kEntry + problem;
  if (Main.Payload) {
    const TPayloadBlocks blocks = PayloadBlocks(Main.Payload.get(), Main.PayloadSize);
    for (size_t i = 1; i <= FirmwareBuf.Count; ++i) {
      FirmwareBuf[i] = blocks[i - 1];
      std::string why;
      if (FirmwareBuf[i] == nullptr)
        errors += kEntry + std::string(kLabels[i - 1]) + " (damaged payload block)";
      else if (!CheckFirmwareInput(static_cast<int>(i), "payload", why))
        errors += kEntry + std::string(kLabels[i - 1]) + " (" + why + ")";
    }
  } else {
    FirmwareBuf.Items.fill(nullptr);
    ReadFirmwareFile(std::nullopt, Main.ProgramDir + "qvftune.qpf", 4, errors);
    ReadFirmwareFile(std::nullopt, Main.ProgramDir + "srvftune.sff", 5, errors);
    if (!Main.GoldenIsHandheld) {
      ReadFirmwareFile(ciFile1, "", 1, errors);
      ReadFirmwareFile(ciFile2, "", 2, errors);
    }
    if (Main.GoldenIsHandheld || Main.RestoreServer) ReadFirmwareFile(ciFile3, "", 3, errors);
  }
  if (!errors.empty()) {
    LogLine("Error reading file(s):" + errors);
    Outcome = ocFailed;
  }
}

void TSerThread::DecodeQpf(const uint8_t* input, int slot, uint8_t& status) {
  const auto stop = [this] { return Terminating(); };
  qv::DecodeQpf(InputBytes(input), HandheldHw, TStopTest(stop), HandheldImage[slot], HandheldImageLen[slot], status);
}

void TSerThread::DecodeRawBin(const uint8_t* input, int slot, uint8_t& status) {
  qv::DecodeRawBin(InputBytes(input), HandheldHw, HandheldImage[slot], HandheldImageLen[slot], status);
}

void TSerThread::DecodeHex(const uint8_t* input, int slot, uint8_t& status) {
  const auto stop = [this] { return Terminating(); };
  qv::DecodeHex(InputBytes(input), TStopTest(stop), ServerImage[slot], status);
}

void TSerThread::DecodeSff(const uint8_t* input, int slot, uint8_t& status) {
  const auto stop = [this] { return Terminating(); };
  qv::DecodeSff(InputBytes(input), TStopTest(stop), ServerImage[slot], status);
}

void TSerThread::DecodeHandheldImage(const uint8_t* input, int slot, const std::string& label) {
  uint8_t status = fsInvalid;
  DecodeQpf(input, slot, status);
  if (status == fsInvalid) DecodeRawBin(input, slot, status);
  if (status == fsDecoded) return;
  Reply += kEntry + label;
  if (status == fsNoImage) Reply += " (hardware not supported)";
}

void TSerThread::DecodeServerImage(const uint8_t* input, int slot, const std::string& label) {
  uint8_t status = fsInvalid;
  DecodeHex(input, slot, status);
  if (status != fsDecoded) DecodeSff(input, slot, status);
  if (status != fsDecoded) Reply += kEntry + label;
}

void TSerThread::FindModemVersion() {
  ModemFwVersion = " to " + ModemImageVersion(HandheldImage[1], HandheldImageLen[1]);
}

void TSerThread::FindHandheldVersion() {
  HandheldFwVersion = " to " + HandheldImageVersion(HandheldImage[2], HandheldImageLen[2]);
}

void TSerThread::FindServerVersion() {
  const std::string version = ServerImageVersion(ServerImage[1]);
  ServerFwVersion = version.empty() ? std::string() : " to " + version;
}

void TSerThread::DecodeFirmware() {
  if (Outcome != ocNone || Terminating()) return;
  Reply.clear();
  if (!Finishing) {
    DecodeHandheldImage(FirmwareBuf[4], 3, kHandheldTestLabel);
    DecodeServerImage(FirmwareBuf[5], 2, kServerTestLabel);
  }
  if (!Main.GoldenIsHandheld && !Finishing) {
    DecodeHandheldImage(FirmwareBuf[1], 1, kModemLabel);
    DecodeHandheldImage(FirmwareBuf[2], 2, kHandheldLabel);
  }
  if (Main.GoldenIsHandheld || Main.RestoreServer) DecodeServerImage(FirmwareBuf[3], 1, kServerLabel);
  if (!Reply.empty() && !Terminating()) {
    LogLine("Error decoding file(s):" + Reply);
    Outcome = ocFailed;
    return;
  }
  ModemFwVersion.clear();
  HandheldFwVersion.clear();
  ServerFwVersion.clear();
  if (!Main.GoldenIsHandheld && !Finishing) {
    FindModemVersion();
    FindHandheldVersion();
  }
  if (Main.GoldenIsHandheld || Main.RestoreServer) FindServerVersion();
}

}  // namespace qv
