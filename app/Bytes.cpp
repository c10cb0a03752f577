#include "app/Bytes.h"

#include <QByteArray>

namespace qv {

namespace {

constexpr char16_t kByteBase = 0xDC00;

bool IsKeptByte(const QString& text, qsizetype i) {
  const char16_t c = text[i].unicode();
  // The low half of a surrogate pair is text.
  return c >= kByteBase + 0x80 && c <= kByteBase + 0xFF && (i == 0 || !text[i - 1].isHighSurrogate());
}

bool HasKeptBytes(const QString& text) {
  for (qsizetype i = 0; i < text.size(); ++i)
    if (IsKeptByte(text, i)) return true;
  return false;
}

}  // namespace

QString TextOfBytes(const std::string& bytes) {
  const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QString text = QString::fromLocal8Bit(raw);
  if (text.toLocal8Bit() == raw && !HasKeptBytes(text)) return text;
  // Not all text: ASCII stays readable, every other byte is kept as it is.
  QString kept;
  kept.reserve(static_cast<qsizetype>(bytes.size()));
  for (const char b : bytes) {
    const auto u = static_cast<unsigned char>(b);
    kept += u < 0x80 ? QChar(static_cast<char16_t>(u)) : QChar(static_cast<char16_t>(kByteBase + u));
  }
  return kept;
}

std::string BytesOfText(const QString& text) {
  std::string bytes;
  qsizetype run = 0;
  auto flush = [&](qsizetype end) {
    if (end > run) bytes += text.mid(run, end - run).toLocal8Bit().toStdString();
  };
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (!IsKeptByte(text, i)) continue;
    flush(i);
    bytes += static_cast<char>(text[i].unicode() - kByteBase);
    run = i + 1;
  }
  flush(text.size());
  return bytes;
}

}  // namespace qv
