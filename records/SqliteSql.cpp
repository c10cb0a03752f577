#include <sqlite3.h>

#include <unordered_map>

#include "records/Sql.h"

namespace qv::records {

namespace {

class TSqliteSql final : public TSql {
 public:
  TSqliteSql(sqlite3* db, bool owned) : FDb(db), FOwned(owned) {}
  ~TSqliteSql() override {
    Forget();
    if (FOwned) sqlite3_close_v2(FDb);
  }

  bool Run(const std::string& sql, const std::vector<TValue>& params, const TEachRow& each) override {
    sqlite3_stmt* s = Prepared(sql);
    if (s == nullptr) return false;
    for (size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i) + 1;
      const TValue& v = params[i];
      if (const auto* n = std::get_if<int64_t>(&v))
        sqlite3_bind_int64(s, at, *n);
      else if (const auto* d = std::get_if<double>(&v))
        sqlite3_bind_double(s, at, *d);
      else if (const auto* t = std::get_if<std::string>(&v))
        sqlite3_bind_text64(s, at, t->data(), t->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      else if (const auto* b = std::get_if<TBlob>(&v))
        sqlite3_bind_blob64(s, at, b->Bytes.data(), b->Bytes.size(), SQLITE_TRANSIENT);
      else
        sqlite3_bind_null(s, at);
    }
    int rc;
    TRow row;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      if (!each) continue;
      const int n = sqlite3_column_count(s);
      row.assign(static_cast<size_t>(n), TValue());
      for (int c = 0; c < n; ++c) row[static_cast<size_t>(c)] = Column(s, c);
      if (!each(row)) {
        rc = SQLITE_DONE;
        break;
      }
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok) Failed();
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return ok;
  }

  const std::string& Error() const override { return FError; }
  int Code() const override { return FCode; }
  int System() const override { return FSystem; }
  bool Postgres() const override { return false; }

  bool HasColumn(const std::string& table, const std::string& column) override {
    bool found = false;
    Run("SELECT 1 FROM pragma_table_info(?) WHERE name = ?", {table, column}, [&](const TRow&) {
      found = true;
      return false;
    });
    return found;
  }

 private:
  static TValue Column(sqlite3_stmt* s, int c) {
    switch (sqlite3_column_type(s, c)) {
      case SQLITE_INTEGER:
        return static_cast<int64_t>(sqlite3_column_int64(s, c));
      case SQLITE_FLOAT:
        return sqlite3_column_double(s, c);
      case SQLITE_TEXT: {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        return std::string(t, static_cast<size_t>(sqlite3_column_bytes(s, c)));
      }
      case SQLITE_BLOB: {
        const auto* b = static_cast<const char*>(sqlite3_column_blob(s, c));
        return TBlob{std::string(b, b == nullptr ? 0 : static_cast<size_t>(sqlite3_column_bytes(s, c)))};
      }
      default:
        return {};
    }
  }

  // Statements are kept prepared by their text; the batches of the upkeep
  // and the bulk writes make a few dozen different ones.
  sqlite3_stmt* Prepared(const std::string& sql) {
    if (auto it = FStatements.find(sql); it != FStatements.end()) return it->second;
    if (FStatements.size() >= 64) Forget();
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(FDb, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr) != SQLITE_OK) {
      Failed();
      sqlite3_finalize(s);
      return nullptr;
    }
    FStatements.emplace(sql, s);
    return s;
  }

  void Failed() {
    FError = sqlite3_errmsg(FDb);
    FCode = sqlite3_extended_errcode(FDb);
    FSystem = sqlite3_system_errno(FDb);
  }

  void Forget() {
    for (auto& [sql, s] : FStatements) sqlite3_finalize(s);
    FStatements.clear();
  }

  sqlite3* FDb;
  const bool FOwned;
  std::unordered_map<std::string, sqlite3_stmt*> FStatements;
  std::string FError;
  int FCode = 0, FSystem = 0;
};

}  // namespace

std::unique_ptr<TSql> SqliteSql(sqlite3* db, bool owned) {
  return std::make_unique<TSqliteSql>(db, owned);
}

}  // namespace qv::records
