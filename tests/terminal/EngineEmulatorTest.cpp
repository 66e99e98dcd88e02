// The engine end to end: the real exchange over loopback against the
// in-process terminal-server emulator, misbehaving where the test says.
#include <gtest/gtest.h>

#include "emulator/TerminalEmulator.h"
#include "protocol/uVelkoCommManager.h"
#include "support/TempDir.h"
#include "terminal/uVelkoDriver.h"

namespace velko {
namespace {

using emulator::TerminalEmulator;
using testing::TempDir;

class EngineEmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu_.Start();
    auto exchange = std::make_unique<TCommunicationManager>();
    exchange_ = exchange.get();
    engine_ = std::make_unique<TVelkoDriver>(std::move(exchange));
    engine_->SetServerPort(emu_.Port());
    engine_->SetTimeOut(5);
    ASSERT_EQ(engine_->Enable(), 0);
  }

  TempDir data_{true};
  TerminalEmulator emu_;
  TCommunicationManager* exchange_ = nullptr;
  std::unique_ptr<TVelkoDriver> engine_;
};

TEST_F(EngineEmulatorTest, ASaleIsApprovedWithItsResults) {
  EXPECT_EQ(engine_->Sale(1234500, L""), 0);
  EXPECT_EQ(engine_->Amount(), 1234500);
  EXPECT_EQ(engine_->ReceiptNumber(), L"0000000002");
  EXPECT_EQ(engine_->ReferenceNumber().size(), 12u);
  EXPECT_EQ(engine_->AuthorizationCode().size(), 6u);
  EXPECT_EQ(engine_->CardNumber().find_first_not_of(L'*'), engine_->CardNumber().size() - 4);
  EXPECT_FALSE(engine_->ReceiptText().empty());
  // The same receipt number again is refused by the server's journal; a void
  // of the sale is found there.
  EXPECT_EQ(engine_->Void(1234500, L"2", L"", L""), 0);
  EXPECT_EQ(engine_->Void(1234500, L"999", L"", L""), 4007);
}

TEST_F(EngineEmulatorTest, ATimeOutLeavesARecordThatTheNextOperationVoids) {
  exchange_->SetAnswerTimeOutMs(500);
  emu_.LoadScript(R"({"op":"PUR","action":"silent"})");
  EXPECT_EQ(engine_->Sale(500000, L""), 74);
  EXPECT_EQ(engine_->Settlement(), 0);
  const auto exchanges = emu_.Exchanges();
  ASSERT_GE(exchanges.size(), 4u);  // pinpad test, sale, void, settlement
  EXPECT_EQ(exchanges[exchanges.size() - 2].operation, "VOI");
  EXPECT_EQ(exchanges.back().operation, "SRV");
}

TEST_F(EngineEmulatorTest, AnUndeterminedSaleIsSettledByTheJournal) {
  emu_.LoadScript(R"({"op":"PUR","action":"tt","journal":"approved"})");
  EXPECT_EQ(engine_->Sale(100000, L""), 0);
  EXPECT_EQ(emu_.Exchanges().back().operation, "JRN");
  emu_.LoadScript(R"({"op":"PUR","action":"tt","journal":"unknown"})");
  EXPECT_EQ(engine_->Sale(100000, L""), 1007);
}

TEST_F(EngineEmulatorTest, NoServerGives1007AndClearsTheRecord) {
  emu_.Stop();
  EXPECT_EQ(engine_->Sale(100000, L""), 1007);
  EXPECT_EQ(engine_->ReceiptEnum().VoidReceiptNum(), 0u);
}

// A file whose writes never reach the disk.
class FailingWrites : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    struct File : LockedFile {
      std::unique_ptr<LockedFile> real;
      bool Size(uint64_t& s) override { return real->Size(s); }
      bool LockRange(uint64_t n) override { return real->LockRange(n); }
      void UnlockRange(uint64_t n) override { real->UnlockRange(n); }
      bool ReadAt(uint64_t o, void* b, size_t n, size_t& g) override { return real->ReadAt(o, b, n, g); }
      bool WriteAt(uint64_t, const void*, size_t) override { return false; }
      bool Flush() override { return false; }
    };
    auto file = std::make_unique<File>();
    file->real = PlatformFileService().OpenExclusive(path);
    if (!file->real) return nullptr;
    return file;
  }
};

TEST_F(EngineEmulatorTest, ARecordThatCannotBeWrittenStopsTheSale) {
  FailingWrites files;
  auto exchange = std::make_unique<TCommunicationManager>();
  TVelkoDriver engine(std::move(exchange), files);
  engine.SetServerPort(emu_.Port());
  ASSERT_EQ(engine.Enable(), 0);
  const size_t before = emu_.RequestCount();
  EXPECT_EQ(engine.Sale(100000, L""), 4568);
  EXPECT_EQ(emu_.RequestCount(), before) << "nothing was sent";
  EXPECT_FALSE(engine.ExtErrorDescription().empty());
  EXPECT_EQ(engine.TestHost(), 0) << "an unrecorded operation still runs";
}

}  // namespace
}  // namespace velko
