#include "bench/Server.h"

#include <stdexcept>

#include "bench/Firmware.h"
#include "bench/Identify.h"

namespace bench {

namespace {

constexpr uint8_t kIdle = 0x00;
constexpr uint8_t kHello = 0x80;
constexpr uint8_t kFlag = 0x40;
constexpr uint8_t kLengthMask = 0x3F;
constexpr uint8_t kAckFirst = 0x01;
constexpr uint8_t kAckNext = 0x02;
constexpr uint8_t kAckLast = 0x03;
constexpr uint8_t kEndByte = 0xC1;
constexpr uint8_t kPolledFirst = 0x41;
constexpr uint8_t kPolledLast = 0x7E;
constexpr uint8_t kDone = 0x07;
constexpr uint8_t kTestFirmwareRuns = 0x06;
constexpr uint8_t kVersionHead = 0x42;

constexpr size_t kGroupSize = 10;
constexpr uint32_t kMemoryWords = 0x2000;
constexpr uint8_t kIdentityHead = 'B';
constexpr uint8_t kSettingHead = 'A';

// The group at word 0x100 with four words 0x3405: programming begins with
// it, and the real group at 0x100 replaces it last.
const std::string kOpeningGroup = {0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05};

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) s += static_cast<char>(b);
  return s;
}

}  // namespace

uint8_t FrameSumStep(uint8_t sum, uint8_t value) {
  return static_cast<uint8_t>(((sum << 1) | (sum >> 7)) + value);
}

uint8_t CheckByte(uint8_t sum) {
  return static_cast<uint8_t>(0x80 | (static_cast<uint8_t>(sum + (sum >> 6)) & 0x3F));
}

TServer::TServer() : TServer(TConfig{}) {}

TServer::TServer(TConfig config)
    : TSerialModel(config.ResetByLines), FConfig(std::move(config)), FMemory(kMemoryWords, 0xFFFF) {
  if (FConfig.Identity.size() != kIdentityLength) throw std::invalid_argument("server identity must be 16 bytes");
}

std::string TServer::IdentityText() const {
  return static_cast<char>(FConfig.Hw) + FConfig.Identity;
}

void TServer::SetReply(bool flagged, const std::string& payload, const std::string& reply) {
  FReplies[{flagged, payload}] = reply;
}

uint16_t TServer::Word(uint32_t address) const {
  return address < FMemory.size() ? FMemory[address] : 0xFFFF;
}

void TServer::OnReset(TTime) {
  FState = TState::Idle;
  FSwallow = false;
}

bool TServer::LineDsr(TTime) const {
  return FConfig.DsrOn;
}

void TServer::OnByte(uint8_t byte, TTime t) {
  // Leaving the handshake, the firmware switches its receiver back to
  // command mode and loses the byte that arrives meanwhile.
  if (FSwallow) {
    FSwallow = false;
    return;
  }
  switch (FState) {
    case TState::Idle:
      Idle(byte, t);
      return;
    case TState::Identifying: {
      uint8_t answer = 0;
      const TIdentifyStep step = IdentifyStep(byte, FConfig.Hw, FConfig.Identity, FNextChar, answer);
      if (step == TIdentifyStep::Ignore) return;
      Answer(byte, answer, t);
      if (step == TIdentifyStep::Done) {
        FState = TState::Idle;
        FSwallow = true;
      }
      return;
    }
    case TState::Payload:
      FPayload += static_cast<char>(byte);
      FSum = FrameSumStep(FSum, byte);
      if (FPayload.size() < FLength) {
        Answer(byte, kAckNext, t);
      } else {
        Answer(byte, kAckLast, t);
        FState = TState::Check;
      }
      return;
    case TState::Check: {
      FState = TState::Idle;
      if (byte != CheckByte(FSum)) {
        Answer(byte, FConfig.RejectReply, t);
        return;
      }
      FCommands.push_back({FFlagged, FPayload, t});
      FReply = Execute(FFlagged, FPayload, t);
      if (FReply.empty()) return;
      const auto head = static_cast<uint8_t>(FReply[0]);
      Answer(byte, head, t);
      if (head >= kPolledFirst && head <= kPolledLast) {
        FReplySum = head;
        for (size_t k = 1; k < FReply.size(); ++k) FReplySum = FrameSumStep(FReplySum, static_cast<uint8_t>(FReply[k]));
        FState = TState::Reply;
      }
      return;
    }
    case TState::Reply:
      if (byte == kEndByte) {
        Answer(byte, FReplySum, t);
        FState = TState::Idle;
        return;
      }
      if (byte > kEndByte) {
        // Polls may come in any order; one past the reply gets nothing.
        const size_t k = byte - kEndByte;
        if (k < FReply.size()) Answer(byte, static_cast<uint8_t>(FReply[k]), t);
        return;
      }
      // Anything else abandons the reply and starts afresh.
      FState = TState::Idle;
      Idle(byte, t);
      return;
  }
}

void TServer::Idle(uint8_t byte, TTime t) {
  if (byte == kIdle) {
    Answer(byte, kIdle, t);
    return;
  }
  if (byte == kHello) {
    FState = TState::Identifying;
    uint8_t answer = 0;
    IdentifyStep(byte, FConfig.Hw, FConfig.Identity, FNextChar, answer);
    Answer(byte, answer, t);
    return;
  }
  if (byte > 0x7F) return;  // not a length byte
  FFlagged = (byte & kFlag) != 0;
  FLength = byte & kLengthMask;
  FSum = byte;
  FPayload.clear();
  if (FLength == 0) {
    Answer(byte, kAckLast, t);
    FState = TState::Check;
  } else {
    Answer(byte, kAckFirst, t);
    FState = TState::Payload;
  }
}

