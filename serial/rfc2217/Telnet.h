// The Telnet codec with the COM-PORT-OPTION, shared by the network port
// client and the bench's port server. Pure code: received bytes go in and
// come out as data, negotiation changes and port commands for a sink, plus
// the answers the protocol owes the peer; requests are turned into bytes.
// Nothing here touches a socket or a clock.
//
// The parser checks every length it is given and never stays inside a
// subnegotiation that went wrong: a malformed or cut subnegotiation is
// reported and the parser is back in the data state, where the byte that
// showed the fault is taken as it would be there. Feeding the same bytes in
// pieces of any size gives the same events (data may come in other runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::rfc2217 {

// Telnet commands.
enum : uint8_t {
  tnSE = 240,
  tnNOP = 241,
  tnDM = 242,
  tnBRK = 243,
  tnIP = 244,
  tnAO = 245,
  tnAYT = 246,
  tnEC = 247,
  tnEL = 248,
  tnGA = 249,
  tnSB = 250,
  tnWILL = 251,
  tnWONT = 252,
  tnDO = 253,
  tnDONT = 254,
  tnIAC = 255,
};

// Telnet options this codec negotiates (all others are refused).
enum : uint8_t { toBinary = 0, toEcho = 1, toSga = 3, toComPort = 44 };

// COM-PORT-OPTION commands as the client sends them; the server's commands
// are the same codes plus kServerCode.
enum : uint8_t {
  cpSignature = 0,
  cpSetBaudRate = 1,
  cpSetDataSize = 2,
  cpSetParity = 3,
  cpSetStopSize = 4,
  cpSetControl = 5,
  cpNotifyLineState = 6,
  cpNotifyModemState = 7,
  cpFlowControlSuspend = 8,
  cpFlowControlResume = 9,
  cpSetLineStateMask = 10,
  cpSetModemStateMask = 11,
  cpPurgeData = 12,
};
constexpr uint8_t kServerCode = 100;

// A value of 0 in SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE
// asks for the current setting instead of changing it.
constexpr uint8_t kRequestCurrent = 0;

// SET-PARITY values.
enum : uint8_t { pyNone = 1, pyOdd = 2, pyEven = 3, pyMark = 4, pySpace = 5 };
// SET-STOPSIZE values.
enum : uint8_t { ssOne = 1, ssTwo = 2, ssOneAndHalf = 3 };

// SET-CONTROL values.
enum : uint8_t {
  ctRequestFlow = 0,
  ctFlowNone = 1,
  ctFlowXonXoff = 2,
  ctFlowHardware = 3,
  ctRequestBreak = 4,
  ctBreakOn = 5,
  ctBreakOff = 6,
  ctRequestDtr = 7,
  ctDtrOn = 8,
  ctDtrOff = 9,
  ctRequestRts = 10,
  ctRtsOn = 11,
  ctRtsOff = 12,
  ctRequestInFlow = 13,
  ctInFlowNone = 14,
  ctInFlowXonXoff = 15,
  ctInFlowHardware = 16,
  ctFlowDcd = 17,
  ctInFlowDtr = 18,
  ctFlowDsr = 19,
};

// The group a SET-CONTROL value belongs to: a request and the settings it
// asks about share one, so that an answer can be matched to its request.
enum TControlGroup { cgOutboundFlow, cgBreak, cgDtr, cgRts, cgInboundFlow, cgUnknown };
TControlGroup ControlGroup(uint8_t value);

// NOTIFY-MODEMSTATE and SET-MODEMSTATE-MASK bits.
enum : uint8_t {
  mlDeltaCts = 0x01,
  mlDeltaDsr = 0x02,
  mlRiTrailingEdge = 0x04,
  mlDeltaDcd = 0x08,
  mlCts = 0x10,
  mlDsr = 0x20,
  mlRi = 0x40,
  mlDcd = 0x80,
};

// NOTIFY-LINESTATE and SET-LINESTATE-MASK bits.
enum : uint8_t {
  lsDataReady = 0x01,
  lsOverrun = 0x02,
  lsParity = 0x04,
  lsFraming = 0x08,
  lsBreak = 0x10,
  lsHoldingEmpty = 0x20,
  lsShiftEmpty = 0x40,
  lsTimeout = 0x80,
};

// PURGE-DATA values: the server's buffer of data received from the device,
// of data to transmit to it, or both.
enum : uint8_t { pgReceive = 1, pgTransmit = 2, pgBoth = 3 };

