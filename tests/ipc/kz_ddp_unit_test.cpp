#include "ipc/kz_ddp_unit.h"

#include <gtest/gtest.h>

#include "base/kz_exception.h"
#include "ipc/kz_factory.h"
#include "tests/ipc/ipc_test_support.h"
#include "tests/support/sandbox.h"

namespace {

using namespace korza::ipc;
using korza::base::KzTimeout;

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(KzDdpUnitEncoding, ExactBytesOfEveryFieldKind) {
  KzDdpUnit u;
  u.AddInt32(1);
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 1}));
  u.Clear();
  u.AddInt32(-2);
  EXPECT_EQ(u.GetData(), bytes({0xff, 0xff, 0xff, 0xfe}));
  u.Clear();
  u.AddInt64(1);
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 0, 0, 0, 0, 1}));
  u.Clear();
  u.AddInt64(0x0102030405060708LL);
  EXPECT_EQ(u.GetData(), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  u.Clear();
  u.AddBool(true);
  u.AddBool(false);
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 1, 0, 0, 0, 0}));
  u.Clear();
  u.AddString("");
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 0}));
  u.Clear();
  u.AddString("abc");
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 3, 0x61, 0x62, 0x63}));
  u.Clear();
  u.AddBuffer("\0z", 2);
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 2, 0, 'z'}));
  u.Clear();
  u.AddVector({"a", "bc"});
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 2, 0, 0, 0, 1, 0x61, 0, 0, 0, 2, 0x62, 0x63}));
  u.Clear();
  u.AddRaw("xy");
  u.AddRaw("z", 1);
  EXPECT_EQ(u.GetData(), "xyz");
  KzDdpUnit other;
  other.AddInt32(7);
  u.AddUnit(other);
  EXPECT_EQ(u.GetData(), "xyz" + bytes({0, 0, 0, 7}));
  u.Clear();
  u.AddFile("/p", true);
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 2, '/', 'p', 0, 0, 0, 0}));
}

TEST(KzDdpUnitEncoding, MissingConnectionIsAParameterErrorAndKeepsTheBuffer) {
  KzDdpUnit u;
  u.AddInt32(5);
  try {
    u.Push();
    FAIL();
  } catch (const korza::base::KzParameterError& e) {
    EXPECT_STREQ(e.what(),
                 "DdpUnit::Push: the 'connection' parameter contains invalid value 'null'");
  }
  EXPECT_EQ(u.GetData(), bytes({0, 0, 0, 5}));
  EXPECT_THROW(u.GetInt32(), korza::base::KzParameterError);
  EXPECT_THROW(u.GetVector(nullptr), korza::base::KzParameterError);
  EXPECT_EQ(u.GetLocalAddressAsString(), "*");
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
    KzIpcPtr server = listener_->Accept(KzTimeout(5000u));
    ASSERT_TRUE(server);
    writer_.SetConnection(client);
    reader_.SetConnection(server);
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

TEST_F(DdpWireTest, FieldsReadBackInOrder) {
  writer_.AddInt32(-7);
  writer_.AddInt64(-8);
  writer_.AddBool(true);
  writer_.AddString("text");
  writer_.AddVector({"", "x", "yz"});
  writer_.AddRaw("RAW");
  ASSERT_TRUE(writer_.Push());
  EXPECT_TRUE(writer_.GetData().empty());
  EXPECT_EQ(reader_.GetInt32(), -7);
  EXPECT_EQ(reader_.GetInt64(), -8);
  EXPECT_TRUE(reader_.GetBool());
  EXPECT_EQ(reader_.GetString(), "text");
  std::vector<std::string> v{"old"};
  reader_.GetVector(&v);
  EXPECT_EQ(v, (std::vector<std::string>{"", "x", "yz"}));
  std::string raw(3, '\0');
  ASSERT_TRUE(reader_.GetBuffer(&raw));
  EXPECT_EQ(raw, "RAW");
  // Any non-zero value reads as true.
  feed(bytes({0, 0, 0, 2}));
  EXPECT_TRUE(reader_.GetBool());
}

TEST_F(DdpWireTest, FilesTravelAfterTheirHeader) {
  kztest::writeFile(dir_.file("f"), "content");
  writer_.AddInt32(9);
  ASSERT_TRUE(writer_.AddFile(dir_.file("f"), false));
  ASSERT_TRUE(writer_.AddStringFromFile(dir_.file("f")));
  EXPECT_EQ(reader_.GetInt32(), 9);
  EXPECT_EQ(reader_.GetString(), dir_.file("f"));
  EXPECT_EQ(reader_.GetInt32(), 7);
  std::string content(7, '\0');
  ASSERT_TRUE(reader_.GetBuffer(&content));
  EXPECT_EQ(content, "content");
  EXPECT_EQ(reader_.GetString(), "content");

  kztest::LogCapture log;
  const std::string missing = dir_.file("missing");
  try {
    writer_.AddFile(missing, false);
    FAIL();
  } catch (const korza::base::KzSystemError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("AddFile(" + missing + ") failed: ", 0), 0u);
    EXPECT_EQ(e.code(), ENOENT);
  }
  EXPECT_TRUE(log.contains("AddFile(" + missing + " 0) - failed to stat file: "));
}

TEST_F(DdpWireTest, HostileCountsAreRefusedWithoutAllocating) {
  feed(bytes({0xff, 0xff, 0xff, 0xff}));
  try {
    reader_.GetString();
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(),
                 "KzDdpUnit::GetString: the string length 4294967295 exceeds the limit of "
                 "16777216 bytes");
  }
  feed(bytes({0x7f, 0, 0, 0}));
  std::vector<std::string> v;
  EXPECT_THROW(reader_.GetVector(&v), korza::base::KzException);
}

TEST_F(DdpWireTest, ShortDataEndsInTheUnitsOwnErrors) {
  reader_.SetDeadline(korza::base::KzDeadline(KzTimeout(50u)));
  feed(bytes({0, 0, 0, 10}) + "abc");
  try {
    reader_.GetString();
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(), "KzDdpUnit::GetString: error in receiving string with length 10");
  }
  reader_.SetDeadline(korza::base::KzDeadline(KzTimeout(0u)));
  try {
    reader_.GetInt64();
    FAIL();
  } catch (const korza::base::KzException& e) {
    EXPECT_STREQ(e.what(), "GetInt64: Receive");
  }
}

}  // namespace