std::string TServer::Execute(bool flagged, const std::string& payload, TTime t) {
  if (FHandler)
    if (std::optional<std::string> reply = FHandler(flagged, payload, t)) return *reply;
  const auto it = FReplies.find({flagged, payload});
  if (it != FReplies.end()) return it->second;
  return FirmwareCommand(flagged, payload, t);
}

std::string TServer::FirmwareCommand(bool flagged, const std::string& payload, TTime t) {
  const std::string reject(1, static_cast<char>(FConfig.RejectReply));
  if (FConfig.Firmware == TFirmware::Loader) return LoaderCommand(flagged, payload);
  // Both firmwares enter the loader on the opening group, and only on it:
  // any other programming frame outside the loader is refused.
  if (!flagged && payload == kOpeningGroup) {
    FConfig.Firmware = TFirmware::Loader;
    // The loader erases program memory first; a programming that fails
    // from here on leaves a server with nothing to run.
    FMemory.assign(kMemoryWords, 0xFFFF);
    return LoaderCommand(flagged, payload);
  }
  if (!flagged || payload.empty()) return reject;
  if (FConfig.Firmware == TFirmware::Test) return TestCommand(payload, t);
  const auto command = static_cast<uint8_t>(payload[0]);
  if (payload.size() == 1 && command == 0x00) return Bytes({kVersionHead, FConfig.VersionX, FConfig.VersionY});
  // Acknowledges the start after programming.
  if (payload.size() == 1 && command == 0x01) return std::string(1, static_cast<char>(kDone));
  return reject;
}

std::string TServer::LoaderCommand(bool flagged, const std::string& payload) {
  const std::string reject(1, static_cast<char>(FConfig.RejectReply));
  const std::string done(1, static_cast<char>(kDone));
  // An unflagged group frame writes four words, the same group as a flagged
  // command behind 0x00 verifies them; flagged 0x01 starts what is there.
  const bool write = !flagged && payload.size() == kGroupSize;
  const bool verify = flagged && payload.size() == kGroupSize + 1 && payload[0] == 0;
  if (!write && !verify) {
    if (flagged && payload == Bytes({0x01})) {
      StartProgrammed();
      return done;
    }
    return reject;
  }
  ++FFrames;
  if (FFrames == FRefuseAt) return reject;
  const std::string group = verify ? payload.substr(1) : payload;
  if (!StoreGroup(group, verify)) return reject;
  // The group at 0x100 comes last; once it is verified the loader starts
  // the program.
  if (verify && group[0] == 0x01 && group[1] == 0x00) StartProgrammed();
  return done;
}

void TServer::AttachRadio(std::shared_ptr<TRadio> radio) {
  FRadio = std::move(radio);
  if (FRadio) FRadio->SetServerCrystal(FConfig.Crystal);
}

void TServer::StartProgrammed() {
  uint8_t x = 0, y = 0, identity = 0;
  switch (KindOfServerImage(FMemory, x, y, identity)) {
    case TServerImageKind::Firmware:
      FConfig.Firmware = TFirmware::Production;
      FConfig.VersionX = x;
      FConfig.VersionY = y;
      break;
    case TServerImageKind::TestFirmware:
      FConfig.Firmware = TFirmware::Test;
      FConfig.TestIdentity = identity;
      break;
    case TServerImageKind::None:
      break;  // nothing to run: the loader stays
  }
}

std::string TServer::TestCommand(const std::string& payload, TTime t) {
  const std::string reject(1, static_cast<char>(FConfig.RejectReply));
  const auto command = static_cast<uint8_t>(payload[0]);
  if (payload.size() == 1 && command == 0x00) return Bytes({kTestFirmwareRuns});
  if (payload.size() == 1 && command == 0x01)
    return Bytes({kIdentityHead, FConfig.TestIdentity, static_cast<uint8_t>(FConfig.FactoryOffset)});
  if (payload == Bytes({0x02, 0x03})) return Bytes({kSettingHead, static_cast<uint8_t>(FConfig.PcToolOffset)});
  if (payload.size() == 3 && command == 0x02 && payload[1] == 0x03) {
    FConfig.PcToolOffset = static_cast<int8_t>(payload[2]);
    return std::string(1, static_cast<char>(kDone));
  }
  // The trial offset for the next cycle, and the records of what was heard.
  if (payload.size() == 2 && command == 0x03) {
    if (FRadio) FRadio->SetTrialOffset(static_cast<int8_t>(payload[1]), t);
    return std::string(1, static_cast<char>(kDone));
  }
  if (payload.size() == 1 && command == 0x04) {
    std::string record = FRadio ? FRadio->NextRecord(t) : std::string();
    return record.empty() ? std::string(1, static_cast<char>(kDone)) : record;
  }
  return reject;
}

bool TServer::StoreGroup(const std::string& group, bool verify) {
  const uint32_t address = static_cast<uint32_t>(static_cast<uint8_t>(group[0])) << 8 | static_cast<uint8_t>(group[1]);
  if (address % 4 != 0 || address + 3 >= kMemoryWords) return false;
  uint16_t words[4];
  for (uint32_t w = 0; w < 4; ++w) {
    const auto high = static_cast<uint8_t>(group[2 + 2 * w]);
    const auto low = static_cast<uint8_t>(group[3 + 2 * w]);
    if (high > 0x3F) return false;
    words[w] = static_cast<uint16_t>(high << 8 | low);
    if (verify && Word(address + w) != words[w]) return false;
  }
  if (!verify)
    for (uint32_t w = 0; w < 4; ++w) FMemory[address + w] = words[w];
  return true;
}

}  // namespace bench
