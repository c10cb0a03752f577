#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "records/Sql.h"
#include "records/Text.h"

namespace qv::records {

namespace {

// The server takes UTF-8 text without NUL bytes only: bytes that are not
// UTF-8 (a message of 8-bit names) are taken as Latin-1, so that none is
// lost.
std::string Utf8(const std::string& s) {
  std::string out = Utf8Text(s);
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  return out;
}

// ? to $1, $2, ...
std::string Numbered(const std::string& sql) {
  std::string out;
  int n = 0;
  bool quoted = false;
  for (char c : sql) {
    if (c == '\'') quoted = !quoted;
    if (c == '?' && !quoted)
      out += "$" + std::to_string(++n);
    else
      out += c;
  }
  return out;
}

int Hex(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}

// The server's types by their fixed OIDs (pg_type.dat).
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kNumeric = 1700
};

TValue Value(const PGresult* r, int row, int col) {
  if (PQgetisnull(r, row, col)) return {};
  const char* text = PQgetvalue(r, row, col);
  const auto length = static_cast<size_t>(PQgetlength(r, row, col));
  switch (PQftype(r, col)) {
    case kBool:
      return static_cast<int64_t>(text[0] == 't');
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      return static_cast<int64_t>(std::strtoll(text, nullptr, 10));
    case kFloat4:
    case kFloat8:
    case kNumeric:
      return std::strtod(text, nullptr);
    case kBytea: {
      // The hex form, "\x" and two digits a byte.
      TBlob blob;
      if (length < 2 || text[0] != '\\' || text[1] != 'x') return blob;
      blob.Bytes.reserve((length - 2) / 2);
      for (size_t i = 2; i + 1 < length; i += 2) blob.Bytes += static_cast<char>(Hex(text[i]) << 4 | Hex(text[i + 1]));
      return blob;
    }
    default:
      return std::string(text, length);
  }
}

class TPostgresSql final : public TSql {
 public:
  TPostgresSql(PGconn* conn, bool owned) : FConn(conn), FOwned(owned) {}
  ~TPostgresSql() override {
    if (FOwned) PQfinish(FConn);
  }

  bool Run(const std::string& sql, const std::vector<TValue>& params, const TEachRow& each) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0), formats(params.size(), 0);
    for (size_t i = 0; i < params.size(); ++i) {
      const TValue& v = params[i];
      if (const auto* n = std::get_if<int64_t>(&v)) {
        texts[i] = std::to_string(*n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", *d);
        texts[i] = text;
      } else if (const auto* t = std::get_if<std::string>(&v)) {
        texts[i] = Utf8(*t);
      } else if (const auto* b = std::get_if<TBlob>(&v)) {
        values[i] = b->Bytes.data();
        lengths[i] = static_cast<int>(b->Bytes.size());
        formats[i] = 1;
        continue;
      } else {
        continue;
      }
      values[i] = texts[i].c_str();
    }
    if (!PQsendQueryParams(FConn, Numbered(sql).c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                           lengths.data(), formats.data(), 0)) {
      FState.clear();
      FError = PostgresLine(PQerrorMessage(FConn));
      return false;
    }
    // Row by row: a streamed export holds one row at a time, not the result.
    PQsetSingleRowMode(FConn);
    bool ok = true, stopped = false;
    TRow row;
    while (PGresult* r = PQgetResult(FConn)) {
      const ExecStatusType status = PQresultStatus(r);
      if (status == PGRES_SINGLE_TUPLE && each && !stopped) {
        const int n = PQnfields(r);
        row.assign(static_cast<size_t>(n), TValue());
        for (int c = 0; c < n; ++c) row[static_cast<size_t>(c)] = Value(r, 0, c);
        if (!each(row)) {
          stopped = true;
          // The rest is not wanted: the server stops sending it.
          if (PGcancel* cancel = PQgetCancel(FConn)) {
            char buf[256];
            PQcancel(cancel, buf, sizeof buf);
            PQfreeCancel(cancel);
          }
        }
      } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && ok &&
                 !stopped) {
        ok = false;
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        FState = state != nullptr ? state : "";
        FError = PostgresLine(PQresultErrorMessage(r));
      }
      PQclear(r);
    }
    return ok;
  }

  const std::string& Error() const override { return FError; }
  std::string State() const override { return FState; }
  bool Postgres() const override { return true; }

  bool HasColumn(const std::string& table, const std::string& column) override {
    bool found = false;
    Run("SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema() AND table_name = ? AND "
        "column_name = ?",
        {table, column}, [&](const TRow&) {
          found = true;
          return true;
        });
    return found;
  }

 private:
  PGconn* FConn;
  const bool FOwned;
  std::string FError, FState;
};

}  // namespace

std::string PostgresLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::unique_ptr<TSql> PostgresSql(pg_conn* conn, bool owned) {
  return std::make_unique<TPostgresSql>(conn, owned);
}

}  // namespace qv::records
