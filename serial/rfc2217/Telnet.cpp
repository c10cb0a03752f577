#include "serial/rfc2217/Telnet.h"

namespace qv::rfc2217 {

namespace {

// Commands that may follow IAC: SE up to DONT, and IAC itself.
bool IsCommand(uint8_t b) {
  return b >= tnSE;
}

}  // namespace

TControlGroup ControlGroup(uint8_t value) {
  if (value <= ctFlowHardware) return cgOutboundFlow;
  if (value <= ctBreakOff) return cgBreak;
  if (value <= ctDtrOff) return cgDtr;
  if (value <= ctRtsOff) return cgRts;
  if (value <= ctInFlowHardware) return cgInboundFlow;
  // DCD and DSR flow are outbound, DTR flow inbound.
  if (value == ctFlowDcd || value == ctFlowDsr) return cgOutboundFlow;
  if (value == ctInFlowDtr) return cgInboundFlow;
  return cgUnknown;
}

const char* TelnetErrorName(TTelnetError error) {
  switch (error) {
    case teNotACommand:
      return "not a command";
    case teStraySE:
      return "stray SE";
    case teEmptySubnegotiation:
      return "empty subnegotiation";
    case teUnterminated:
      return "unterminated subnegotiation";
    case teTooLong:
      return "subnegotiation too long";
    case teUnknownPortCommand:
      return "unknown port command";
    case teBadLength:
      return "bad value length";
  }
  return "?";
}

bool PortCommandLength(uint8_t command, size_t& minLength, size_t& maxLength) {
  const bool fromServer = command >= kServerCode;
  const int code = fromServer ? command - kServerCode : command;
  switch (code) {
    case cpSignature:
      minLength = 0;
      maxLength = kMaxSubnegotiation - 2;
      return true;
    case cpSetBaudRate:
      minLength = maxLength = 4;
      return true;
    case cpSetDataSize:
    case cpSetParity:
    case cpSetStopSize:
    case cpSetControl:
    case cpSetLineStateMask:
    case cpSetModemStateMask:
    case cpPurgeData:
      minLength = maxLength = 1;
      return true;
    case cpNotifyLineState:
    case cpNotifyModemState:
      // The server's notification carries the state; a client sending the
      // code asks for it and may leave the value out.
      minLength = fromServer ? 1 : 0;
      maxLength = 1;
      return true;
    case cpFlowControlSuspend:
    case cpFlowControlResume:
      minLength = maxLength = 0;
      return true;
    default:
      return false;
  }
}

TTelnet::TTelnet(TTelnetRole role) : FRole(role) {
  for (int i = 0; i < 256; ++i) {
    FLocal[i] = FRemote[i] = osNo;
    FAccepted[i] = i == toBinary || i == toSga || i == toComPort;
  }
}

TPortAgreement TTelnet::PortAgreement() const {
  // The client offers the option (WILL) and the server asks for it (DO),
  // but peers exist that take it the other way round, or answer the other
  // side's request and leave their own unsaid: either direction enabled is
  // the agreement.
  if (FLocal[toComPort] == osYes || FRemote[toComPort] == osYes) return paAgreed;
  const TOptionState asked = FRole == trClient ? FLocal[toComPort] : FRemote[toComPort];
  if (asked == osNo && FPortAsked) return paRefused;
  return paPending;
}

void TTelnet::Start(std::string& out) {
  RequestLocal(toBinary, true, out);
  RequestRemote(toBinary, true, out);
  RequestLocal(toSga, true, out);
  RequestRemote(toSga, true, out);
  if (FRole == trClient)
    RequestLocal(toComPort, true, out);
  else
    RequestRemote(toComPort, true, out);
  FPortAsked = true;
}

void TTelnet::RequestLocal(uint8_t option, bool enable, std::string& out) {
  TOptionState& s = FLocal[option];
  if (enable && s == osNo) {
    s = osWantYes;
    AppendNegotiation(out, tnWILL, option);
  } else if (!enable && s == osYes) {
    s = osWantNo;
    AppendNegotiation(out, tnWONT, option);
  }
}

void TTelnet::RequestRemote(uint8_t option, bool enable, std::string& out) {
  TOptionState& s = FRemote[option];
  if (enable && s == osNo) {
    s = osWantYes;
    AppendNegotiation(out, tnDO, option);
  } else if (!enable && s == osYes) {
    s = osWantNo;
    AppendNegotiation(out, tnDONT, option);
  }
}

// RFC 1143 without the queue bit: an answer is sent only when the state
// changes, so two sides can never talk each other into a loop.
void TTelnet::Negotiate(uint8_t verb, uint8_t option, TTelnetSink& sink, std::string& out) {
  const bool local = verb == tnDO || verb == tnDONT;
  const bool on = verb == tnWILL || verb == tnDO;
  TOptionState& s = local ? FLocal[option] : FRemote[option];
  const uint8_t yes = local ? tnWILL : tnDO;
  const uint8_t no = local ? tnWONT : tnDONT;
  const TOptionState before = s;
  if (on) {
    switch (s) {
      case osNo:
        if (FAccepted[option]) {
          s = osYes;
          AppendNegotiation(out, yes, option);
        } else {
          AppendNegotiation(out, no, option);
        }
        break;
      case osYes:
        break;
      case osWantNo:  // the peer insists against our refusal: it stays off
      case osWantYes:
        s = before == osWantYes ? osYes : osNo;
        break;
    }
  } else {
    switch (s) {
      case osNo:
        break;
      case osYes:
        s = osNo;
        AppendNegotiation(out, no, option);
        break;
      case osWantNo:
      case osWantYes:
        s = osNo;
        break;
    }
  }
  const bool was = before == osYes, is = s == osYes;
  if (was != is) sink.OnOptionChanged(option, local, is);
}

void TTelnet::Command(uint8_t command, TTelnetSink& sink) {
  if (command == tnSE)
    sink.OnError(teStraySE);
  else
    sink.OnCommand(command);
}

void TTelnet::EndSubnegotiation(TTelnetSink& sink) {
  FState = psData;
  if (FSbLength == 0) {
    sink.OnError(teEmptySubnegotiation);
    return;
  }
  const uint8_t option = FSb[0];
  const uint8_t* value = FSb + 1;
  const size_t n = FSbLength - 1;
  if (option != toComPort) {
    sink.OnSubnegotiation(option, value, n);
    return;
  }
  if (n == 0) {
    sink.OnError(teEmptySubnegotiation);
    return;
  }
  const uint8_t command = value[0];
  // Each side takes only the other side's codes.
  const bool fromServer = command >= kServerCode;
  size_t minLength = 0, maxLength = 0;
  if (fromServer != (FRole == trClient) || !PortCommandLength(command, minLength, maxLength)) {
    sink.OnError(teUnknownPortCommand);
    return;
  }
  if (n - 1 < minLength || n - 1 > maxLength) {
    sink.OnError(teBadLength);
    return;
  }
  sink.OnPortCommand(command, value + 1, n - 1);
}

void TTelnet::Feed(const uint8_t* data, size_t n, TTelnetSink& sink, std::string& out) {
  size_t run = 0;  // start of the data run being collected
  size_t i = 0;
  auto flush = [&](size_t end) {
    if (end > run) sink.OnData(data + run, end - run);
  };
  while (i < n) {
    const uint8_t b = data[i];
    switch (FState) {
      case psData:
        if (b == tnIAC) {
          flush(i);
          FState = psIac;
          run = i + 1;
        }
        ++i;
        continue;
      case psIac:
        ++i;
        run = i;
        if (b == tnIAC) {
          static const uint8_t iac = tnIAC;
          sink.OnData(&iac, 1);
          FState = psData;
        } else if (b == tnSB) {
          FSbLength = 0;
          FState = psSb;
        } else if (b >= tnWILL) {
          FVerb = b;
          FState = psVerb;
        } else if (IsCommand(b)) {
          FState = psData;
          Command(b, sink);
        } else {
          // Not a command: the byte is taken as data.
          FState = psData;
          sink.OnError(teNotACommand);
          run = i - 1;
        }
        continue;
      case psVerb:
        ++i;
        run = i;
        FState = psData;
        Negotiate(FVerb, b, sink, out);
        continue;
      case psSb:
        ++i;
        run = i;
        if (b == tnIAC) {
          FState = psSbIac;
        } else if (FSbLength == kMaxSubnegotiation) {
          FState = psData;
          sink.OnError(teTooLong);
          run = i - 1;
        } else {
          FSb[FSbLength++] = b;
        }
        continue;
      case psSbIac:
        if (b == tnSE) {
          ++i;
          run = i;
          EndSubnegotiation(sink);
        } else if (b == tnIAC) {
          ++i;
          run = i;
          if (FSbLength == kMaxSubnegotiation) {
            FState = psData;
            sink.OnError(teTooLong);
            static const uint8_t iac = tnIAC;
            sink.OnData(&iac, 1);
          } else {
            FSb[FSbLength++] = tnIAC;
            FState = psSb;
          }
        } else {
          // IAC SE never came: what follows IAC is read as it would be
          // outside, without consuming it here.
          sink.OnError(teUnterminated);
          FState = psIac;
        }
        continue;
    }
  }
  if (FState == psData) flush(n);
}

void AppendData(std::string& out, const uint8_t* data, size_t n) {
  const uint8_t* end = data + n;
  while (data < end) {
    const uint8_t* at = data;
    while (at < end && *at != tnIAC) ++at;
    out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(at - data));
    if (at == end) break;
    out.push_back(static_cast<char>(tnIAC));
    out.push_back(static_cast<char>(tnIAC));
    data = at + 1;
  }
}

void AppendNegotiation(std::string& out, uint8_t verb, uint8_t option) {
  out.push_back(static_cast<char>(tnIAC));
  out.push_back(static_cast<char>(verb));
  out.push_back(static_cast<char>(option));
}

void AppendPortCommand(std::string& out, uint8_t command, const uint8_t* value, size_t n) {
  out.push_back(static_cast<char>(tnIAC));
  out.push_back(static_cast<char>(tnSB));
  out.push_back(static_cast<char>(toComPort));
  AppendData(out, &command, 1);
  AppendData(out, value, n);
  out.push_back(static_cast<char>(tnIAC));
  out.push_back(static_cast<char>(tnSE));
}

void AppendPortCommand(std::string& out, uint8_t command) {
  AppendPortCommand(out, command, nullptr, 0);
}

void AppendPortCommand(std::string& out, uint8_t command, uint8_t value) {
  AppendPortCommand(out, command, &value, 1);
}

void AppendPortCommand32(std::string& out, uint8_t command, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  AppendPortCommand(out, command, bytes, 4);
}

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

}  // namespace qv::rfc2217
