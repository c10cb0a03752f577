#include "tests/records/PgServer.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace qv::test {

namespace fs = std::filesystem;

namespace {

// The newest server installed: /usr/lib/postgresql/<version>/bin.
std::string ServerBin() {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec))
    if (fs::exists(entry.path() / "bin" / "initdb")) found.push_back(entry.path() / "bin");
  std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
    return std::stoi(a.parent_path().filename().string()) < std::stoi(b.parent_path().filename().string());
  });
  return found.empty() ? std::string() : found.back().string();
}

}  // namespace

TPgServer::TPgServer() : TPgServer(std::string()) {}

TPgServer::TPgServer(const std::string& keep) {
  FBin = ServerBin();
  if (FBin.empty()) {
    FProblem = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)";
    return;
  }
  if (!keep.empty()) {
    FKept = true;
    FDir = fs::absolute(keep).string();
    std::error_code ec;
    fs::create_directories(FDir, ec);
    if (fs::exists(FDir + "/data/PG_VERSION")) {
      if (!Start()) FProblem = "the kept server did not start (see " + FDir + "/server.log)";
      return;
    }
  } else {
    std::string pattern = (fs::temp_directory_path() / "qvpg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      FProblem = "cannot create a folder for the server";
      return;
    }
    FDir = pattern;
  }
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || ::chown(FDir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      FProblem = "running as root, and the folder cannot be given to nobody";
      return;
    }
  }
  if (!Run({FBin + "/initdb", "-D", FDir + "/data", "-U", "qv", "--auth=trust", "-E", "UTF8", "--no-sync"})) {
    FProblem = "initdb failed (see " + FDir + "/server.log)";
    return;
  }
  if (!Start()) FProblem = "the server did not start (see " + FDir + "/server.log)";
}

TPgServer::~TPgServer() {
  Stop();
  std::error_code ec;
  if (!FDir.empty() && !FKept) fs::remove_all(FDir, ec);
}

bool TPgServer::Run(const std::vector<std::string>& argv) const {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int log = ::open((FDir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (log >= 0) (void)!::fchown(log, nobody->pw_uid, nobody->pw_gid);
      if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) _exit(126);
    }
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    if (::chdir(FDir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool TPgServer::Start() {
  if (FRunning) return true;
  FRunning = Run({FBin + "/pg_ctl", "-D", FDir + "/data", "-l", FDir + "/server.log", "-w", "-o",
                  "-k " + FDir + " -c listen_addresses= -c fsync=off", "start"});
  return FRunning;
}

bool TPgServer::Stop() {
  if (!FRunning) return true;
  FRunning = !Run({FBin + "/pg_ctl", "-D", FDir + "/data", "-m", "fast", "-w", "stop"});
  return !FRunning;
}

std::string TPgServer::Conninfo() const {
  return "host=" + FDir + " port=5432 user=qv dbname=postgres";
}

std::string TPgServer::Query(const std::string& sql) const {
  PGconn* conn = PQconnectdb(Conninfo().c_str());
  std::string value;
  if (PQstatus(conn) != CONNECTION_OK) {
    value = std::string("error: ") + PQerrorMessage(conn);
  } else {
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK)
      value = PQntuples(result) > 0 && !PQgetisnull(result, 0, 0) ? PQgetvalue(result, 0, 0) : "NULL";
    else if (status != PGRES_COMMAND_OK)
      value = std::string("error: ") + PQerrorMessage(conn);
    PQclear(result);
  }
  PQfinish(conn);
  return value;
}

}  // namespace qv::test
