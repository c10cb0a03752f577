// The server (base station) on its serial line: the identification
// handshake, the idle answer 0x00 to 0x00, and the framed command protocol
// (length byte, acknowledged payload, check byte, reply head, polled reply
// bytes, reply checksum). Commands are answered from a per-command reply
// table, an optional handler, and the firmware's own commands.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <memory>

#include "bench/Radio.h"
#include "bench/SerialModel.h"

namespace bench {

class TServer final : public TSerialModel {
 public:
  // What runs: the production firmware, the test firmware, or the loader
  // (entered for programming; it stays when what was programmed cannot
  // run).
  enum class TFirmware { Production, Test, Loader };

  struct TConfig {
    uint8_t Hw = 0x20;
    // Exactly 16 bytes; characters 1 to 10 of every server are RFQVSERVER.
    std::string Identity = "RFQVSERVER000123";
    // The version bytes the production firmware reports.
    uint8_t VersionX = 0x24;
    uint8_t VersionY = 0x0F;
    TFirmware Firmware = TFirmware::Production;
    // The test firmware's identity byte, until programming decides it.
    uint8_t TestIdentity = 0x5A;
    // The compensation settings the test firmware reports.
    int8_t FactoryOffset = -8;
    int8_t PcToolOffset = 0;
    // The crystal's error, in compensation steps.
    double Crystal = 0;
    // A base station runs from its own supply; its UART lines do not reset it.
    bool ResetByLines = false;
    // The one-byte reply to a frame with a wrong check byte, and to a
    // command the firmware does not know.
    uint8_t RejectReply = 0x15;
    bool DsrOn = true;
  };

  enum class TState { Idle, Identifying, Payload, Check, Reply };

  // A command as the server took it: with a good check byte.
  struct TCommand {
    bool Flagged;
    std::string Payload;
    TTime Time;
  };

  // The whole reply as the PC gets it (the head, then the polled bytes), or
  // nullopt when the handler leaves the command to the server. An empty
  // reply leaves the check byte unanswered.
  using THandler = std::function<std::optional<std::string>(bool flagged, const std::string& payload, TTime t)>;

  TServer();
  explicit TServer(TConfig config);

  TConfig& Config() { return FConfig; }
  std::string IdentityText() const;

  // A fixed reply for one command, ahead of the firmware's own.
  void SetReply(bool flagged, const std::string& payload, const std::string& reply);
  void ClearReplies() { FReplies.clear(); }
  // Consulted before the reply table.
  void SetHandler(THandler handler) { FHandler = std::move(handler); }

  const std::vector<TCommand>& Commands() const { return FCommands; }
  TState State() const { return FState; }
  TFirmware Running() const { return FConfig.Firmware; }
  // The radio its test firmware listens on (none: it hears nothing).
  void AttachRadio(std::shared_ptr<TRadio> radio);
  const std::shared_ptr<TRadio>& Radio() const { return FRadio; }
  // The compensation value the server works with: the PC-tool value when
  // set (0 and 1 both mean not set), else the factory value.
  int EffectiveOffset() const {
    return CompensationSteps(FConfig.PcToolOffset != 0 && FConfig.PcToolOffset != 1 ? FConfig.PcToolOffset
                                                                                     : FConfig.FactoryOffset);
  }
  // Program memory, one 14-bit word per word address; 0xFFFF where blank.
  uint16_t Word(uint32_t address) const;
  const std::vector<uint16_t>& Memory() const { return FMemory; }
  void SetMemory(std::vector<uint16_t> words) { FMemory = std::move(words); }

  // The loader refuses its nth programming frame from now on (1 = the
  // next; counting the opening group, writes and verifies); 0: off.
  void RefuseFrame(uint64_t nth) {
    FRefuseAt = nth == 0 ? 0 : FFrames + nth;
  }
  uint64_t ProgrammingFrames() const { return FFrames; }

 protected:
  void OnByte(uint8_t byte, TTime t) override;
  void OnReset(TTime t) override;
  bool LineDsr(TTime t) const override;

 private:
  void Idle(uint8_t byte, TTime t);
  std::string Execute(bool flagged, const std::string& payload, TTime t);
  std::string FirmwareCommand(bool flagged, const std::string& payload, TTime t);
  std::string LoaderCommand(bool flagged, const std::string& payload);
  std::string TestCommand(const std::string& payload, TTime t);
  bool StoreGroup(const std::string& group, bool verify);
  // Starts what the loader finds in program memory.
  void StartProgrammed();

  TConfig FConfig;
  std::map<std::pair<bool, std::string>, std::string> FReplies;
  THandler FHandler;
  TState FState = TState::Idle;
  bool FSwallow = false;
  size_t FNextChar = 0;
  size_t FLength = 0;
  bool FFlagged = false;
  uint8_t FSum = 0;
  std::string FPayload;
  std::string FReply;
  uint8_t FReplySum = 0;
  std::vector<TCommand> FCommands;
  std::vector<uint16_t> FMemory;
  std::shared_ptr<TRadio> FRadio;
  uint64_t FFrames = 0;
  uint64_t FRefuseAt = 0;
};

// The frame checksum step: rotate left by one bit, then add.
uint8_t FrameSumStep(uint8_t sum, uint8_t value);
// The check byte for a frame whose checksum is sum.
uint8_t CheckByte(uint8_t sum);

}  // namespace bench
