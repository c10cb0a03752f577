// 8-bit strings and the window's text. File and port names are bytes; they
// are shown in the system's 8-bit encoding, and what is shown turns back
// into the same bytes. Bytes that are no text in that encoding (a Latin-1
// name on a UTF-8 system) are kept as lone low surrogates U+DC80..U+DCFF,
// one a byte, as other tools keep undecodable file names.
#pragma once

#include <QString>

#include <string>

namespace qv {

QString TextOfBytes(const std::string& bytes);
std::string BytesOfText(const QString& text);

}  // namespace qv
