// Spool rows checked into traps, the SNMPv1 mapping and the receiver address.
#include "notify/trap_row.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(TrapRow, ParseOid) {
  struct Case {
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"1.3.6.1.4.1.8072", true},
      {".1.3.6.1", true},
      {"0.0", true},
      {"2.999.1", true},
      {"1.39", true},
      {"1.3.4294967295", true},
      {"", false},
      {"1", false},
      {"1.40", false},
      {"3.1", false},
      {"1..3", false},
      {"1.3.", false},
      {"1.3.4294967296", false},
      {"1.3.-1", false},
      {"1.3.+1", false},
      {" 1.3", false},
      {"1.3 ", false},
      {"iso.3.6", false},
      {"sysUpTime.0", false},
      {"..1.3", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseOid(c.text).has_value(), c.valid) << c.text;
  }
  std::string longest = "1.3";
  for (int i = 2; i < 128; ++i) longest += ".1";
  EXPECT_TRUE(ParseOid(longest).has_value());
  EXPECT_FALSE(ParseOid(longest + ".1").has_value());
  EXPECT_EQ(FormatOid(*ParseOid(".1.3.6.1")), "1.3.6.1");
}

TEST(TrapRow, ValidateRows) {
  struct Case {
    TrapRow row;
    std::string error;  // empty: valid
    size_t bindings;
  };
  const std::string trap = "1.3.6.1.4.1.8072.9999.9999.1";
  const std::string ent = "1.3.6.1.4.1.8072.9999.9999";
  const std::vector<Case> cases = {
      {{trap, ent, "2", trap + ".1|" + trap + ".2", "warning|disk full"}, "", 2},
      {{trap, ent, "1", trap + ".1", "x"}, "", 1},
      {{trap, "", "2", "", ""}, "", 0},
      {{trap, ent, "2", trap + ".1|" + trap + ".2", "a||b"},
       "The trap has 2 binding OIDs but 3 values",
       0},
      {{trap, ent, "2", trap + ".1|" + trap + ".2", "only one"},
       "The trap has 2 binding OIDs but 1 values",
       0},
      {{trap, ent, "2", "", "stray"}, "The trap has 0 binding OIDs but 1 values", 0},
      {{trap, ent, "2", trap + ".1|", "a|"}, "Invalid Oid ", 0},
      {{trap, ent, "2", trap + ".1", ""}, "", 1},  // one empty value
      {{"not.an.oid", ent, "2", "", ""}, "Invalid Oid not.an.oid", 0},
      {{trap, "1.3.x", "2", "", ""}, "Invalid Oid 1.3.x", 0},
      {{trap, ent, "3", "", ""}, "Invalid trap version 3 (1 or 2 expected)", 0},
      {{trap, ent, "0", "", ""}, "Invalid trap version 0 (1 or 2 expected)", 0},
      {{trap, ent, "", "", ""}, "Invalid trap version  (1 or 2 expected)", 0},
      {{trap, ent, "2x", "", ""}, "Invalid trap version 2x (1 or 2 expected)", 0},
      {{"1.3.6.1.4.1.2147483648", ent, "1", "", ""},
       "Trap Oid 1.3.6.1.4.1.2147483648 cannot be sent as an SNMPv1 trap",
       0},
      {{"1.3.6.1.4.1.2147483648", ent, "2", "", ""}, "", 0},
  };
  for (const Case& c : cases) {
    TrapRequest request;
    const std::string error = ValidateTrapRow(c.row, &request);
    const std::string where = c.row.trapOid + " v" + c.row.trapVersion + " [" + c.row.bindingOids +
                              "] [" + c.row.bindingValues + "]";
    EXPECT_EQ(error, c.error) << where;
    if (error.empty()) {
      EXPECT_EQ(request.bindings.size(), c.bindings) << where;
      EXPECT_EQ(request.version, c.row.trapVersion == "1" ? 1 : 2);
    }
  }
  TrapRequest request;
  ASSERT_EQ(ValidateTrapRow({trap, ent, "2", trap + ".1|" + trap + ".2", "w|d"}, &request), "");
  EXPECT_EQ(FormatOid(request.bindings[1].oid), trap + ".2");
  EXPECT_EQ(request.bindings[1].value, "d");
  EXPECT_EQ(FormatOid(request.enterpriseOid), ent);
}

TEST(TrapRow, Version1Mapping) {
  struct Case {
    std::string trapOid;
    std::string enterprise;
    std::string expectedEnterprise;
    int generic;
    int specific;
  };
  const std::vector<Case> cases = {
      // Enterprise-specific: the trap OID without its last arc, and without a 0 before it.
      {"1.3.6.1.4.1.8072.9999.9999.1", "", "1.3.6.1.4.1.8072.9999.9999", 6, 1},
      {"1.3.6.1.4.1.8072.9999.9999.1", "1.3.6.1.4.1.1", "1.3.6.1.4.1.8072.9999.9999", 6, 1},
      {"1.3.6.1.4.1.8072.0.17", "", "1.3.6.1.4.1.8072", 6, 17},
      // The standard traps of snmpTraps.
      {"1.3.6.1.6.3.1.1.5.1", "", "1.3.6.1.6.3.1.1.5", 0, 0},
      {"1.3.6.1.6.3.1.1.5.3", "1.3.6.1.4.1.8072", "1.3.6.1.4.1.8072", 2, 0},
      {"1.3.6.1.6.3.1.1.5.6", "", "1.3.6.1.6.3.1.1.5", 5, 0},
      {"1.3.6.1.6.3.1.1.5.7", "", "1.3.6.1.6.3.1.1.5", 6, 7},
  };
  for (const Case& c : cases) {
    TrapRequest request;
    request.trapOid = *ParseOid(c.trapOid);
    if (!c.enterprise.empty()) request.enterpriseOid = *ParseOid(c.enterprise);
    const std::optional<Version1Trap> v1 = MapToVersion1(request);
    ASSERT_TRUE(v1.has_value()) << c.trapOid;
    EXPECT_EQ(FormatOid(v1->enterprise), c.expectedEnterprise) << c.trapOid;
    EXPECT_EQ(v1->genericTrap, c.generic) << c.trapOid;
    EXPECT_EQ(v1->specificTrap, c.specific) << c.trapOid;
  }
  TrapRequest tooShort;
  tooShort.trapOid = *ParseOid("1.0.5");
  EXPECT_FALSE(MapToVersion1(tooShort).has_value());
}

TEST(TrapRow, ReceiverAddress) {
  struct Case {
    std::string server;
    std::string port;
    std::string address;  // empty: error
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "162", "udp:127.0.0.1:162"},
      {"traps.example.org", "1162", "udp:traps.example.org:1162"},
      {"::1", "162", "udp6:[::1]:162"},
      {"", "162", ""},
      {"tcp:evil", "162", ""},
      {"a b", "162", ""},
      {"host", "", ""},
      {"host", "0", ""},
      {"host", "70000", ""},
      {"host", "16x", ""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(TrapReceiverAddress(c.server, c.port, &error), c.address)
        << c.server << ":" << c.port;
    EXPECT_EQ(error.empty(), !c.address.empty()) << error;
  }
  std::string error;
  TrapReceiverAddress("tcp:evil", "162", &error);
  EXPECT_EQ(error, "Invalid Address or DNS Name tcp:evil");
}

}  // namespace
