// Owning handles for libpq objects, so that every PGconn and PGresult is freed
// exactly once from the line that creates it.
#pragma once

#include <libpq-fe.h>

#include <memory>

struct PGconnDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct PGresultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
struct PGmemDeleter {
  void operator()(char* text) const { PQfreemem(text); }
};

using PGconnPtr = std::unique_ptr<PGconn, PGconnDeleter>;
using PGresultPtr = std::unique_ptr<PGresult, PGresultDeleter>;
using PGmemPtr = std::unique_ptr<char, PGmemDeleter>;
