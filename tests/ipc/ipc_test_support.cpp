#include "tests/ipc/ipc_test_support.h"

#include "base/log.h"

namespace kztest {

namespace {

class IpcLogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_.reset(new TempDir);
    korza::ipcLog().init(path(), "debug", "Daemon", false);
  }
  void TearDown() override {
    korza::LogClass::closeFile();
    dir_.reset();
  }
  std::string path() const { return dir_->file("ipc.log"); }

 private:
  std::unique_ptr<TempDir> dir_;
};

IpcLogEnvironment* const g_environment =
    static_cast<IpcLogEnvironment*>(::testing::AddGlobalTestEnvironment(new IpcLogEnvironment));

}  // namespace

LogCapture::LogCapture() {
  korza::LogClass::flush();
  start_ = readFile(g_environment->path()).size();
}

std::string LogCapture::text() const {
  korza::LogClass::flush();
  const std::string all = readFile(g_environment->path());
  return all.size() > start_ ? all.substr(start_) : std::string();
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

using namespace korza::ipc;
using korza::base::KzTimeout;

void SessionFixture::serve(const std::vector<std::shared_ptr<KzServerProtocol>>& protocols,
                           const std::shared_ptr<KzServerProtocol>& fixed, int threads) {
  auto pool = std::make_shared<KzPersistentServerPoolManager>(ConnSettings(0, max_connections_));
  server_.reset(new KzServerSession(pool, fixed));
  for (const auto& p : protocols) server_->Register(p);
  server_->SetRequestTimeout(KzTimeout(300u));
  server_->Open(spec());
  for (int i = 0; i < threads; ++i) {
    serving_.emplace_back([this] {
      while (!stop_) {
        try {
          server_->Execute(KzTimeout(50u), filter_);
        } catch (const std::exception&) {
        }
      }
    });
  }
}

KzIpcPtr SessionFixture::rawClient(const std::string& bytes) {
  KzIpcPtr raw = KzIpcFactory::Instance().Create("*", spec());
  EXPECT_TRUE(raw->Connect(KzTimeout(5000u)));
  if (!bytes.empty()) {
    EXPECT_TRUE(raw->Send(bytes, KzTimeout(5000u)));
  }
  return raw;
}

std::shared_ptr<KzPersistentServerPoolManager> SessionFixture::serverPool() const {
  return std::dynamic_pointer_cast<KzPersistentServerPoolManager>(server_->PoolManager());
}

void SessionFixture::openClient(uint32_t min, uint32_t max) {
  client_pool_ = std::make_shared<KzPersistentClientPoolManager>(ConnSettings(min, max));
  client_pool_->SetMaintenanceTimeout(KzTimeout(50u));
  client_.reset(new KzClientSession(client_pool_));
  client_->Open(spec());
}

void SessionFixture::TearDown() {
  stop_ = true;
  for (auto& t : serving_) t.join();
  client_.reset();
  server_.reset();
}

}  // namespace kztest
