// The Telnet codec with the COM-PORT-OPTION, both roles.
//
// Input: byte 0 picks the role (bit 0: server) and seeds the split of the
// stream into pieces; the rest is the stream received.
//
// Properties:
// - split feed: the stream fed in pieces of 1 to 16 bytes gives the same
//   events (data runs joined), the same answers and the same option states
//   as fed at once;
// - round trip: the stream read as a script of data and port commands
//   (code, value) is encoded by the other side and decoded by this one
//   into exactly that script, without an error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/rfc2217/Telnet.h"

namespace {

using namespace qv::rfc2217;

void Require(bool condition) {
  if (!condition) std::abort();
}

// The events as text: data runs joined, everything else one token each.
class TLog final : public TTelnetSink {
 public:
  std::vector<std::string> Events;
  int Errors = 0;

  void OnData(const uint8_t* data, size_t n) override {
    if (Events.empty() || Events.back()[0] != 'D') Events.emplace_back("D");
    Events.back().append(reinterpret_cast<const char*>(data), n);
  }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    Events.push_back(std::string("P") + static_cast<char>(command) +
                     std::string(reinterpret_cast<const char*>(value), n));
  }
  void OnSubnegotiation(uint8_t option, const uint8_t* value, size_t n) override {
    Events.push_back(std::string("S") + static_cast<char>(option) +
                     std::string(reinterpret_cast<const char*>(value), n));
  }
  void OnCommand(uint8_t command) override { Events.push_back(std::string("C") + static_cast<char>(command)); }
  void OnOptionChanged(uint8_t option, bool local, bool enabled) override {
    Events.push_back(std::string("O") + static_cast<char>(option) + (local ? 'L' : 'R') + (enabled ? '1' : '0'));
  }
  void OnError(TTelnetError error) override {
    ++Errors;
    Events.push_back(std::string("E") + static_cast<char>('0' + error));
  }
};

void SameState(const TTelnet& a, const TTelnet& b) {
  for (int option = 0; option < 256; ++option) {
    const auto o = static_cast<uint8_t>(option);
    Require(a.LocalEnabled(o) == b.LocalEnabled(o));
    Require(a.RemoteEnabled(o) == b.RemoteEnabled(o));
  }
  Require(a.PortAgreement() == b.PortAgreement());
}

void SplitFeed(TTelnetRole role, uint32_t seed, const uint8_t* data, size_t size) {
  TTelnet whole(role), pieces(role);
  TLog wholeLog, piecesLog;
  std::string wholeOut, piecesOut;
  whole.Start(wholeOut);
  pieces.Start(piecesOut);
  whole.Feed(data, size, wholeLog, wholeOut);
  for (size_t at = 0; at < size;) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(size - at, 1 + (seed >> 16) % 16);
    pieces.Feed(data + at, n, piecesLog, piecesOut);
    at += n;
  }
  Require(wholeLog.Events == piecesLog.Events);
  Require(wholeOut == piecesOut);
  SameState(whole, pieces);
}

// The codes this role takes come from the other side.
void RoundTrip(TTelnetRole role, const uint8_t* data, size_t size) {
  const uint8_t base = role == trClient ? kServerCode : 0;
  std::string wire;
  TLog expected;
  size_t at = 0;
  while (at < size) {
    const uint8_t op = data[at++];
    const size_t n = std::min<size_t>(size - at, op >> 3);
    if ((op & 7) != 0) {
      // Data, IAC included.
      AppendData(wire, data + at, n);
      if (n > 0) expected.OnData(data + at, n);
      at += n;
      continue;
    }
    if (at == size) break;
    const auto command = static_cast<uint8_t>(base + data[at++] % 13);
    size_t minLength = 0, maxLength = 0;
    Require(PortCommandLength(command, minLength, maxLength));
    const size_t length = std::min(maxLength, std::max(minLength, n));
    if (size - at < length) break;
    AppendPortCommand(wire, command, data + at, length);
    expected.OnPortCommand(command, data + at, length);
    at += length;
  }
  TTelnet decoder(role);
  TLog log;
  std::string out;
  decoder.Feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), log, out);
  Require(log.Errors == 0);
  Require(log.Events == expected.Events);
  Require(out.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TTelnetRole role = (data[0] & 1) != 0 ? trServer : trClient;
  SplitFeed(role, data[0], data + 1, size - 1);
  RoundTrip(role, data + 1, size - 1);
  return 0;
}
