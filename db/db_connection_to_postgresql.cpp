#include "db/db_connection_to_postgresql.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "db/result_set_from_postgresql.h"
#include "db/result_set_with_fixed_error.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// Server notices (NOTICE, WARNING sent to the client) would otherwise go to
// stderr; keep them for the most verbose log level.
void NoticeToLog(void*, const char* message) {
  std::string text(message ? message : "");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  LogMessage(text, LOG_DEBUG2);
}

}  // namespace

DBConnectionToPostgreSQL::DBConnectionToPostgreSQL(PGconnPtr c) : conn(std::move(c)) {
  PQsetNoticeProcessor(conn.get(), NoticeToLog, nullptr);
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the socket of `conn` is ready for `events` or `deadline` passes.
// False on time-out (or a poll error other than an interrupt).
bool WaitForSocket(PGconn* conn, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fd{PQsocket(conn), events, 0};
    int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::unique_ptr<ResultSet> DBConnectionToPostgreSQL::ExecuteQueryWithin(
    const std::string& query, const std::vector<std::string>& params,
    std::chrono::milliseconds limit, bool* timedOut) {
  if (timedOut) *timedOut = false;
  PGconn* c = conn.get();
  if (PQstatus(c) != CONNECTION_OK) {
    return std::make_unique<ResultSetWithFixedError>(kLostConnectionText);
  }
  const Clock::time_point deadline = Clock::now() + limit;
  auto giveUp = [&]() -> std::unique_ptr<ResultSet> {
    // Non-blocking, so that closing never waits on a full send buffer.
    PQsetnonblocking(c, 1);
    conn.reset();
    if (timedOut) *timedOut = true;
    return std::make_unique<ResultSetWithFixedError>(StrFormat(
        _("the server did not answer within %d seconds; the connection was closed"),
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(limit).count())));
  };
  auto failure = [&]() -> std::unique_ptr<ResultSet> {
    return std::make_unique<ResultSetWithFixedError>(PQerrorMessage(c));
  };

  // Non-blocking while the statement goes out, so that sending cannot hang either.
  PQsetnonblocking(c, 1);
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  const int sent = params.empty()
                       ? PQsendQuery(c, query.c_str())
                       : PQsendQueryParams(c, query.c_str(), static_cast<int>(params.size()),
                                           nullptr, values.data(), nullptr, nullptr, 0);
  if (!sent) {
    PQsetnonblocking(c, 0);
    return failure();
  }
  for (;;) {
    int flushed = PQflush(c);
    if (flushed == 0) break;
    if (flushed < 0) {
      PQsetnonblocking(c, 0);
      return failure();
    }
    if (!WaitForSocket(c, POLLOUT | POLLIN, deadline)) return giveUp();
    if (!PQconsumeInput(c)) {
      PQsetnonblocking(c, 0);
      return failure();
    }
  }
  PQsetnonblocking(c, 0);

  // Collect every result, as PQexec does: the first error wins, else the last.
  PGresultPtr kept;
  for (;;) {
    while (PQisBusy(c)) {
      if (!WaitForSocket(c, POLLIN, deadline)) return giveUp();
      if (!PQconsumeInput(c)) return failure();
    }
    PGresultPtr next(PQgetResult(c));
    if (!next) break;
    const ExecStatusType status = PQresultStatus(next.get());
    const bool keptIsError = kept && (PQresultStatus(kept.get()) == PGRES_FATAL_ERROR ||
                                      PQresultStatus(kept.get()) == PGRES_BAD_RESPONSE);
    if (!keptIsError) kept = std::move(next);
    if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) break;
  }
  if (!kept) return std::make_unique<ResultSetWithFixedError>("PQexec(Params) returned NULL");
  return std::make_unique<ResultSetFromPostgreSQL>(std::move(kept));
}

std::unique_ptr<ResultSet> DBConnectionToPostgreSQL::ExecuteQuery(
    const std::string& query, const std::vector<std::string>& params) {
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    return std::make_unique<ResultSetWithFixedError>(kLostConnectionText);
  }
  PGresultPtr result;
  if (!params.empty()) {
    std::vector<const char*> values;
    values.reserve(params.size() + 1);
    for (const std::string& p : params) values.push_back(p.c_str());
    values.push_back(nullptr);
    result.reset(PQexecParams(conn.get(), query.c_str(), static_cast<int>(params.size()), nullptr,
                              values.data(), nullptr, nullptr, 0));
  } else {
    result.reset(PQexec(conn.get(), query.c_str()));
  }
  if (!result) return std::make_unique<ResultSetWithFixedError>("PQexec(Params) returned NULL");
  return std::make_unique<ResultSetFromPostgreSQL>(std::move(result));
}

std::string DBConnectionToPostgreSQL::EscapeLiteral(const std::string& value) {
  PGmemPtr quoted(PQescapeLiteral(conn.get(), value.data(), value.size()));
  return quoted ? std::string(quoted.get()) : std::string();
}

std::string DBConnectionToPostgreSQL::EscapeIdentifier(const std::string& name) {
  PGmemPtr quoted(PQescapeIdentifier(conn.get(), name.data(), name.size()));
  return quoted ? std::string(quoted.get()) : std::string();
}
