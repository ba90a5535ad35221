// The WQL parser, fed a table of query texts: the host probes' own queries,
// quoting and escapes, keyword case, and malformed texts with their messages.
#include "db/wql_parser.h"

#include <gtest/gtest.h>

namespace {

std::string Describe(const WqlQuery& q) {
  std::string out;
  if (q.kind == WqlQuery::Kind::kSelect) {
    out = "select ";
    if (q.allProperties) out += "*";
    for (size_t i = 0; i < q.properties.size(); ++i) out += (i ? "," : "") + q.properties[i];
    out += " from " + q.className;
    static const char* kOps[] = {"=", "!=", "<", ">", "<=", ">="};
    for (const WqlCondition& c : q.conditions) {
      out += " [" + c.property + kOps[static_cast<int>(c.op)] + "<" + c.literal + ">]";
    }
  } else {
    out = "assoc " + q.objectClass + "." + q.objectKey + "=<" + q.objectValue + ">";
    if (!q.assocClass.empty()) out += " assoc=" + q.assocClass;
    if (!q.resultClass.empty()) out += " result=" + q.resultClass;
  }
  return out;
}

TEST(ParseWql, AcceptedQueries) {
  struct Case {
    const char* text;
    const char* parsed;
  };
  const Case cases[] = {
      {"SELECT DeviceID FROM Win32_DiskDrive", "select DeviceID from Win32_DiskDrive"},
      {"SELECT DeviceID, BytesPerSector FROM Win32_DiskDrive",
       "select DeviceID,BytesPerSector from Win32_DiskDrive"},
      {"ASSOCIATORS OF {Win32_DiskDrive.DeviceID='/dev/sda'} WHERE AssocClass = "
       "Win32_DiskDriveToDiskPartition",
       "assoc Win32_DiskDrive.DeviceID=</dev/sda> assoc=Win32_DiskDriveToDiskPartition"},
      {"ASSOCIATORS OF {Win32_DiskPartition.DeviceID='/dev/sda1'} WHERE AssocClass = "
       "Win32_LogicalDiskToPartition",
       "assoc Win32_DiskPartition.DeviceID=</dev/sda1> assoc=Win32_LogicalDiskToPartition"},
      {"SELECT TotalPhysicalMemory FROM Win32_ComputerSystem",
       "select TotalPhysicalMemory from Win32_ComputerSystem"},
      {"SELECT FreePhysicalMemory, FreeVirtualMemory, TotalVirtualMemorySize, "
       "FreeSpaceInPagingFiles, SizeStoredInPagingFiles FROM Win32_OperatingSystem",
       "select FreePhysicalMemory,FreeVirtualMemory,TotalVirtualMemorySize,"
       "FreeSpaceInPagingFiles,SizeStoredInPagingFiles from Win32_OperatingSystem"},
      {"SELECT * FROM Win32_PerfRawData_PerfOS_Processor WHERE Name != '_Total' ",
       "select * from Win32_PerfRawData_PerfOS_Processor [Name!=<_Total>]"},
      {"SELECT * FROM Win32_Process", "select * from Win32_Process"},
      {"SELECT Caption, OtherTypeDescription, OSArchitecture, CSDVersion, Version, "
       "LastBootUpTime FROM Win32_OperatingSystem",
       "select Caption,OtherTypeDescription,OSArchitecture,CSDVersion,Version,LastBootUpTime "
       "from Win32_OperatingSystem"},
      {"SELECT Caption, Name, Description, PercentIdleTime FROM "
       "Win32_PerfFormattedData_PerfDisk_PhysicalDisk",
       "select Caption,Name,Description,PercentIdleTime from "
       "Win32_PerfFormattedData_PerfDisk_PhysicalDisk"},
      // Keywords in any case, no blanks where none are needed, every operator.
      {"select*from x", "select * from x"},
      {"\t SeLeCt a ,b\nFROM c WhErE a<>'1' and b<='2' AND a>='3' AND b<'4' AND a>'5' AND b='6'",
       "select a,b from c [a!=<1>] [b<=<2>] [a>=<3>] [b<<4>] [a><5>] [b=<6>]"},
      // Quotes: doubled, backslash-escaped, the other quote kind, a lone backslash.
      {"SELECT a FROM c WHERE a = 'it''s'", "select a from c [a=<it's>]"},
      {"SELECT a FROM c WHERE a = 'it\\'s \\\\ x'", "select a from c [a=<it's \\ x>]"},
      {"SELECT a FROM c WHERE a = \"say \"\"hi\"\" 'x'\"", "select a from c [a=<say \"hi\" 'x'>]"},
      {"SELECT a FROM c WHERE a = '\\\\.\\PHYSICALDRIVE0'",
       "select a from c [a=<\\.\\PHYSICALDRIVE0>]"},
      {"SELECT a FROM c WHERE a = ''", "select a from c [a=<>]"},
      // Bare numbers and booleans.
      {"SELECT a FROM c WHERE a = 42 AND b > -1.5 AND d = TRUE AND e = false",
       "select a from c [a=<42>] [b><-1.5>] [d=<True>] [e=<False>]"},
      {"SELECT FromX FROM Selected", "select FromX from Selected"},
      {"associators of {A.K=\"v\"}", "assoc A.K=<v>"},
      {"ASSOCIATORS OF { A . K = 'v' } WHERE ResultClass = R AssocClass = S",
       "assoc A.K=<v> assoc=S result=R"},
  };
  for (const Case& c : cases) {
    WqlParseResult r = ParseWql(c.text);
    EXPECT_TRUE(r.status.ok()) << c.text << ": " << r.status.detail;
    EXPECT_EQ(Describe(r.query), c.parsed) << c.text;
  }
}

TEST(ParseWql, MalformedQueriesAreInvalidWithAReason) {
  struct Case {
    const char* text;
    const char* detail;
  };
  const Case cases[] = {
      {"", "the query must begin with SELECT or ASSOCIATORS OF (at offset 0)"},
      {"   ", "the query must begin with SELECT or ASSOCIATORS OF (at offset 3)"},
      {"DELETE FROM x", "the query must begin with SELECT or ASSOCIATORS OF (at offset 0)"},
      {"SELECTa FROM x", "the query must begin with SELECT or ASSOCIATORS OF (at offset 0)"},
      {"SELECT", "expected a property name or * (at offset 6)"},
      {"SELECT FROM x", "expected a property name or * (at offset 11)"},
      {"SELECT a, FROM x", "expected a property name or * (at offset 14)"},
      {"SELECT a b FROM x", "expected FROM after the property list (at offset 9)"},
      {"SELECT a FROM", "expected a class name after FROM (at offset 13)"},
      {"SELECT a FROM 1x", "expected a class name after FROM (at offset 14)"},
      {"SELECT a FROM x WHERE", "expected a property name in the WHERE clause (at offset 21)"},
      {"SELECT a FROM x WHERE a", "expected a comparison operator after a (at offset 23)"},
      {"SELECT a FROM x WHERE a == 'b'",
       "expected a quoted value, a number, TRUE or FALSE (at offset 25)"},
      {"SELECT a FROM x WHERE a = 'b", "the quoted value is not closed (at offset 26)"},
      {"SELECT a FROM x WHERE a = 'b\\'", "the quoted value is not closed (at offset 26)"},
      {"SELECT a FROM x WHERE a = b",
       "expected a quoted value, a number, TRUE or FALSE (at offset 26)"},
      {"SELECT a FROM x WHERE a = 12b",
       "expected a quoted value, a number, TRUE or FALSE (at offset 26)"},
      {"SELECT a FROM x WHERE a = '1' OR b = '2'",
       "unexpected text after the end of the query (at offset 30)"},
      {"SELECT a FROM x WHERE a = '1' AND",
       "expected a property name in the WHERE clause (at offset 33)"},
      {"SELECT a FROM x;", "unexpected text after the end of the query (at offset 15)"},
      {"ASSOCIATORS {A.K='v'}", "expected OF after ASSOCIATORS (at offset 12)"},
      {"ASSOCIATORS OF A.K='v'", "expected { before the object path (at offset 15)"},
      {"ASSOCIATORS OF {}", "expected a class name in the object path (at offset 16)"},
      {"ASSOCIATORS OF {A='v'}",
       "expected . after the class name in the object path (at offset 17)"},
      {"ASSOCIATORS OF {A.='v'}", "expected a key property in the object path (at offset 18)"},
      {"ASSOCIATORS OF {A.K'v'}",
       "expected = after the key property in the object path (at offset 19)"},
      {"ASSOCIATORS OF {A.K=v}", "expected a quoted value (at offset 20)"},
      {"ASSOCIATORS OF {A.K='v'", "expected } after the object path (at offset 23)"},
      {"ASSOCIATORS OF {A.K='v'} WHERE",
       "expected AssocClass or ResultClass after WHERE (at offset 30)"},
      {"ASSOCIATORS OF {A.K='v'} WHERE AssocClass B",
       "expected = after AssocClass or ResultClass (at offset 42)"},
      {"ASSOCIATORS OF {A.K='v'} WHERE AssocClass = 'B'",
       "expected a class name after = (at offset 44)"},
      {"ASSOCIATORS OF {A.K='v'} WHERE AssocClass = B AssocClass = C",
       "the same ASSOCIATORS OF condition is given twice (at offset 56)"},
  };
  for (const Case& c : cases) {
    WqlParseResult r = ParseWql(c.text);
    EXPECT_EQ(r.status.code, WBEM_E_INVALID_QUERY) << c.text;
    EXPECT_EQ(r.status.detail, c.detail) << c.text;
    EXPECT_EQ(Describe(r.query), "select  from ") << "no half-parsed query is returned: " << c.text;
  }
}

TEST(ParseWql, EmbeddedZeroBytesAndHighBytesAreOrdinaryText) {
  const std::string text("SELECT a FROM c WHERE a = 'x\0\xff' ", 32);
  WqlParseResult r = ParseWql(text);
  ASSERT_TRUE(r.status.ok()) << r.status.detail;
  ASSERT_EQ(r.query.conditions.size(), 1u);
  EXPECT_EQ(r.query.conditions[0].literal, std::string("x\0\xff", 3));
  EXPECT_EQ(ParseWql(std::string("SELECT a\0 FROM c", 16)).status.code, WBEM_E_INVALID_QUERY);
}

}  // namespace
