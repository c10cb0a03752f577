#include "bench/Server.h"

#include <stdexcept>

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

TServer::TServer(TConfig config) : TSerialModel(config.ResetByLines), FConfig(std::move(config)) {
  if (FConfig.Identity.size() != kIdentityLength) throw std::invalid_argument("server identity must be 16 bytes");
}

std::string TServer::IdentityText() const {
  return static_cast<char>(FConfig.Hw) + FConfig.Identity;
}

void TServer::SetReply(bool flagged, const std::string& payload, const std::string& reply) {
  FReplies[{flagged, payload}] = reply;
}

uint16_t TServer::Word(uint32_t address) const {
  const auto it = FMemory.find(address);
  return it == FMemory.end() ? 0xFFFF : it->second;
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
  return FirmwareCommand(flagged, payload);
}

std::string TServer::FirmwareCommand(bool flagged, const std::string& payload) {
  const std::string reject(1, static_cast<char>(FConfig.RejectReply));
  const std::string done(1, static_cast<char>(kDone));
  // The loader of both firmwares: a group frame writes four words, the
  // same group as a flagged command (behind 0x00) verifies them.
  if (!flagged && payload.size() == kGroupSize) return StoreGroup(payload, false) ? done : reject;
  if (flagged && payload.size() == kGroupSize + 1 && payload[0] == 0)
    return StoreGroup(payload.substr(1), true) ? done : reject;
  if (!flagged || payload.empty()) return reject;
  const auto command = static_cast<uint8_t>(payload[0]);
  if (FConfig.Firmware == TFirmware::Test) {
    if (payload.size() == 1 && command == 0x00) return Bytes({kTestFirmwareRuns});
    return reject;
  }
  if (payload.size() == 1 && command == 0x00) return Bytes({kVersionHead, FConfig.VersionX, FConfig.VersionY});
  // Starts the firmware just programmed.
  if (payload.size() == 1 && command == 0x01) return done;
  return reject;
}

bool TServer::StoreGroup(const std::string& group, bool verify) {
  const uint32_t address = static_cast<uint32_t>(static_cast<uint8_t>(group[0])) << 8 | static_cast<uint8_t>(group[1]);
  if (address % 4 != 0) return false;
  for (uint32_t w = 0; w < 4; ++w) {
    const auto high = static_cast<uint8_t>(group[2 + 2 * w]);
    const auto low = static_cast<uint8_t>(group[3 + 2 * w]);
    if (high > 0x3F) return false;
    const auto word = static_cast<uint16_t>(high << 8 | low);
    if (verify) {
      if (Word(address + w) != word) return false;
    } else {
      FMemory[address + w] = word;
    }
  }
  return true;
}

}  // namespace bench
