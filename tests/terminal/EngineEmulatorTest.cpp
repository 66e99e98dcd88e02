// The engine end to end: the real exchange over loopback against the
// in-process terminal-server emulator, misbehaving where the test says.
#include <gtest/gtest.h>

#include "emulator/TerminalEmulator.h"
#include "protocol/uVelkoCommManager.h"
#include "support/FailingFiles.h"
#include "support/TempDir.h"
#include "terminal/uVelkoDriver.h"

namespace velko {
namespace {

using emulator::TerminalEmulator;
using testing::TempDataFolder;

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

  TempDataFolder data_{"engine"};
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

TEST_F(EngineEmulatorTest, TheServerReceivesTheRequestByteForByte) {
  engine_->SetMerchantID(L"123456789012345678");  // cut to 15, then fitted to its two-digit field
  // Card data the emulator never handed out: declined, but sent as given.
  EXPECT_EQ(engine_->Sale(100050, L"ENC"), 4003);  // 10,005 rounds half to even: 10,00
  const std::string expected =
      std::string("\x00\x31", 2) + "\x1B\x03" "643" "\x02\x02" "01" "\xC0\x03" "ENC" "\x11\x02" "12"
      "\x03\x0A" "0000000002" "\x01\x03" "PUR" "\x04\x0C" "000000001000";
  EXPECT_EQ(emu_.Exchanges().back().request, expected);

  ASSERT_EQ(engine_->LoyaltySale(L""), 0);
  const std::string loyalty = emu_.Exchanges().back().request;
  EXPECT_NE(loyalty.find(std::string("\x01\x03" "XTR" "\x04\x0C" "000000000000")), std::string::npos);
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

TEST_F(EngineEmulatorTest, ARecordThatCannotBeWrittenStopsTheSale) {
  testing::FailingWrites files(testing::FailingWrites::RecordWritten());
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
