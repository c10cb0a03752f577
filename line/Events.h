// What one station of a line tells the line as it runs: one line of text
// an event, written by the station's qvline (a child process, or a thread
// in the tests) and read by the line that shows them all. Fields are
// separated by TABs, with TAB, CR, LF and the backslash escaped, so that a
// log line's bytes come through unchanged.
#pragma once

#include <optional>
#include <string>

namespace qv::line {

enum TEventKind {
  // A unit begins (Unit).
  ekUnit,
  // A log pane line (Time, Unit, Step, Text).
  ekLog,
  // A wait for the operator begins or ends (Text: what it waits for; empty
  // at its end).
  ekWait,
  // A programming operation's progress (Percent; -1: the bar goes).
  ekProgress,
  // A unit's result (Unit, Verdict, Stored, Text: the message).
  ekResult,
  // A message for the operator (Text), as qvline alone writes it on its
  // standard error.
  ekSay,
  // A JSON object qvline alone writes with --json (Text): a unit's result,
  // the run's summary.
  ekJson,
};

struct TLineEvent {
  TEventKind Kind = ekSay;
  int Unit = 0;
  std::string Time;
  std::string Step;
  std::string Text;
  int Percent = 0;
  // "completed", "failed" or "aborted".
  std::string Verdict;
  std::optional<int> Stored;

  bool operator==(const TLineEvent&) const = default;
};

inline TLineEvent Event(TEventKind kind, std::string text = {}) {
  TLineEvent e;
  e.Kind = kind;
  e.Text = std::move(text);
  return e;
}

// The event's line, without its end.
std::string EncodeEvent(const TLineEvent& event);
// False for a line that is not an event.
bool DecodeEvent(const std::string& line, TLineEvent& event);

}  // namespace qv::line
