// The pure parts of the data and log directory probe: which pg_tblspc entry
// names may be looked up as tablespaces, and the WAL directory's name by
// server version.
#include "probes/ipt_data_log_analysis.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(TablespaceOidOfEntry, OnlyDigitsThatFitAnOidAreLookedUp) {
  struct Case {
    std::string name;
    std::optional<uint32_t> oid;
  };
  const Case cases[] = {
      {"16384", 16384u},
      {"4294967295", 4294967295u},
      {"0", 0u},
      {"4294967296", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"1;DROP DATABASE x", std::nullopt},
      {"16384 OR true", std::nullopt},
      {"+16384", std::nullopt},
      {"-1", std::nullopt},
      {" 16384", std::nullopt},
      {"16384\n", std::nullopt},
      {"0x4000", std::nullopt},
      {"1e3", std::nullopt},
      {"\xD9\xA1\xD9\xA2", std::nullopt},  // Arabic-Indic digits
      {std::string("16384\0x", 7), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TablespaceOidOfEntry(c.name), c.oid) << "name: " << c.name;
  }
}

TEST(WalDirectoryName, PgWalFromVersion10On) {
  EXPECT_STREQ(WalDirectoryName(90624), "pg_xlog");
  EXPECT_STREQ(WalDirectoryName(99999), "pg_xlog");
  EXPECT_STREQ(WalDirectoryName(100000), "pg_wal");
  EXPECT_STREQ(WalDirectoryName(170002), "pg_wal");
}

}  // namespace
