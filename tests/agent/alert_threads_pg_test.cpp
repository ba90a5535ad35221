// Alert threads inside the test process, against the test cluster's central
// database as agent 41. varo.process_one_alert() is replaced for the test by a
// function that records each call and answers true for the first five calls.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "agent/alert_thread.h"
#include "agent_test_support.h"
#include "platform/service_control.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"

using agent_test::CountOf;
using agent_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

class AlertThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PgCluster& cluster = PgCluster::Get();
    ASSERT_EQ(cluster.RunCentralDb({"--agent", "41"}), 0);
    agent_test::ConnectCentralAs(41);
    SetCentralConnection(nullptr);  // alert threads use connections of their own
    original_ = Exec("SELECT pg_get_functiondef('varo.process_one_alert()'::regprocedure)");
    ASSERT_FALSE(original_.empty());
    Exec("DROP TABLE IF EXISTS public.alert_calls");
    Exec(
        "CREATE TABLE public.alert_calls (n serial, pid int, at timestamptz default "
        "clock_timestamp(), answer boolean)");
    Exec(
        "CREATE OR REPLACE FUNCTION varo.process_one_alert() RETURNS boolean LANGUAGE plpgsql "
        "SECURITY DEFINER AS $$ DECLARE c int; BEGIN "
        // Serialise the calls so that two threads never both see four earlier
        // calls and both answer true.
        "PERFORM pg_advisory_xact_lock(4141); "
        "INSERT INTO public.alert_calls (pid, answer) SELECT pg_backend_pid(), "
        "(SELECT count(*) < 5 FROM public.alert_calls) RETURNING n INTO c; "
        "RETURN (SELECT answer FROM public.alert_calls WHERE n = c); END $$");
  }
  void TearDown() override {
    Exec(original_);
    Exec("DROP TABLE IF EXISTS public.alert_calls");
  }
  static std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }
  static int Calls() { return std::stoi(Exec("SELECT count(*) FROM public.alert_calls")); }

  SettingsGuard settings_;
  std::string original_;
};

TEST_F(AlertThreadTest, TwoThreadsWithTheirOwnConnections) {
  LogCapture capture;
  AlertThread* threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = StartDetachedThread(std::make_unique<AlertThread>(i + 1));
    ASSERT_NE(threads[i], nullptr);
  }

  // Five busy answers, then each thread gets a false and goes idle.
  ASSERT_TRUE(WaitUntil([] { return Calls() >= 7; }, 20s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Calls(), 7) << "an idle thread called again without its pause";
  // Each thread has its own backend, logged in as the agent.
  EXPECT_EQ(Exec("SELECT count(DISTINCT pid) FROM public.alert_calls"), "2");
  EXPECT_EQ(Exec("SELECT count(*) FROM pg_stat_activity WHERE pid IN (SELECT pid FROM "
                 "public.alert_calls) AND usename = 'agent41'"),
            "2");
  // A true answer is followed at once by the next call.
  EXPECT_EQ(Exec("SELECT max(at) - min(at) < interval '2 seconds' FROM public.alert_calls "
                 "WHERE n <= 6"),
            "t");

  // The next call of an idle thread comes after its 10-second pause.
  ASSERT_TRUE(WaitUntil([] { return Calls() >= 8; }, 20s));
  EXPECT_EQ(Exec("SELECT bool_and(gap >= interval '9.5 seconds') FROM (SELECT at - lag(at) OVER "
                 "(PARTITION BY pid ORDER BY n) AS gap, lag(answer) OVER (PARTITION BY pid ORDER "
                 "BY n) AS previous FROM public.alert_calls) g WHERE previous = false"),
            "t");

  // A dropped connection is made again: the thread reports the failure, waits
  // the poll interval and connects anew.
  std::string dropped = Exec("SELECT pid FROM public.alert_calls ORDER BY n DESC LIMIT 1");
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + dropped + ")");
  ASSERT_TRUE(WaitUntil(
      [] { return Exec("SELECT count(DISTINCT pid) FROM public.alert_calls") == "3"; }, 30s));

  for (AlertThread* thread : threads) thread->Delete();
  EXPECT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, 30s));
  std::string log = capture.Take();
  for (int index = 1; index <= 2; ++index) {
    const std::string tag = "Alerts[" + std::to_string(index) + "]: ";
    EXPECT_GE(CountOf(log, "DEBUG: " + tag + "Connecting to VARO database.\n"), 1) << log;
    EXPECT_GE(CountOf(log, "DEBUG: " + tag +
                               "process_one_alert() returned false, hence sleeping for a while.\n"),
              1)
        << log;
  }
  EXPECT_EQ(CountOf(log, "process_one_alert() returned true, hence calling it again.\n"), 5) << log;
  EXPECT_EQ(CountOf(log, "Error processing an alert: "), 1) << log;
  EXPECT_EQ(CountOf(log, "Connecting to VARO database.\n"), 3) << log;
}

// Holds a pause of the service (the run token) for its lifetime.
class PauseInForce {
 public:
  PauseInForce() : taken_(TakeRunToken(0)) {}
  ~PauseInForce() {
    if (taken_) ReleaseRunToken();
  }
  bool taken() const { return taken_; }

 private:
  bool taken_;
};

TEST_F(AlertThreadTest, AlertThreadsKeepWorkingWhileTheAgentIsPaused) {
  // A pause freezes the agent thread only: an alert thread still calls the
  // function, and after losing its connection it waits the poll interval,
  // connects again and goes on, all while the pause is in force.
  LogCapture capture;
  PauseInForce pause;
  ASSERT_TRUE(pause.taken());
  AlertThread* thread = StartDetachedThread(std::make_unique<AlertThread>(1));
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(WaitUntil([] { return Calls() >= 6; }, 20s));  // five busy answers, one idle

  std::string first = Exec("SELECT pid FROM public.alert_calls ORDER BY n DESC LIMIT 1");
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + first + ")");
  EXPECT_TRUE(WaitUntil(
      [] { return Exec("SELECT count(DISTINCT pid) FROM public.alert_calls") == "2"; }, 40s));
  EXPECT_FALSE(IsAgentBusy());  // no thread passed the agent's pause point

  thread->Delete();
  EXPECT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, 30s));
  std::string log = capture.Take();
  EXPECT_EQ(CountOf(log, "Alerts[1]: Error processing an alert: "), 1) << log;
  EXPECT_EQ(CountOf(log, "Alerts[1]: Connecting to VARO database.\n"), 2) << log;
}

}  // namespace
