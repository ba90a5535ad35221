// Jobs whose internal steps start, stop and restart a monitored server's
// service. No service manager runs here, so a stand-in `systemctl` put first
// on PATH drives a second, real throwaway cluster with pg_ctl: unit
// "varo-test-pg" is that cluster, "varo-test-app" a service that depends on it
// (running while its state file exists), "varo-test-off" a disabled dependent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "db/central_connection.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "work/internal_task.h"
#include "work/job_step.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1451;
constexpr int kPort = 5432;  // only names the socket in the private directory

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

std::vector<std::string> AsPostgres(std::vector<std::string> argv) {
  if (geteuid() != 0) return argv;
  argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
  return argv;
}

// The monitored cluster and the stand-in systemctl that controls it; the
// cluster is stopped and removed with the object.
class ServiceHost {
 public:
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

  std::string data() const { return dir_.str() + "/data"; }
  std::string socketDir() const { return dir_.str(); }
  std::string binDir() const { return dir_.str() + "/bin"; }
  std::string appState() const { return dir_.str() + "/app.active"; }

  bool Running() const {
    return RunProcess(AsPostgres({pgctl_, "status", "-D", data()})).exitCode == 0;
  }
  void Start() const {
    ProcessResult r = RunProcess(
        AsPostgres({pgctl_, "start", "-w", "-t", "60", "-D", data(), "-l", dir_.str() + "/log"}));
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }
  // The postmaster's start time, read over the socket; empty when it is down.
  std::string StartTime() const {
    ProcessResult r = RunProcess({PgCluster::Get().binDir() + "/psql", "-X", "-A", "-t", "-h",
                                  socketDir(), "-p", std::to_string(kPort), "-U", "postgres", "-d",
                                  "postgres", "-c", "SELECT pg_postmaster_start_time()"});
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
           << ShellQuote(dir_.str() + "/log")
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

class ServiceJobTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    central_test::BindServer(kServerId, host_.socketDir(), kPort, "postgres", "postgres");
    backendPid_ = central_test::ConnectCentral();
    ASSERT_FALSE(backendPid_.empty());
    Central("DELETE FROM varo.job");
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(180)));
    central_test::DisconnectCentral();
  }

  // A job of agent 12 with one step per (kind, code, on-error) in order.
  std::string AddJob(const std::vector<std::tuple<char, std::string, char>>& steps) {
    const std::string job = Central("INSERT INTO varo.job (agent_id) VALUES (" +
                                    std::to_string(central_test::kAgentId) + ") RETURNING jobid");
    int n = 0;
    for (const auto& [kind, code, onError] : steps) {
      Central(
          "INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, server_id, "
          "database_name, jstonerror) VALUES (" +
          job + ", 'step" + std::to_string(n++) + "', '" + std::string(1, kind) + "', $c$" + code +
          "$c$, " + std::to_string(kServerId) + ", 'postgres', '" + std::string(1, onError) + "')");
    }
    return job;
  }

  void Pass() {
    ASSERT_TRUE(RunJobStep(*GetCentralConnection(), central_test::kAgentId, backendPid_, 0));
    ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(180)));
  }

  std::string JobStatus(const std::string& job) {
    return Central("SELECT string_agg(jlgstatus, ',') FROM varo.joblog WHERE jlgjobid = " + job);
  }
  // "status result output" of each step of `job`, in step order.
  std::string StepLog(const std::string& job) {
    return Central(
        "SELECT string_agg(l.jslstatus || ' ' || coalesce(l.jslresult::text, '-') || ' ' || "
        "coalesce(l.jsloutput, '-'), ' | ' ORDER BY s.jstname) FROM varo.jobsteplog l JOIN "
        "varo.jobstep s ON s.jstid = l.jsljstid WHERE s.jstjobid = " +
        job);
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  ServiceHost host_;
  EnvGuard path_{"PATH", host_.binDir() + ":" + (getenv("PATH") ? getenv("PATH") : "")};
  std::string backendPid_;
};

TEST_F(ServiceJobTest, ARestartJobRestartsTheClusterAndALaterStepReachesIt) {
  host_.Start();
  const std::string before = host_.StartTime();
  ASSERT_FALSE(before.empty());
  const std::string job = AddJob({{'s', "CREATE TABLE before_restart (x int)", 'f'},
                                  {'i', "server_restart varo-test-pg", 'f'},
                                  {'s', "CREATE TABLE after_restart (x int)", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(job), "s");
  EXPECT_EQ(StepLog(job),
            "s 0 PGRES_COMMAND_OK | s 0 Successfully started the 'varo-test-pg' service. | s 0 "
            "PGRES_COMMAND_OK");
  const std::string after = host_.StartTime();
  ASSERT_FALSE(after.empty());
  EXPECT_NE(before, after);
  ProcessResult tables = RunProcess(
      {PgCluster::Get().binDir() + "/psql", "-X", "-A", "-t", "-h", host_.socketDir(), "-p",
       std::to_string(kPort), "-U", "postgres", "-d", "postgres", "-c",
       "SELECT count(*) FROM pg_tables WHERE tablename IN ('before_restart', 'after_restart')"});
  EXPECT_EQ(tables.output, "2\n");
}

TEST_F(ServiceJobTest, StopAndStartWithTheirDependents) {
  host_.Start();
  // A running dependent is stopped first; stopping a stopped server succeeds.
  std::ofstream(host_.appState()).close();
  const std::string stop =
      AddJob({{'i', "server_stop varo-test-pg", 'f'}, {'i', "server_stop varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(stop), "s");
  EXPECT_EQ(StepLog(stop),
            "s 0 Successfully stopped the 'varo-test-pg' service. | s 0 Successfully stopped the "
            "'varo-test-pg' service.");
  EXPECT_FALSE(host_.Running());
  EXPECT_FALSE(std::filesystem::exists(host_.appState()));

  // The start brings the enabled dependent up with it, not the disabled one.
  const std::string start = AddJob({{'i', "server_start varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(start), "s");
  EXPECT_EQ(StepLog(start), "s 0 Successfully started the 'varo-test-pg' service.");
  EXPECT_TRUE(host_.Running());
  EXPECT_TRUE(std::filesystem::exists(host_.appState()));

  // Starting it again: already running, a failed step that keeps its number.
  const std::string again = AddJob({{'i', "server_start varo-test-pg", 'i'},
                                    {'i', "server_start no-such-unit", 'f'},
                                    {'s', "SELECT 1", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(again), "f");
  EXPECT_EQ(StepLog(again),
            "i 1056 The 'varo-test-pg' service is already running. | f 1060 Failed to connect to "
            "the 'no-such-unit' service. Error: 1060");
}

TEST_F(ServiceJobTest, AStartWhoseDependentIsAlreadyRunningFails) {
  std::ofstream(host_.appState()).close();
  const std::string job = AddJob({{'i', "server_start varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(job), "f");
  EXPECT_EQ(StepLog(job),
            "f 1056 One or more dependent services didn't start; see the eventlog for details. "
            "Last error: 1056");
  EXPECT_TRUE(host_.Running());
}

}  // namespace
