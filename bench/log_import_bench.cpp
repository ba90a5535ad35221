// Speed of the server log import: 200,000 csvlog lines (reference/gen_csvlog.py)
// imported by the agent's own path (the server_log_import collector: reading
// the file, parsing the records, storing batches of 128 with the read position
// in one transaction each) and, in the same run against the same server, by
// the bare C reference (reference/ingest.c, "batch 128": one BEGIN; INSERT
// ...; UPDATE position; COMMIT per batch, the file parsed before its clock
// starts) into a table of the same shape. Prints rows/s of each and their
// ratio (target: the agent at 0.9x the reference or better), and what COPY of
// each batch ("ingest copybatch 128") reaches. Each is run twice, alternately;
// the better run counts.
//
// The server is the test fixture's throwaway cluster (made as user postgres
// when run as root, removed at exit). Usage: log_import_bench [LINES]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "db/db_connection_with_mutex.h"
#include "platform/log.h"
#include "support/pg_cluster.h"
#include "support/process.h"
#include "work/log_file_collector.h"

namespace fs = std::filesystem;

namespace {

std::string Bench(const std::string& sql) { return PgCluster::Get().Exec("bench", sql); }

[[noreturn]] void Die(const std::string& text) {
  std::fprintf(stderr, "log_import_bench: %s\n", text.c_str());
  std::exit(1);
}

// rows_per_s of one ingest run.
double RunIngest(const std::string& file, const char* mode) {
  ProcessResult r =
      RunProcess({INGEST_PATH, PgCluster::Get().ConnInfo("bench"), file, mode, "128"});
  if (r.exitCode != 0) Die(std::string("ingest ") + mode + ": " + r.output);
  const size_t at = r.output.find("rows_per_s=");
  if (at == std::string::npos) Die("ingest printed no rate: " + r.output);
  std::printf("  ingest %-9s %s", mode, r.output.c_str());
  return std::atof(r.output.c_str() + at + 11);
}

double CpuSelf() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds used so far by process `pid` (a server backend).
double CpuOf(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// rows/s of the agent's import of `dataDir`/log.
double RunAgent(const std::string& dataDir, long lines) {
  Bench("TRUNCATE varodata.server_logs");
  Bench(
      "UPDATE varo.log_configuration SET (last_read_filename, file_offset, last_read_device, "
      "last_read_inode) = ('', 0, 0, 0)");
  Bench("CHECKPOINT");
  PGconnPtr conn = PgCluster::Get().Connect("bench");
  if (!conn) Die("cannot connect");
  PGresultPtr utf8(PQexec(conn.get(), "SET client_encoding = 'UTF8'"));
  const int backend = PQbackendPID(conn.get());
  DBConnectionWithMutex central(std::make_unique<DBConnectionToPostgreSQL>(std::move(conn)));
  LogFileCollector collector(central, LogKind::kServer);
  std::string message;
  const double cpu0 = CpuSelf();
  const double backend0 = CpuOf(backend);
  const auto start = std::chrono::steady_clock::now();
  if (!collector.Run(dataDir + " 1 0", &message)) Die("agent import: " + message);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSelf() - cpu0;
  const double backendCpu = CpuOf(backend) - backend0;
  const std::string stored = Bench("SELECT count(*) FROM varodata.server_logs");
  if (std::atol(stored.c_str()) != lines) Die("agent import stored " + stored + " rows");
  std::printf(
      "  agent  batch     rows=%ld secs=%.3f rows_per_s=%.0f client_cpu_s=%.2f "
      "backend_cpu_s=%.2f (reading and parsing included)\n",
      lines, secs, lines / secs, cpu, backendCpu);
  return lines / secs;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 200000;
  SetLogLevel(LOG_WARNING);
  PgCluster& cluster = PgCluster::Get();
  cluster.Exec("postgres", "DROP DATABASE IF EXISTS bench");
  cluster.Exec("postgres", "CREATE DATABASE bench");

  // The reference's tables, and the agent's in the same shape: the columns of
  // csvlog, a position row.
  const std::string referenceDir = BENCH_REFERENCE_DIR;
  {
    std::stringstream schema;
    schema << std::ifstream(referenceDir + "/ingest_schema.sql").rdbuf();
    std::string sql = schema.str();
    if (sql.empty()) Die("cannot read ingest_schema.sql");
    // VACUUM cannot run in the one transaction of a multi-statement text.
    const size_t vacuum = sql.find("VACUUM ANALYZE;");
    if (vacuum != std::string::npos) sql.erase(vacuum);
    Bench(sql);
    Bench("VACUUM ANALYZE");
  }
  Bench(
      "CREATE SCHEMA varo; CREATE SCHEMA varodata; "
      "CREATE TABLE varodata.server_logs (LIKE csvlog); "
      "CREATE TABLE varo.log_configuration (server_id integer PRIMARY KEY, log_directory text, "
      "last_read_filename text NOT NULL DEFAULT '', file_offset bigint NOT NULL DEFAULT 0, "
      "last_read_device bigint NOT NULL DEFAULT 0, last_read_inode bigint NOT NULL DEFAULT 0); "
      "INSERT INTO varo.log_configuration (server_id, log_directory) VALUES (1, 'log')");

  char tmpl[] = "/tmp/varo-logbench-XXXXXX";
  if (!mkdtemp(tmpl)) Die("mkdtemp failed");
  const std::string dir = tmpl;
  const std::string generated = dir + "/generated.csv";
  ProcessResult gen =
      RunProcess({"python3", referenceDir + "/gen_csvlog.py", std::to_string(lines), generated});
  if (gen.exitCode != 0) Die("gen_csvlog.py: " + gen.output);
  // The ingest table starts with server_id; a server's own csvlog does not:
  // the agent reads the same lines without their leading "1,".
  fs::create_directories(dir + "/log");
  {
    std::ifstream in(generated, std::ios::binary);
    std::ofstream out(dir + "/log/postgresql.csv", std::ios::binary);
    std::string line;
    long count = 0;
    while (std::getline(in, line)) {
      if (line.compare(0, 2, "1,") != 0) Die("unexpected line: " + line);
      out << line.substr(2) << '\n';
      ++count;
    }
    if (count != lines) Die("the generated file has " + std::to_string(count) + " lines");
  }
  // The file is read by the agent as root; the cluster's user only needs the
  // position table.
  std::printf("log_import_bench: %ld csvlog lines, batches of 128, PostgreSQL at %s\n", lines,
              cluster.socketDir().c_str());

  double reference = 0;
  double agent = 0;
  for (int round = 0; round < 2; ++round) {
    reference = std::max(reference, RunIngest(generated, "batch"));
    agent = std::max(agent, RunAgent(dir, lines));
  }
  const double copy = RunIngest(generated, "copybatch");
  std::printf("reference (ingest batch 128):  %8.0f rows/s\n", reference);
  std::printf("agent (server_log_import):     %8.0f rows/s\n", agent);
  std::printf("ratio agent/reference:         %8.2fx (target 0.90x or better)\n",
              agent / reference);
  std::printf("ingest copybatch 128:          %8.0f rows/s (%.2fx the reference)\n", copy,
              copy / reference);
  fs::remove_all(dir);
  return 0;
}
