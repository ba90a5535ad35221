#include "support/pg_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/process.h"

namespace fs = std::filesystem;

namespace {

bool RunningAsRoot() { return geteuid() == 0; }

// Commands that touch the data directory run as the postgres user when the
// tests run as root, because the server refuses to run as root.
std::vector<std::string> AsPostgres(std::vector<std::string> argv) {
  if (!RunningAsRoot()) return argv;
  std::vector<std::string> wrapped = {"runuser", "-u", "postgres", "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

std::string FindBinDir() {
  if (const char* env = std::getenv("VARO_PG_BINDIR")) return env;
  std::string best;
  int bestVersion = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion && fs::exists(entry.path() / "bin" / "initdb")) {
      bestVersion = version;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

void Chown(const std::string& path) {
  if (!RunningAsRoot()) return;
  if (passwd* pw = getpwnam("postgres")) {
    if (chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) std::perror("chown");
  }
}

PgCluster* g_cluster = nullptr;

void StopAtExit() {
  if (g_cluster) g_cluster->Shutdown();
}

}  // namespace

void PgCluster::Shutdown() {
  // Closing the pipe tells the guard to stop the server and remove the files;
  // wait for it so nothing is left running when the test process ends.
  if (guardPipe_ < 0) return;
  close(guardPipe_);
  guardPipe_ = -1;
  int status;
  while (waitpid(guardPid_, &status, 0) < 0 && errno == EINTR) {
  }
}

PgCluster& PgCluster::Get() {
  static PgCluster* cluster = [] {
    auto* c = new PgCluster();
    std::string error;
    if (!c->Create(&error)) {
      std::fprintf(stderr, "cannot create the test PostgreSQL cluster: %s\n", error.c_str());
      std::fflush(stderr);
      g_cluster = c;
      StopAtExit();
      std::_Exit(1);
    }
    g_cluster = c;
    std::atexit(StopAtExit);
    return c;
  }();
  return *cluster;
}

std::unique_ptr<PgCluster> PgCluster::MakeWith(const std::vector<std::string>& settings,
                                               std::string* error) {
  std::unique_ptr<PgCluster> cluster(new PgCluster());
  cluster->settings_ = settings;
  if (!cluster->Create(error)) return nullptr;
  return cluster;
}

bool PgCluster::Create(std::string* error) {
  bin_ = FindBinDir();
  if (bin_.empty()) {
    *error = "no PostgreSQL server installation under /usr/lib/postgresql";
    return false;
  }
  char tmpl[] = "/tmp/varo-pg-XXXXXX";
  if (!mkdtemp(tmpl)) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  base_ = tmpl;
  data_ = base_ + "/data";
  log_ = base_ + "/server.log";
  Chown(base_);

  // The guard: a shell that waits for the pipe to close (this process ending in
  // any way), then stops the server and removes its directory.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::string stop = "cat >/dev/null; ";
  std::string pgctl = ShellQuote(bin_ + "/pg_ctl") + " stop -m immediate -D " + ShellQuote(data_);
  if (RunningAsRoot()) pgctl = "runuser -u postgres -- " + pgctl;
  stop += "[ -f " + ShellQuote(data_ + "/postmaster.pid") + " ] && " + pgctl +
          " >/dev/null 2>&1; rm -rf " + ShellQuote(base_);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    setsid();  // a Ctrl-C in the terminal must not kill the guard before it cleans up
    execl("/bin/sh", "sh", "-c", stop.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  guardPipe_ = fds[1];
  guardPid_ = pid;

  ProcessResult init =
      RunProcess(AsPostgres({bin_ + "/initdb", "-D", data_, "-A", "trust", "-U", "postgres", "-E",
                             "UTF8", "--locale=C.UTF-8", "--no-sync", "--no-instructions"}));
  if (init.exitCode != 0) {
    *error = "initdb failed: " + init.output;
    return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    {
      std::ofstream conf(data_ + "/postgresql.auto.conf", std::ios::trunc);
      conf << "port = " << port_ << "\n"
           << "listen_addresses = '127.0.0.1'\n"
           << "unix_socket_directories = '" << base_ << "'\n"
           << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
           << "max_connections = 200\n"
           << "log_line_prefix = '%m [%p] '\n";
      for (const std::string& line : settings_) conf << line << "\n";
    }
    Chown(data_ + "/postgresql.auto.conf");
    ProcessResult start = RunProcess(
        AsPostgres({bin_ + "/pg_ctl", "start", "-w", "-t", "60", "-D", data_, "-l", log_}));
    if (start.exitCode == 0) {
      Exec("postgres", "CREATE DATABASE monitored");
      std::string out;
      if (fs::exists(std::string(VARO_SOURCE_DIR) + "/scripts/central-db") &&
          RunCentralDb({}, &out) != 0) {
        *error = "loading the central schema failed: " + out;
        return false;
      }
      return true;
    }
    *error = "pg_ctl start failed: " + start.output;
  }
  return false;
}

std::string PgCluster::ConnInfo(const std::string& db, const std::string& user) const {
  return "host=" + base_ + " port=" + std::to_string(port_) + " dbname=" + db + " user=" + user;
}

PGconnPtr PgCluster::Connect(const std::string& db, const std::string& user,
                             std::string* error) const {
  PGconnPtr conn(PQconnectdb(ConnInfo(db, user).c_str()));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    if (error) *error = conn ? PQerrorMessage(conn.get()) : "out of memory";
    return nullptr;
  }
  return conn;
}

std::unique_ptr<DBConnectionToPostgreSQL> PgCluster::ConnectDB(const std::string& db,
                                                               const std::string& user) const {
  std::string error;
  PGconnPtr conn = Connect(db, user, &error);
  if (!conn) {
    ADD_FAILURE() << "connect to " << db << " as " << user << ": " << error;
    return nullptr;
  }
  return std::make_unique<DBConnectionToPostgreSQL>(std::move(conn));
}

std::string PgCluster::Exec(const std::string& db, const std::string& sql) const {
  std::string error;
  PGconnPtr conn = Connect(db, "postgres", &error);
  if (!conn) {
    ADD_FAILURE() << "connect to " << db << ": " << error;
    return std::string();
  }
  PGresultPtr res(PQexec(conn.get(), sql.c_str()));
  ExecStatusType status = PQresultStatus(res.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    ADD_FAILURE() << "statement failed: " << sql << "\n" << PQresultErrorMessage(res.get());
    return std::string();
  }
  if (PQntuples(res.get()) > 0 && PQnfields(res.get()) > 0) return PQgetvalue(res.get(), 0, 0);
  return std::string();
}

std::vector<std::string> PgCluster::LibpqEnv() const {
  return {"PGHOST=" + base_, "PGPORT=" + std::to_string(port_), "PGUSER=postgres",
          "PGDATABASE=postgres"};
}

int PgCluster::RunCentralDb(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> argv = {std::string(VARO_SOURCE_DIR) + "/scripts/central-db"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = LibpqEnv();
  env.push_back(std::string("VARO_PASSWD=") + VARO_BINARY_DIR + "/varo-passwd");
  ProcessResult r = RunProcess(argv, env);
  if (output) *output = r.output;
  return r.exitCode;
}

std::string PgCluster::PgCtl(const std::string& action) const {
  ProcessResult r = RunProcess(AsPostgres(
      {bin_ + "/pg_ctl", action, "-w", "-t", "60", "-m", "fast", "-D", data_, "-l", log_}));
  if (r.exitCode != 0) ADD_FAILURE() << "pg_ctl " << action << ": " << r.output;
  return r.output;
}

void PgCluster::AddConf(const std::string& line) const {
  std::ofstream(data_ + "/postgresql.auto.conf", std::ios::app) << line << "\n";
  Reload();
}

void PgCluster::AddHbaLineFirst(const std::string& line) const {
  std::string path = data_ + "/pg_hba.conf";
  std::stringstream old;
  old << std::ifstream(path).rdbuf();
  std::ofstream(path, std::ios::trunc) << line << "\n" << old.str();
  Reload();
}

void PgCluster::Reload() const {
  ProcessResult r = RunProcess(AsPostgres({bin_ + "/pg_ctl", "reload", "-D", data_}));
  if (r.exitCode != 0) ADD_FAILURE() << "pg_ctl reload: " << r.output;
  usleep(300 * 1000);  // the postmaster applies a reload asynchronously
}

void PgCluster::Stop() const {
  RunProcess(AsPostgres({bin_ + "/pg_ctl", "stop", "-w", "-t", "60", "-m", "fast", "-D", data_}));
}

void PgCluster::Start() const { PgCtl("start"); }
