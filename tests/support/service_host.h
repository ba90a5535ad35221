// A second throwaway PostgreSQL cluster that plays a monitored server run as a
// service, for the tests of jobs that start, stop, restart or reconfigure it:
// no service manager runs here, so a stand-in `systemctl` (in binDir(), to be
// put first on PATH) drives the cluster with pg_ctl. Unit "varo-test-pg" is
// the cluster, "varo-test-app" a service that depends on it (running while
// its state file exists), "varo-test-off" a disabled dependent. The cluster
// is stopped and removed with the object. The shared test cluster is never
// restarted under other tests; this one belongs to one test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/temp_dir.h"

class ServiceHost {
 public:
  // Only names the socket in the private directory.
  static constexpr int kPort = 5432;

  ServiceHost() {
    if (geteuid() == 0) {
      RunProcess({"chown", "postgres", dir_.str()});
    }
    pgctl_ = PgCluster::Get().binDir() + "/pg_ctl";
    ProcessResult init =
        RunProcess(AsPostgres({PgCluster::Get().binDir() + "/initdb", "-D", data(), "-A", "trust",
                               "-U", "postgres", "-E", "UTF8", "--no-sync"}));
    EXPECT_EQ(init.exitCode, 0) << init.output;
    std::ofstream(data() + "/postgresql.conf", std::ios::app)
        << "listen_addresses = ''\nport = " << kPort << "\nunix_socket_directories = '"
        << dir_.str() << "'\nfsync = off\n";
    WriteStandIn();
  }
  ~ServiceHost() {
    RunProcess(AsPostgres({pgctl_, "stop", "-w", "-t", "60", "-m", "immediate", "-D", data()}));
  }
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // `argv` run as the postgres user when the test runs as root.
  static std::vector<std::string> AsPostgres(std::vector<std::string> argv) {
    if (geteuid() != 0) return argv;
    argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
    return argv;
  }

  std::string data() const { return dir_.str() + "/data"; }
  std::string socketDir() const { return dir_.str(); }
  std::string binDir() const { return dir_.str() + "/bin"; }
  std::string appState() const { return dir_.str() + "/app.active"; }
  std::string logFile() const { return dir_.str() + "/log"; }

  bool Running() const {
    return RunProcess(AsPostgres({pgctl_, "status", "-D", data()})).exitCode == 0;
  }
  void Start() const {
    ProcessResult r =
        RunProcess(AsPostgres({pgctl_, "start", "-w", "-t", "60", "-D", data(), "-l", logFile()}));
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }
  // The unaligned, tuples-only output of `sql` run over the socket, and the exit code.
  ProcessResult Psql(const std::string& sql) const {
    return RunProcess({PgCluster::Get().binDir() + "/psql", "-X", "-A", "-t", "-h", socketDir(),
                       "-p", std::to_string(kPort), "-U", "postgres", "-d", "postgres", "-c", sql});
  }
  // The postmaster's start time, read over the socket; empty when it is down.
  std::string StartTime() const {
    ProcessResult r = Psql("SELECT pg_postmaster_start_time()");
    return r.exitCode == 0 ? r.output : "";
  }

 private:
  void WriteStandIn() {
    std::filesystem::create_directory(binDir());
    const std::string runAs = geteuid() == 0 ? "runuser -u postgres -- " : "";
    const std::string pgctl = runAs + ShellQuote(pgctl_);
    const std::string data = ShellQuote(this->data());
    const std::string path = binDir() + "/systemctl";
    std::ofstream script(path);
    script << "#!/bin/sh\n"
           << "cmd=$1; shift\n"
           << "while [ $# -gt 0 ] && [ \"$1\" != -- ]; do shift; done\n"
           << "[ \"$1\" = -- ] && shift\n"
           << "name=$1\n"
           << "case \"$name\" in *.*) ;; *) name=$name.service ;; esac\n"
           << "pg=varo-test-pg.service; app=varo-test-app.service; off=varo-test-off.service\n"
           << "state=" << ShellQuote(appState()) << "\n"
           << "running() { " << pgctl << " status -D " << data << " >/dev/null 2>&1; }\n"
           << "case \"$cmd:$name\" in\n"
           << "  show:$pg|show:$app) echo UnitFileState=enabled ;;\n"
           << "  show:$off) echo UnitFileState=disabled ;;\n"
           << "  show:*) echo UnitFileState= ;;\n"
           << "  is-active:$pg) if running; then echo active; else echo inactive; exit 3; fi ;;\n"
           << "  is-active:$app) if [ -e \"$state\" ]; then echo active; else echo inactive; "
              "exit 3; fi ;;\n"
           << "  is-active:*) echo inactive; exit 3 ;;\n"
           << "  start:$pg) running && exit 0; " << pgctl << " start -w -t 60 -D " << data << " -l "
           << ShellQuote(logFile())
           << " >/dev/null 2>&1 || { echo \"Job for $pg failed.\"; exit 1; } ;;\n"
           << "  stop:$pg) if [ -e \"$state\" ]; then echo \"$app depends on it\"; fi; "
              "running || exit 0; "
           << pgctl << " stop -w -t 60 -m fast -D " << data << " >/dev/null 2>&1 || exit 1 ;;\n"
           << "  start:$app) touch \"$state\" ;;\n"
           << "  stop:$app) rm -f \"$state\" ;;\n"
           << "  list-dependencies:$pg) printf '%s\\n' $pg $app $off multi-user.target ;;\n"
           << "  list-dependencies:*) echo \"$name\" ;;\n"
           << "  *) echo \"Failed to $cmd $name: Unit $name not found.\"; exit 5 ;;\n"
           << "esac\n";
    script.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  TempDir dir_{"varo-service-"};
  std::string pgctl_;
};
