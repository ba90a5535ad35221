// The version code of a monitored server, from its version number.
#include "db/server_info.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerVersionCode, NamesTheReleaseWithoutItsBugFixLevel) {
  struct Case {
    int32_t number;
    bool kelvora;
    int32_t code;
  };
  const Case cases[] = {
      {80404, false, 10804},  {90001, false, 10900},   {90105, false, 10901},
      {90200, false, 10902},  {90624, false, 10906},   {100000, false, 11000},
      {100023, false, 11000}, {150008, false, 11500},  {160002, false, 11600},
      {990000, false, 19900}, {1230000, false, 19900}, {90105, true, 20901},
      {90200, true, 20902},   {80300, true, 20803},    {160002, true, 21600},
      {0, false, 0},          {-1, false, 0},          {999, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ServerVersionCode(c.number, c.kelvora), c.code)
        << "number " << c.number << " kelvora " << c.kelvora;
  }
}

}  // namespace
