#include "line/Events.h"

#include <charconv>
#include <vector>

#include "records/Text.h"

namespace qv::line {

namespace {

const char* const kNames[] = {"unit", "log", "wait", "progress", "result", "say", "json"};

std::string Field(const std::string& text) {
  std::string out;
  records::EscapeField(text, out);
  return out;
}

std::string Number(const std::optional<int>& n) {
  return n ? std::to_string(*n) : std::string();
}

bool ParseInt(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

}  // namespace

std::string EncodeEvent(const TLineEvent& e) {
  std::string line = kNames[e.Kind];
  auto add = [&](const std::string& field) {
    line += '\t';
    line += field;
  };
  switch (e.Kind) {
    case ekUnit:
      add(std::to_string(e.Unit));
      break;
    case ekLog:
      add(std::to_string(e.Unit));
      add(Field(e.Time));
      add(Field(e.Step));
      add(Field(e.Text));
      break;
    case ekWait:
    case ekSay:
    case ekJson:
      add(Field(e.Text));
      break;
    case ekProgress:
      add(std::to_string(e.Percent));
      break;
    case ekResult:
      add(std::to_string(e.Unit));
      add(Field(e.Verdict));
      add(Number(e.Stored));
      add(Field(e.Text));
      break;
  }
  return line;
}

bool DecodeEvent(const std::string& line, TLineEvent& e) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    std::string field;
    if (!records::UnescapeField(line, start, tab == std::string::npos ? line.size() : tab, field)) return false;
    fields.push_back(std::move(field));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  e = TLineEvent{};
  size_t kind = 0;
  while (kind < std::size(kNames) && fields[0] != kNames[kind]) ++kind;
  if (kind == std::size(kNames)) return false;
  e.Kind = static_cast<TEventKind>(kind);
  static const size_t kFields[] = {2, 5, 2, 2, 5, 2, 2};
  if (fields.size() != kFields[kind]) return false;
  switch (e.Kind) {
    case ekUnit:
      return ParseInt(fields[1], e.Unit);
    case ekLog:
      e.Time = fields[2];
      e.Step = fields[3];
      e.Text = fields[4];
      return ParseInt(fields[1], e.Unit);
    case ekWait:
    case ekSay:
    case ekJson:
      e.Text = fields[1];
      return true;
    case ekProgress:
      return ParseInt(fields[1], e.Percent);
    case ekResult:
      e.Verdict = fields[2];
      e.Text = fields[4];
      if (!fields[3].empty()) {
        int stored = 0;
        if (!ParseInt(fields[3], stored)) return false;
        e.Stored = stored;
      }
      return ParseInt(fields[1], e.Unit);
  }
  return false;
}

}  // namespace qv::line