// Longest subnegotiation taken, option byte included: a signature text is
// the longest thing the option carries.
constexpr size_t kMaxSubnegotiation = 256;

enum TTelnetError {
  teNotACommand,          // IAC followed by a byte that is no Telnet command
  teStraySE,              // IAC SE with no subnegotiation open
  teEmptySubnegotiation,  // IAC SE right after IAC SB, or after the option byte of the port option
  teUnterminated,         // a command inside a subnegotiation: its IAC SE is missing
  teTooLong,              // longer than kMaxSubnegotiation
  teUnknownPortCommand,   // a port command code this side does not take
  teBadLength,            // a port command value of the wrong length
};
const char* TelnetErrorName(TTelnetError error);

// What the parser finds, in the order of the bytes.
class TTelnetSink {
 public:
  virtual ~TTelnetSink() = default;
  // A run of data bytes, IAC doubling undone.
  virtual void OnData(const uint8_t* data, size_t n) = 0;
  // A COM-PORT-OPTION command with a value of the right length for it.
  virtual void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) = 0;
  // A subnegotiation of another option (value without the option byte).
  virtual void OnSubnegotiation(uint8_t /*option*/, const uint8_t* /*value*/, size_t /*n*/) {}
  // NOP, BRK, AYT and the other commands without an option.
  virtual void OnCommand(uint8_t /*command*/) {}
  // An option changed state: local is this side's, else the peer's.
  virtual void OnOptionChanged(uint8_t /*option*/, bool /*local*/, bool /*enabled*/) {}
  virtual void OnError(TTelnetError /*error*/) {}
};

enum TTelnetRole { trClient, trServer };

// Where the agreement on the port option stands.
enum TPortAgreement { paPending, paAgreed, paRefused };

class TTelnet {
 public:
  explicit TTelnet(TTelnetRole role);

  TTelnetRole Role() const { return FRole; }

  // The opening requests: binary both ways, suppress go-ahead both ways, and
  // the port option (the client offers it, the server asks for it).
  void Start(std::string& out);

  // Takes received bytes; what the protocol makes this side answer goes to out.
  void Feed(const uint8_t* data, size_t n, TTelnetSink& sink, std::string& out);

  // Option state after the negotiation (RFC 1143 states, without queueing).
  bool LocalEnabled(uint8_t option) const { return FLocal[option] == osYes; }
  bool RemoteEnabled(uint8_t option) const { return FRemote[option] == osYes; }
  TPortAgreement PortAgreement() const;

  // Asks to enable or disable an option on this side or on the peer's.
  void RequestLocal(uint8_t option, bool enable, std::string& out);
  void RequestRemote(uint8_t option, bool enable, std::string& out);

  // Which options the peer's requests may enable (binary, suppress
  // go-ahead and the port option unless changed).
  void SetAccepted(uint8_t option, bool accept) { FAccepted[option] = accept; }

 private:
  enum TState : uint8_t { psData, psIac, psVerb, psSb, psSbIac };
  enum TOptionState : uint8_t { osNo, osYes, osWantNo, osWantYes };

  void Negotiate(uint8_t verb, uint8_t option, TTelnetSink& sink, std::string& out);
  void EndSubnegotiation(TTelnetSink& sink);
  void Command(uint8_t command, TTelnetSink& sink);

  const TTelnetRole FRole;
  TState FState = psData;
  uint8_t FVerb = 0;
  size_t FSbLength = 0;
  uint8_t FSb[kMaxSubnegotiation];
  TOptionState FLocal[256];
  TOptionState FRemote[256];
  bool FAccepted[256];
  bool FPortAsked = false;
};

// The value length a port command must carry; the direction is told by the
// code itself (server codes are 100 and up). False for an unknown code.
bool PortCommandLength(uint8_t command, size_t& minLength, size_t& maxLength);

// Encoders. Data and values have every IAC doubled.
void AppendData(std::string& out, const uint8_t* data, size_t n);
void AppendNegotiation(std::string& out, uint8_t verb, uint8_t option);
void AppendPortCommand(std::string& out, uint8_t command, const uint8_t* value, size_t n);
void AppendPortCommand(std::string& out, uint8_t command);
void AppendPortCommand(std::string& out, uint8_t command, uint8_t value);
// SET-BAUDRATE and its answer: four bytes, most significant first.
void AppendPortCommand32(std::string& out, uint8_t command, uint32_t value);

uint32_t Be32(const uint8_t* p);

}  // namespace qv::rfc2217
