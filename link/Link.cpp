// The worker's byte exchange with the devices: one byte out, at most one
// byte back, each traced in LogText; and the server's framed command built
// on it. Every failure of the port ends here as state (false, -1, empty,
// LinkOk); nothing is thrown past these functions.
#include <charconv>
#include <cstdint>
#include <string>

#include "procedure/SerThread.h"

namespace qv {

namespace {

// The largest payload a length byte can carry next to the flag bit.
constexpr size_t kMaxPayload = 63;

constexpr uint8_t kLengthFlag = 0x40;
constexpr uint8_t kAckFirst = 0x01;
constexpr uint8_t kAckNext = 0x02;
constexpr uint8_t kAckLast = 0x03;
constexpr uint8_t kEndByte = 0xC1;  // the poll bytes follow it: 0xC2, 0xC3, ...
constexpr int kHeadPolledFirst = 0x41;
constexpr int kHeadPolledLast = 0x7E;
constexpr int kHeadUnpollable = 0x7F;

// Appends one byte entry ("2<65\r", "1>-1\r") straight onto the transcript,
// so that tracing a byte costs no allocation beyond the transcript's own
// growth.
void AppendEntry(std::string& log, char digit, char direction, int value) {
  char buf[8];
  buf[0] = digit;
  buf[1] = direction;
  char* end = std::to_chars(buf + 2, buf + sizeof buf - 1, value).ptr;
  *end++ = '\r';
  log.append(buf, end);
}

}  // namespace

bool TSerThread::PutByte(TComPort& port, uint8_t value) {
  if (!ExchangeAllowed()) return false;
  bool written = true;
  try {
    port.WriteByte(value);
  } catch (...) {
    written = false;
  }
  if (!written) LogText += '!';
  AppendEntry(LogText, PortDigit(port), '<', value);
  return written;
}

int TSerThread::GetByte(TComPort& port) {
  if (!ExchangeAllowed()) return -1;
  int result = -1;
  try {
    // The link answers one byte per byte sent; two or more waiting means
    // the exchange is out of step, and reading one of them would only hide
    // that. They stay queued until someone purges the input.
    if (port.InputCount() < 2) result = port.ReadByte();
  } catch (...) {
    result = -1;
  }
  AppendEntry(LogText, PortDigit(port), '>', result);
  return result;
}

void TSerThread::SendEcho(TComPort& port, const std::string& text, const std::string& expected) {
  if (Outcome != 0 || !ExchangeAllowed()) return;
  Reply.clear();
  for (char c : text) {
    if (!LinkOk) break;
    if (!PutByte(port, static_cast<uint8_t>(c))) {
      LinkOk = false;
      break;
    }
    const int answer = GetByte(port);
    if (answer < 0) {
      // A missing answer is left to the caller's comparison: without an
      // expected string a silent device is no link failure.
      Reply.clear();
      break;
    }
    Reply += static_cast<char>(answer);
  }
  if (LinkOk && !expected.empty()) LinkOk = Reply == expected;
}

std::string TSerThread::ServerCommand(const std::string& payload, bool flagged) {
  std::string result;
  if (Outcome != 0 || !ExchangeAllowed()) return result;
  // A longer payload would spill into the flag bit of the length byte and
  // announce a different frame to the server; nothing of it goes out.
  if (payload.size() > kMaxPayload || Ports.SerIF2 == nullptr) {
    Reply.clear();
    LinkOk = false;
    return result;
  }
  TComPort& port = *Ports.SerIF2;

  const auto length = static_cast<uint8_t>(payload.size() | (flagged ? kLengthFlag : 0));
  std::string frame;
  frame.reserve(payload.size() + 1);
  frame += static_cast<char>(length);
  frame += payload;
  // 0x01 for the length byte, 0x02 for each payload byte, and 0x03 for the
  // frame's last byte, whichever it is.
  std::string acks(payload.size() + 1, static_cast<char>(kAckNext));
  acks.front() = static_cast<char>(kAckFirst);
  acks.back() = static_cast<char>(kAckLast);

  uint8_t sum = length;
  for (char b : payload) sum = ChecksumStep(sum, static_cast<uint8_t>(b));
  const auto check = static_cast<uint8_t>(0x80 | (static_cast<uint8_t>(sum + (sum >> 6)) & 0x3F));

  SendEcho(port, frame, acks);
  // A failed write of the check byte shows as the missing reply head.
  if (LinkOk) PutByte(port, check);
  int head = -1;
  if (LinkOk) head = GetByte(port);
  LinkOk = LinkOk && head >= 0;
  if (!LinkOk) return result;
  // 0x7F would announce 63 reply bytes, but the poll bytes end at 0xFF after
  // 62 of them; polling could only fetch a truncated reply or mistake the
  // rest for its checksum. No device sends it, so it is taken as a broken
  // reply, without touching the wire again.
  if (head == kHeadUnpollable) {
    LinkOk = false;
    return result;
  }

  result += static_cast<char>(head);
  auto replySum = static_cast<uint8_t>(head);
  if (head >= kHeadPolledFirst && head <= kHeadPolledLast) {
    const int count = head - 0x40;
    for (int k = 1; k <= count && LinkOk && ExchangeAllowed(); ++k) {
      PutByte(port, static_cast<uint8_t>(kEndByte + k));
      int value = -1;
      if (LinkOk) value = GetByte(port);
      LinkOk = LinkOk && value >= 0;
      const auto low = static_cast<uint8_t>(value & 0xFF);
      result += static_cast<char>(low);
      replySum = ChecksumStep(replySum, low);
    }
    if (LinkOk) PutByte(port, kEndByte);
    // After a poll loop cut short by a termination request the gate is
    // closed: the end byte stays unsent, the read gives -1 and no checksum
    // can match it.
    int received = -1;
    if (LinkOk) received = GetByte(port);
    if (received != replySum) LinkOk = false;
  }
  if (!LinkOk) result.clear();
  return result;
}

}  // namespace qv
