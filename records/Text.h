// Texts the records and the headless runner share: UTC time stamps, JSON
// strings and escaped fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qv::records {

// ISO 8601 UTC with milliseconds: 2026-12-09T08:15:02.123Z.
std::string UtcTimestamp(std::chrono::system_clock::time_point when);
std::string UtcNow();
// Milliseconds since 1970 of an ISO 8601 UTC time ("Z" or no zone; the
// fraction optional; "T" or a space between date and time); nullopt for
// anything else.
std::optional<int64_t> ParseUtcMs(const std::string& text);

// The text as UTF-8: sequences that are UTF-8 stay, every other byte is
// taken as the Latin-1 character of its value, so that no byte is lost.
std::string Utf8Text(const std::string& bytes);

// A JSON string literal, quotes included. Text that is not UTF-8 keeps each
// byte as the code point of the same value (Latin-1), so nothing is lost.
std::string JsonString(const std::string& bytes);

// A text as one field of a TAB-separated line: the backslash, TAB, CR and
// LF escaped; and back, from s[from, to). False for a broken escape.
void EscapeField(const std::string& s, std::string& out);
bool UnescapeField(const std::string& s, size_t from, size_t to, std::string& out);

// The host's name, or "localhost".
std::string HostName();

}  // namespace qv::records
