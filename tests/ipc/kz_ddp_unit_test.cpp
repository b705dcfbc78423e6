#include "ipc/kz_ddp_unit.h"

#include "tests/ipc/ipc_test_support.h"

namespace {

using namespace korza::ipc;
using korza::base::KzException;
using korza::base::KzTimeout;
using kztest::bytes;
using kztest::errorOf;

TEST(KzDdpUnitEncoding, ExactBytesOfEveryFieldKind) {
  const struct {
    std::function<void(KzDdpUnit&)> add;
    std::string wire;
  } cases[] = {
      {[](KzDdpUnit& u) { u.AddInt32(-2); }, bytes({0xff, 0xff, 0xff, 0xfe})},
      {[](KzDdpUnit& u) { u.AddInt64(0x0102030405060708LL); }, bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {[](KzDdpUnit& u) { u.AddBool(true), u.AddBool(false); }, bytes({0, 0, 0, 1, 0, 0, 0, 0})},
      {[](KzDdpUnit& u) { u.AddString(""); }, bytes({0, 0, 0, 0})},
      {[](KzDdpUnit& u) { u.AddBuffer("\0z", 2); }, bytes({0, 0, 0, 2, 0, 'z'})},
      {[](KzDdpUnit& u) {
         u.AddVector({"a", "bc"});
       },
       bytes({0, 0, 0, 2, 0, 0, 0, 1, 'a', 0, 0, 0, 2, 'b', 'c'})},
  };
  for (const auto& c : cases) {
    KzDdpUnit u;
    c.add(u);
    EXPECT_EQ(u.GetData(), c.wire);
  }
}

class DdpWireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string spec = "local:" + dir_.file("s");
    listener_ = KzIpcFactory::Instance().Create(spec, "*");
    listener_->Create();
    listener_->Listen(4);
    KzIpcPtr client = KzIpcFactory::Instance().Create("*", spec);
    ASSERT_TRUE(client->Connect(KzTimeout(5000u)));
    writer_.SetConnection(client);
    reader_.SetConnection(listener_->Accept(KzTimeout(5000u)));
    reader_.SetDeadline(korza::base::KzDeadline(KzTimeout(5000u)));
  }
  // Sends raw bytes to the reader.
  void feed(const std::string& raw) {
    writer_.Clear();
    writer_.AddRaw(raw);
    writer_.Push();
  }

  kztest::TempDir dir_;
  KzIpcPtr listener_;
  KzDdpUnit writer_;
  KzDdpUnit reader_;
};

// The other field kinds are read back by the protocol round trips.
TEST_F(DdpWireTest, AVectorReadBackReplacesTheOldContent) {
  writer_.AddVector({"", "x", "yz"});
  ASSERT_TRUE(writer_.Push());
  std::vector<std::string> v{"old"};
  reader_.GetVector(&v);
  EXPECT_EQ(v, (std::vector<std::string>{"", "x", "yz"}));
}

// Hostile counts are refused without allocating; short data ends in the
// unit's own errors.
TEST_F(DdpWireTest, BadCountsAndShortData) {
  feed(bytes({1, 0, 0, 1}));
  EXPECT_EQ(errorOf<KzException>([&] { reader_.GetString(); }),
            "KzDdpUnit::GetString: the string length 16777217 exceeds the limit of 16777216 bytes");
  feed(bytes({0x7f, 0, 0, 0}));
  std::vector<std::string> v;
  EXPECT_THROW(reader_.GetVector(&v), KzException);
  reader_.SetDeadline(korza::base::KzDeadline(KzTimeout(50u)));
  feed(bytes({0, 0, 0, 10}) + "abc");
  EXPECT_EQ(errorOf<KzException>([&] { reader_.GetString(); }),
            "KzDdpUnit::GetString: error in receiving string with length 10");
  reader_.SetDeadline(korza::base::KzDeadline(KzTimeout(0u)));
  EXPECT_EQ(errorOf<KzException>([&] { reader_.GetInt64(); }), "GetInt64: Receive");
}

}  // namespace
