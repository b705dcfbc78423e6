#include "ipc/kz_control_proto.h"

#include <gtest/gtest.h>

namespace {

using namespace korza::ipc;
using namespace korza::postd;

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(ControlProtocolWire, RequestsByteForByte) {
  KzDdpUnit unit;
  KzReloadCompClient reload({7, 258});
  ASSERT_TRUE(reload.BuildRequest(unit));
  EXPECT_EQ(unit.GetData(), bytes({0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 1, 2}));
  EXPECT_EQ(reload.GetID(), 0x2008u);

  unit.Clear();
  KzUpdateClient update("/d", "", "p");
  ASSERT_TRUE(update.BuildRequest(unit));
  EXPECT_EQ(unit.GetData(), bytes({0, 0, 0, 2, '/', 'd', 0, 0, 0, 0, 0, 0, 0, 1, 'p'}));
  EXPECT_EQ(update.GetID(), 0x200Cu);
}

}  // namespace
