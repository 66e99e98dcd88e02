#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "common/TextUtf.h"
#include "support/FailingFiles.h"
#include "support/ScriptedExchange.h"
#include "support/TempDir.h"
#include "terminal/uVelkoDriver.h"

namespace velko {
namespace {

using testing::ReadBytes;
using testing::TempDataFolder;
using testing::Fields;
using testing::ScriptedExchange;

std::wstring OperationOf(const Fields& request) {
  for (const auto& [tag, value] : request)
    if (tag == &TagOperationType) return value;
  return L"";
}

std::wstring ValueOf(const Fields& request, const TTag& wanted) {
  return ScriptedExchange::ValueOf(request, wanted);
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    auto exchange = std::make_unique<ScriptedExchange>();
    server_ = exchange.get();
    engine_ = std::make_unique<TVelkoDriver>(std::move(exchange));
  }

  void Open() {
    server_->replies.push_back(ScriptedExchange::Approved());
    ASSERT_EQ(engine_->Enable(), 0);
    server_->requests.clear();
  }

  std::vector<unsigned char> NumeratorFile() const {
    return ReadBytes(data_.Root() / "velko32" / "ECR1");
  }
  uint32_t FileReceipt() const {
    auto b = NumeratorFile();
    return b.size() < 8 ? 1 : b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  uint32_t FileVoid() const {
    auto b = NumeratorFile();
    return b.size() < 8 ? 0 : b[4] | b[5] << 8 | b[6] << 16 | static_cast<uint32_t>(b[7]) << 24;
  }

  TempDataFolder data_{"engine"};
  ScriptedExchange* server_;
  std::unique_ptr<TVelkoDriver> engine_;
};

TEST_F(EngineTest, EnableHandsOverTheSettingsAndTestsThePinpad) {
  engine_->SetServerAddress(std::wstring(300, L'a'));
  engine_->SetServerPort(16501);
  engine_->SetTimeOut(5);
  server_->replies.push_back(ScriptedExchange::Approved());
  EXPECT_EQ(engine_->Enable(), 0);
  EXPECT_TRUE(engine_->Enabled());
  EXPECT_EQ(server_->address.size(), 255u);
  EXPECT_EQ(server_->port, 16501);
  EXPECT_EQ(server_->timeout, 5);
  ASSERT_EQ(server_->requests.size(), 1u);
  const Fields expected{{&TagCurrencyCode, L"643"},      {&TagECRNumber, L"01"},
                        {&TagReceiptNumber, L"0000000001"}, {&TagOperationType, L"SRV"},
                        {&TagServiceFunction, std::wstring(1, L'\x03')}};
  EXPECT_EQ(server_->requests[0], expected);
  EXPECT_EQ(FileReceipt(), 2u) << "the test consumes a receipt number";

  // A failed test disables an engine that was enabled.
  server_->replies.push_back(ScriptedExchange::Failure(74));
  EXPECT_EQ(engine_->Enable(), 74);
  EXPECT_FALSE(engine_->Enabled());
  EXPECT_EQ(engine_->LastResult(), 74);
}

TEST_F(EngineTest, ADisabledEngineSendsNothingAndUsesNoReceiptNumber) {
  int64_t amount = 5;
  std::wstring card = L"x";
  const std::vector<std::function<int32_t()>> operations = {
      [&] { return engine_->Sale(1000000, L""); },
      [&] { return engine_->Void(0, L"1", L"", L""); },
      [&] { return engine_->EmergencyVoid(); },
      [&] { return engine_->Settlement(); },
      [&] { return engine_->TestPinpad(true); },
      [&] { return engine_->GetBalance(amount); },
      [&] { return engine_->ReadCard(card); },
      [&] { return engine_->LoyaltySale(L""); },
  };
  for (const auto& operation : operations) {
    EXPECT_EQ(operation(), 70);
    EXPECT_EQ(engine_->LastResult(), 70);
    EXPECT_EQ(engine_->ExtErrorDescription(), L"");
  }
  EXPECT_TRUE(server_->requests.empty());
  EXPECT_TRUE(NumeratorFile().empty()) << "the numerator file was never written";
  EXPECT_EQ(amount, 0);
  EXPECT_EQ(card, L"");
  EXPECT_EQ(engine_->TransactData().Count(), 2u) << "only the common tags";
}

TEST_F(EngineTest, EachOperationSendsItsTagsInOrder) {
  Open();
  engine_->SetMerchantID(L"1234567890123456789");
  std::wstring card;
  int64_t amount = 0;
  struct Case {
    std::function<int32_t()> run;
    Fields tags;  // after the common tags; receipt numbers count on from 2
  };
  const std::wstring r2 = L"0000000002";
  const std::vector<Case> cases = {
      {[&] { return engine_->Sale(1234560, L"CARD"); },
       {{&TagCardNumberEnc, L"CARD"}, {&TagMerchantID, L"123456789012345"}, {&TagReceiptNumber, r2},
        {&TagOperationType, L"PUR"}, {&TagAmount, L"000000012346"}}},
      {[&] { return engine_->Payment(1000000, L"CARD"); },
       {{&TagCardNumberEnc, L"CARD"}, {&TagReceiptNumber, L"0000000003"}, {&TagOperationType, L"PAY"},
        {&TagAmount, L"000000010000"}}},
      {[&] { return engine_->Refund(100050, L"CARD", L"12345678901234567890"); },
       {{&TagReferenceNumber, L"123456789012"}, {&TagCardNumberEnc, L"CARD"}, {&TagMerchantID, L"123456789012345"},
        {&TagReceiptNumber, L"0000000004"}, {&TagOperationType, L"REF"}, {&TagAmount, L"000000001000"}}},
      {[&] { return engine_->PreSale(100150, L""); },
       {{&TagReceiptNumber, L"0000000005"}, {&TagOperationType, L"AUT"}, {&TagAmount, L"000000001002"}}},
      {[&] { return engine_->Completion(0, L"0001234567", L"AB12CD"); },
       {{&TagInvoiceNumber, L"234567"}, {&TagAuthorizationCode, L"AB12CD"},
        {&TagReceiptNumber, L"0000000006"}, {&TagOperationType, L"CMP"}, {&TagAmount, L"000000000000"}}},
      {[&] { return engine_->Void(10000, L"abc", L"", L""); },
       {{&TagMerchantID, L"123456789012345"}, {&TagReceiptNumber, L"0000000000"},
        {&TagOperationType, L"VOI"}, {&TagAmount, L"000000000100"}}},
      {[&] { return engine_->Settlement(); },
       {{&TagReceiptNumber, L"0000000008"}, {&TagOperationType, L"SRV"},
        {&TagServiceFunction, std::wstring(1, L'\x02')}}},
      {[&] { return engine_->ServiceOperation(2); },
       {{&TagReceiptNumber, L"0000000009"}, {&TagOperationType, L"SRV"},
        {&TagServiceFunction, std::wstring(1, L'\x02')}}},
      {[&] { return engine_->TestHost(); },
       {{&TagReceiptNumber, L"0000000010"}, {&TagOperationType, L"SRV"},
        {&TagServiceFunction, std::wstring(1, L'\x04')}}},
      {[&] { return engine_->ReportMenu(); },
       {{&TagReceiptNumber, L"0000000011"}, {&TagOperationType, L"SRV"},
        {&TagServiceFunction, std::wstring(1, L'\x0C')}}},
      {[&] { return engine_->ReadCard(card); },
       {{&TagReceiptNumber, L"0000000012"}, {&TagOperationType, L"VER"}}},
      {[&] { return engine_->GiftCardActivate(5000000); },
       {{&TagReceiptNumber, L"0000000013"}, {&TagOperationType, L"ACT"}, {&TagAmount, L"000000050000"}}},
      {[&] { return engine_->GetLoyaltyBalance(amount); },
       {{&TagReceiptNumber, L"0000000014"}, {&TagOperationType, L"XBA"}}},
      {[&] { return engine_->LoyaltySale(L"BONUS"); },
       {{&TagCardNumberEnc, L"BONUS"}, {&TagReceiptNumber, L"0000000015"}, {&TagOperationType, L"XTR"},
        {&TagAmount, L"000000000000"}}},
      {[&] { return engine_->LoyaltyRefund(500000, L"BONUS"); },
       {{&TagCardNumberEnc, L"BONUS"}, {&TagReceiptNumber, L"0000000016"}, {&TagOperationType, L"XRE"},
        {&TagAmount, L"000000005000"}}},
      {[&] { return engine_->PrintReceiptCopy(L"77"); },
       {{&TagReceiptNumber, L"0000000077"}, {&TagOperationType, L"JRN"},
        {&TagJournalQuery, std::wstring(L"\u00A4") + L'\0' + L'\0'}}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    server_->requests.clear();
    EXPECT_EQ(cases[i].run(), 0) << i;
    ASSERT_EQ(server_->requests.size(), 1u) << i;
    Fields expected{{&TagCurrencyCode, L"643"}, {&TagECRNumber, L"01"}};
    expected.insert(expected.end(), cases[i].tags.begin(), cases[i].tags.end());
    EXPECT_EQ(server_->requests[0], expected) << "case " << i;
  }
  engine_->SetMerchantID(L"");
  server_->requests.clear();
  engine_->Sale(10000, L"");
  EXPECT_EQ(server_->requests[0].size(), 5u) << "no card data, no merchant: three tags after the common two";
}

TEST_F(EngineTest, ATimedOutSaleIsVoidedByTheNextGuardedOperation) {
  Open();
  server_->replies = {ScriptedExchange::Failure(74)};
  std::vector<std::pair<std::wstring, std::wstring>> log;
  engine_->SetWriteLogProc([&](const std::wstring& c, const std::wstring& t) { log.emplace_back(c, t); });
  EXPECT_EQ(engine_->Sale(1000000, L""), 74);
  EXPECT_EQ(FileVoid(), 2u) << "the record stands";
  EXPECT_EQ(FileReceipt(), 3u);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], std::make_pair(std::wstring(L"Need AutoVoid"), std::wstring(L"ReceiptNumber=2; Result=74")));

  server_->requests.clear();
  server_->replies = {ScriptedExchange::Response(L"B4"), ScriptedExchange::Approved()};
  EXPECT_EQ(engine_->Refund(10000, L"", L""), 0);
  ASSERT_EQ(server_->requests.size(), 2u);
  EXPECT_EQ(OperationOf(server_->requests[0]), L"VOI");
  EXPECT_EQ(ValueOf(server_->requests[0], TagReceiptNumber), L"0000000002");
  EXPECT_EQ(ValueOf(server_->requests[0], TagAmount), L"") << "the void carries no amount";
  EXPECT_EQ(OperationOf(server_->requests[1]), L"REF");
  EXPECT_EQ(ValueOf(server_->requests[1], TagReceiptNumber), L"0000000003");
  EXPECT_EQ(FileVoid(), 0u);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].first, L"AutoVoid");
  EXPECT_EQ(log[1].second.substr(0, 33), L"ReceiptNumber=2; Result=0; Descri");
}

TEST_F(EngineTest, ADeclinedAutoVoidStopsTheOperation) {
  Open();
  server_->replies = {ScriptedExchange::Failure(74)};
  engine_->Payment(10000, L"");
  server_->requests.clear();
  server_->replies = {ScriptedExchange::Response(L"05", L"ОТКАЗ")};
  EXPECT_EQ(engine_->Settlement(), 4003);
  ASSERT_EQ(server_->requests.size(), 1u) << "the settlement itself is not sent";
  EXPECT_EQ(OperationOf(server_->requests[0]), L"VOI");
  EXPECT_EQ(FileVoid(), 2u);
  EXPECT_EQ(FileReceipt(), 4u) << "a receipt number is consumed all the same";
  EXPECT_EQ(engine_->ExtErrorDescription(), L"Код ответа: 05 - ОТКАЗ");

  // Unguarded operations do not void first.
  server_->requests.clear();
  EXPECT_EQ(engine_->TestHost(), 0);
  EXPECT_EQ(OperationOf(server_->requests[0]), L"SRV");
}

TEST_F(EngineTest, SettlingRunsTheAutomaticVoidAlone) {
  // A refusal other than "not found" keeps the record; nothing else is sent,
  // and only a settled record uses up its receipt number.
  struct Case {
    ScriptedExchange::Reply answer;
    int32_t result;
    uint32_t record, next;
  };
  const Case cases[] = {
      {ScriptedExchange::Response(L"05", L"ОТКАЗ"), 4003, 2, 3},
      {ScriptedExchange::Failure(1007), 1007, 2, 3},
      {ScriptedExchange::Response(L"B4"), 0, 0, 3},
      {ScriptedExchange::Approved(), 0, 0, 3},
  };
  for (const Case& c : cases) {
    Open();
    server_->replies = {ScriptedExchange::Failure(74)};
    (void)engine_->Sale(10000, L"");
    ASSERT_EQ(FileVoid(), 2u);
    server_->requests.clear();
    server_->replies = {c.answer};
    engine_->Disable();
    uint32_t record = 0;
    EXPECT_EQ(engine_->SettleUnfinished(record), c.result) << c.result;
    EXPECT_EQ(record, 2u) << "the record found, whatever the answer echoes";
    ASSERT_EQ(server_->requests.size(), 1u);
    EXPECT_EQ(OperationOf(server_->requests[0]), L"VOI");
    EXPECT_EQ(FileVoid(), c.record) << c.result;
    EXPECT_EQ(FileReceipt(), c.next) << c.result;
    EXPECT_FALSE(engine_->ReceiptEnum().Locked());
    // Reset the file for the next case.
    std::filesystem::remove(data_.Root() / "velko32" / "ECR1");
  }
  server_->requests.clear();
  uint32_t record = 1;
  EXPECT_EQ(engine_->SettleUnfinished(record), 0) << "no record: nothing to do";
  EXPECT_EQ(record, 0u);
  EXPECT_TRUE(server_->requests.empty());
}

TEST_F(EngineTest, AGarbledAnswerToARecordedOperationKeepsTheRecord) {
  // Bytes that decode to neither an approval flag nor a response code: the
  // host hears of a decline, but the bank may have charged the card, so the
  // next guarded operation must cancel it.
  struct Case {
    ScriptedExchange::Reply answer;
    int32_t result;
    uint32_t record;
  };
  const Case cases[] = {
      {ScriptedExchange::Reply{0, {}, false}, 4003, 2},
      {ScriptedExchange::Reply{0, {{&TagResponseMessage, L"??"}, {&TagAmount, L"000000000100"}}, false}, 4003, 2},
      {ScriptedExchange::Reply{0, {{&TagApprove, L"N"}}, false}, 4003, 0},
      {ScriptedExchange::Response(L"05", L"ОТКАЗ"), 4003, 0},
  };
  for (const Case& c : cases) {
    TempDataFolder fresh("garbled");
    auto exchange = std::make_unique<ScriptedExchange>();
    ScriptedExchange* server = exchange.get();
    TVelkoDriver engine(std::move(exchange));
    server->replies = {ScriptedExchange::Approved(), c.answer};
    ASSERT_EQ(engine.Enable(), 0);
    EXPECT_EQ(engine.Sale(1000000, L""), c.result);
    auto bytes = ReadBytes(fresh.Root() / "velko32" / "ECR1");
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[4], c.record) << "case " << (&c - cases);
    if (c.record == 0) continue;
    server->requests.clear();
    EXPECT_EQ(engine.Payment(10000, L""), 0);
    ASSERT_EQ(server->requests.size(), 2u);
    EXPECT_EQ(OperationOf(server->requests[0]), L"VOI");
    EXPECT_EQ(ValueOf(server->requests[0], TagReceiptNumber), L"0000000002");
  }
}

TEST_F(EngineTest, AnUndeterminedOutcomeIsCheckedInTheJournal) {
  struct Case {
    ScriptedExchange::Reply journal;
    int32_t result;
    uint32_t record;  // what the file holds afterwards
  };
  const Case cases[] = {
      {ScriptedExchange::Approved(), 0, 0},
      {ScriptedExchange::Response(L"B4"), 1007, 0},
      {ScriptedExchange::Response(L"TT"), 4005, 2},
      {ScriptedExchange::Response(L"51", L"НЕДОСТАТОЧНО СРЕДСТВ"), 4003, 0},
      // Without a usable journal answer only the next automatic void may settle it.
      {ScriptedExchange::Failure(74), 4005, 2},
      {ScriptedExchange::Failure(1007), 4005, 2},
      // A journal answer without an approval flag or a response code tells nothing.
      {ScriptedExchange::Reply{0, {{&TagResponseMessage, L"??"}}, false}, 4005, 2},
  };
  for (const Case& c : cases) {
    TempDataFolder fresh("journal");
    auto exchange = std::make_unique<ScriptedExchange>();
    ScriptedExchange* server = exchange.get();
    TVelkoDriver engine(std::move(exchange));
    server->replies = {ScriptedExchange::Approved(), ScriptedExchange::Response(L"TT"), c.journal};
    ASSERT_EQ(engine.Enable(), 0);
    EXPECT_EQ(engine.Sale(1000000, L""), c.result);
    ASSERT_EQ(server->requests.size(), 3u);
    const Fields& jrn = server->requests[2];
    EXPECT_EQ(OperationOf(jrn), L"JRN");
    EXPECT_EQ(ValueOf(jrn, TagReceiptNumber), L"0000000002") << "the sale's own number";
    EXPECT_EQ(ValueOf(jrn, TagJournalQuery), std::wstring(L"\u00A4") + L'\0' + L'\0');
    auto bytes = ReadBytes(fresh.Root() / "velko32" / "ECR1");
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[4], c.record) << c.result;
  }
}

// The approval flag alone says approved: a response code of "00" without it
// is a decline, and with it any response code is an approval. So in every
// place an answer is judged: the operation's own answer, the journal's after
// "TT", and the answer to the automatic void, which settles the record only
// when approved.
TEST(EngineApproval, TheFlagDecidesNotTheResponseCode) {
  const struct {
    Fields answer;
    bool approved;
  } cases[] = {
      {{{&TagResponseCode, L"00"}}, false},
      {{{&TagApprove, L"N"}, {&TagResponseCode, L"00"}}, false},
      {{{&TagApprove, L""}, {&TagResponseCode, L"00"}, {&TagResponseMessage, L"ОДОБРЕНО"}}, false},
      {{{&TagApprove, L"Y"}, {&TagResponseCode, L"05"}}, true},
      {{{&TagApprove, L"Y"}, {&TagResponseCode, L"51"}, {&TagResponseMessage, L"НЕДОСТАТОЧНО СРЕДСТВ"}}, true},
      {{{&TagApprove, L"Y"}}, true},
  };
  for (const auto& c : cases) {
    const ScriptedExchange::Reply answer{0, c.answer, false};
    const int32_t expected = c.approved ? 0 : 4003;
    const std::string trace = "case " + std::to_string(&c - cases);
    TempDataFolder fresh("approval");
    auto exchange = std::make_unique<ScriptedExchange>();
    ScriptedExchange* server = exchange.get();
    TVelkoDriver engine(std::move(exchange));
    server->replies = {ScriptedExchange::Approved()};
    ASSERT_EQ(engine.Enable(), 0) << trace;

    server->replies = {answer};
    EXPECT_EQ(engine.Sale(10000, L""), expected) << "the sale's answer, " << trace;
    server->replies = {ScriptedExchange::Response(L"TT"), answer};
    EXPECT_EQ(engine.Sale(10000, L""), expected) << "the journal's answer, " << trace;
    server->replies = {answer};
    EXPECT_EQ(engine.Void(10000, L"3", L"", L""), expected) << "the cancellation's answer, " << trace;

    // A sale left unfinished, then the automatic void answered so: only an
    // approval lets the settlement itself go out and clears the record.
    server->replies = {ScriptedExchange::Failure(74)};
    ASSERT_EQ(engine.Sale(10000, L""), 74) << trace;
    server->requests.clear();
    server->replies = {answer, ScriptedExchange::Approved()};
    EXPECT_EQ(engine.Settlement(), expected) << "the automatic void's answer, " << trace;
    EXPECT_EQ(server->requests.size(), c.approved ? 2u : 1u) << trace;
    auto bytes = ReadBytes(fresh.Root() / "velko32" / "ECR1");
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[4] != 0, !c.approved) << "the record, " << trace;
  }
}

TEST_F(EngineTest, VoidReportsTheAnswerWithoutAJournalQuery) {
  Open();
  server_->replies = {ScriptedExchange::Response(L"TT")};
  EXPECT_EQ(engine_->Void(0, L"5", L"", L""), 4005);
  server_->replies = {ScriptedExchange::Response(L"B4")};
  EXPECT_EQ(engine_->Void(0, L"5", L"", L""), 4007);
  server_->replies = {ScriptedExchange::Response(L"B9")};
  EXPECT_EQ(engine_->Void(0, L"5", L"", L""), 4004);
  EXPECT_EQ(server_->requests.size(), 3u);
  EXPECT_EQ(FileVoid(), 0u);
}

TEST_F(EngineTest, NoConnectionClearsTheRecord) {
  Open();
  server_->replies = {ScriptedExchange::Failure(1007)};
  EXPECT_EQ(engine_->Sale(2500000, L"CARD"), 1007);
  EXPECT_EQ(FileVoid(), 0u);
  // The list still holds the sale's request: the emergency void cancels it.
  server_->requests.clear();
  EXPECT_EQ(engine_->EmergencyVoid(), 0);
  ASSERT_EQ(server_->requests.size(), 1u) << "no automatic void first";
  EXPECT_EQ(OperationOf(server_->requests[0]), L"VOI");
  EXPECT_EQ(ValueOf(server_->requests[0], TagReceiptNumber), L"0000000002");
  EXPECT_EQ(ValueOf(server_->requests[0], TagAmount), L"000000025000");
}

TEST_F(EngineTest, EmergencyVoidUsesWhatTheAnswerCarried) {
  Open();
  server_->replies = {ScriptedExchange::Approved({{&TagReceiptNumber, L"0000000042"}, {&TagAmount, L"000000009900"}})};
  ASSERT_EQ(engine_->Sale(990000, L""), 0);
  engine_->EmergencyVoid();
  EXPECT_EQ(ValueOf(server_->requests.back(), TagReceiptNumber), L"0000000042");
  EXPECT_EQ(ValueOf(server_->requests.back(), TagAmount), L"000000009900");

  server_->replies = {ScriptedExchange::Approved()};  // an answer without either
  ASSERT_EQ(engine_->Sale(990000, L""), 0);
  engine_->EmergencyVoid();
  EXPECT_EQ(ValueOf(server_->requests.back(), TagReceiptNumber), L"0000000000");
  EXPECT_EQ(ValueOf(server_->requests.back(), TagAmount), L"000000000000");
}

TEST_F(EngineTest, AmountsTheFieldCannotCarryAreRefusedBeforeLocking) {
  Open();
  const uint32_t before = FileReceipt();
  for (int64_t amount : {int64_t{-1}, int64_t{100000000000000}, INT64_MAX}) {
    EXPECT_EQ(engine_->Sale(amount, L""), 1004);
    EXPECT_NE(engine_->ExtErrorDescription().find(L"вне допустимого диапазона"), std::wstring::npos);
  }
  EXPECT_TRUE(server_->requests.empty());
  EXPECT_EQ(FileReceipt(), before);
  EXPECT_EQ(engine_->Sale(99999999999949, L""), 0) << "9 999 999 999.9949 rounds to the largest";
  EXPECT_EQ(ValueOf(server_->requests.back(), TagAmount), L"999999999999");
  EXPECT_EQ(TVelkoDriver::FormatAmount(99999999999950), std::nullopt);
}

TEST_F(EngineTest, ExtendedDescriptionComposition) {
  Open();
  const std::tuple<std::wstring, std::wstring, std::wstring> cases[] = {
      {L"05", L"ОТКАЗ", L"Код ответа: 05 - ОТКАЗ"},
      {L"", L"Карта не читается", L"Карта не читается"},
      {L"12", L"", L"Код ответа: 12"},
      {L"", L"", L""},
  };
  for (const auto& [code, message, text] : cases) {
    Fields answer;
    if (!code.empty()) answer.emplace_back(&TagResponseCode, code);
    if (!message.empty()) answer.emplace_back(&TagResponseMessage, message);
    server_->replies = {{0, answer, false}};
    EXPECT_EQ(engine_->TestHost(), 4003);
    EXPECT_EQ(engine_->ExtErrorDescription(), text);
    EXPECT_EQ(engine_->LastResultDescription(), text.empty() ? L"Операция не была одобрена" : text);
  }
}

TEST_F(EngineTest, AnExceptionKeepsTheRecordAndStillAdvancesTheNumber) {
  Open();
  server_->replies = {ScriptedExchange::Raise()};
  EXPECT_THROW(engine_->Sale(10000, L""), std::runtime_error);
  EXPECT_EQ(FileVoid(), 2u);
  EXPECT_EQ(FileReceipt(), 3u);
  server_->requests.clear();
  server_->replies = {ScriptedExchange::Approved(), ScriptedExchange::Approved()};
  EXPECT_EQ(engine_->Sale(10000, L""), 0);
  EXPECT_EQ(OperationOf(server_->requests[0]), L"VOI");
}

TEST(EngineFinalWrite, TheHostHearsTheBankAndNoReceiptNumberRepeats) {
  // One operation (receipt 2) meets a numerator whose writes fail: before its
  // request, after it with the record cleared (the final write of a settled
  // operation), or after it with the record standing (the final write of an
  // open one, or the record put back). Then an approved refund follows.
  using Failure = testing::FailingWrites::Failure;
  constexpr Failure kOk = Failure::kNone, kLost = Failure::kLost, kUnflushed = Failure::kUnflushed;
  enum class Op { kSale, kVoid, kTestHost };
  struct Case {
    const char* name;
    Op op;
    ScriptedExchange::Reply answer;
    Failure before, after_cleared, after_recorded;
    int32_t result;
    const wchar_t* told;  // in the extended description
    bool sent;            // the operation's request left
    bool voided_next;     // the refund voids receipt 2 first
  };
  const wchar_t* const kVoidedNext = L"операция с номером чека 2 будет отменена следующей операцией";
  const wchar_t* const kAfter = L"после операции";
  const wchar_t* const kUnknown = L"результат операции в банке неизвестен";
  const Case cases[] = {
      {"approved cancellation", Op::kVoid, ScriptedExchange::Approved(), kOk, kLost, kLost, 0, kAfter, true, false},
      {"approved service test", Op::kTestHost, ScriptedExchange::Approved(), kOk, kLost, kLost, 0, kAfter, true,
       false},
      {"declined cancellation", Op::kVoid, ScriptedExchange::Response(L"05"), kOk, kLost, kLost, 4003, kAfter,
       true, false},
      {"approved sale", Op::kSale, ScriptedExchange::Approved(), kOk, kLost, kLost, 4568, kVoidedNext, true,
       true},
      {"approved sale, record put back half-written", Op::kSale, ScriptedExchange::Approved(), kOk, kUnflushed,
       kUnflushed, 4568, kVoidedNext, true, true},
      {"approved sale, record not put back", Op::kSale, ScriptedExchange::Approved(), kOk, kUnflushed, kLost,
       4568, kUnknown, true, false},
      {"declined sale", Op::kSale, ScriptedExchange::Response(L"05"), kOk, kLost, kLost, 4003, kVoidedNext, true,
       true},
      {"timed-out sale", Op::kSale, ScriptedExchange::Failure(74), kOk, kLost, kLost, 74, kVoidedNext, true, true},
      {"sale not recorded", Op::kSale, ScriptedExchange::Approved(), kLost, kLost, kLost, 4568,
       L"операция не отправлена на сервер", false, false},
      {"cancellation not advanced", Op::kVoid, ScriptedExchange::Approved(), kLost, kLost, kLost, 4568,
       L"операция не отправлена на сервер", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDataFolder data("final-write");
    auto exchange = std::make_unique<ScriptedExchange>();
    ScriptedExchange& server = *exchange;
    bool armed = false;
    size_t sent_before = 0;
    testing::FailingWrites files([&](uint64_t o, const unsigned char* d, size_t n) {
      if (!armed) return kOk;
      if (server.requests.size() == sent_before) return c.before;
      return testing::FailingWrites::RecordWritten()(o, d, n) ? c.after_recorded : c.after_cleared;
    });
    TVelkoDriver engine(std::move(exchange), files);
    std::vector<std::wstring> log;
    engine.SetWriteLogProc([&](const std::wstring& caption, const std::wstring& text) {
      if (caption == L"Numerator") log.push_back(text);
    });
    ASSERT_EQ(engine.Enable(), 0);
    server.requests.clear();
    server.replies = {c.answer};
    armed = true;
    const int32_t result = c.op == Op::kSale   ? engine.Sale(10000, L"")
                           : c.op == Op::kVoid ? engine.Void(10000, L"1", L"", L"")
                                               : engine.TestHost();
    armed = false;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(server.requests.size(), c.sent ? 1u : 0u);
    const std::wstring told = engine.ExtErrorDescription();
    EXPECT_NE(told.find(c.told), std::wstring::npos) << WideToUtf8(told);
    EXPECT_NE(told.find(L"ECR1"), std::wstring::npos) << "the file is named: " << WideToUtf8(told);
    if (c.told == kUnknown) {
      EXPECT_NE(told.find(L"velko numerator show"), std::wstring::npos);
      EXPECT_NE(told.find(L"velko numerator settle"), std::wstring::npos);
    }
    ASSERT_EQ(log.size(), 1u) << "the debug log hears of it too";
    EXPECT_NE(log[0].find(c.told), std::wstring::npos) << WideToUtf8(log[0]);

    server.requests.clear();
    EXPECT_EQ(engine.Refund(10000, L"", L""), 0);
    ASSERT_EQ(server.requests.size(), c.voided_next ? 2u : 1u);
    if (c.voided_next) {
      EXPECT_EQ(OperationOf(server.requests[0]), L"VOI");
      EXPECT_EQ(ValueOf(server.requests[0], TagReceiptNumber), L"0000000002");
    }
    // A number that never left may go out now; one that did, never again.
    EXPECT_EQ(ValueOf(server.requests.back(), TagReceiptNumber), c.sent ? L"0000000003" : L"0000000002");
  }
}

TEST_F(EngineTest, ATillKilledAfterItsRecordNeverSendsThatNumberAgain) {
  // A till that died with the file saying (next 5, unfinished 5): every
  // operation, guarded or not, goes out with 6.
  std::wstring card;
  int64_t amount = 0;
  struct Case {
    const char* name;
    std::function<int32_t()> run;
  };
  const std::vector<Case> cases = {
      {"pinpad test at opening", [&] { return engine_->Enable(); }},
      {"card reading", [&] { return engine_->ReadCard(card); }},
      {"host test", [&] { return engine_->TestHost(); }},
      {"balance", [&] { return engine_->GetBalance(amount); }},
      {"loyalty balance", [&] { return engine_->GetLoyaltyBalance(amount); }},
      {"report menu", [&] { return engine_->ReportMenu(); }},
      {"sale", [&] { return engine_->Sale(10000, L""); }},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteBytes(data_.Root() / "velko32" / "ECR1", {5, 0, 0, 0, 5, 0, 0, 0});
    server_->requests.clear();
    EXPECT_EQ(c.run(), 0);
    ASSERT_FALSE(server_->requests.empty());
    for (const Fields& request : server_->requests) {
      const bool void_of_record = OperationOf(request) == L"VOI";
      EXPECT_EQ(ValueOf(request, TagReceiptNumber), void_of_record ? L"0000000005" : L"0000000006");
    }
    EXPECT_EQ(FileReceipt(), 7u);
  }
}

TEST_F(EngineTest, AnECRNumberOutsideTwoDigitsIsRefusedAtOpen) {
  for (int32_t ecr : {-1, 100, 2147483647}) {
    engine_->SetECRNumber(ecr);
    EXPECT_EQ(engine_->Enable(), 1004) << ecr;
    EXPECT_FALSE(engine_->Enabled());
    EXPECT_NE(engine_->ExtErrorDescription().find(std::to_wstring(ecr)), std::wstring::npos);
    EXPECT_FALSE(std::filesystem::exists(data_.Root() / "velko32" / ("ECR" + std::to_string(ecr))));
  }
  EXPECT_TRUE(server_->requests.empty()) << "nothing was sent";
}

TEST_F(EngineTest, ABusyNumeratorGives4501AndConsumesNothing) {
  Open();
  TReceiptEnum other;
  ASSERT_EQ(other.Lock(), TReceiptEnum::kLocked);
  EXPECT_EQ(engine_->Sale(10000, L""), 4501);
  EXPECT_TRUE(server_->requests.empty());
  other.Unlock(false);
  EXPECT_EQ(engine_->Sale(10000, L""), 0);
  EXPECT_EQ(ValueOf(server_->requests.back(), TagReceiptNumber), L"0000000002");
}

#ifndef _WIN32
TEST_F(EngineTest, ALinkInTheNumeratorsPlaceGives4568NamingThePath) {
  Open();
  const std::filesystem::path numerator = data_.Root() / "velko32" / "ECR1";
  std::filesystem::remove(numerator);
  std::filesystem::create_symlink(data_.Root() / "elsewhere", numerator);
  EXPECT_EQ(engine_->Sale(10000, L""), 4568);
  EXPECT_NE(engine_->ExtErrorDescription().find(numerator.wstring()), std::wstring::npos)
      << WideToUtf8(engine_->ExtErrorDescription());
  EXPECT_TRUE(server_->requests.empty());
  EXPECT_FALSE(std::filesystem::exists(data_.Root() / "elsewhere"));
}
#endif

TEST_F(EngineTest, ResultPropertiesReadTheAnswer) {
  Open();
  server_->replies = {ScriptedExchange::Approved(
      {{&TagCardNumber, L"4111111111111111"}, {&TagReferenceNumber, L"123456789012"},
       {&TagAuthorizationCode, L"A1B2C3"}, {&TagIssuerName, L"VISA"}, {&TagReceiptText, L"Чек"},
       {&TagAmount, L"000000010000"}, {&TagCardNumberEnc, L"ENC"}})};
  std::wstring card;
  EXPECT_EQ(engine_->ReadCard(card), 0);
  EXPECT_EQ(card, L"ENC");
  EXPECT_EQ(engine_->CardNumber(), L"************1111");
  EXPECT_EQ(engine_->CardBIN(), L"411111");
  EXPECT_EQ(engine_->ReferenceNumber(), L"123456789012");
  EXPECT_EQ(engine_->AuthorizationCode(), L"A1B2C3");
  EXPECT_EQ(engine_->IssuerName(), L"VISA");
  EXPECT_EQ(engine_->ReceiptText(), L"Чек");
  EXPECT_EQ(engine_->Amount(), 1000000);

  int64_t balance = 7;
  server_->replies = {ScriptedExchange::Response(L"05")};
  EXPECT_EQ(engine_->GetBalance(balance), 4003);
  EXPECT_EQ(balance, 0) << "a declined answer leaves the balance at 0";
  server_->replies = {ScriptedExchange::Approved({{&TagAmount, L"000000000150"}})};
  EXPECT_EQ(engine_->GetLoyaltyBalance(balance), 0);
  EXPECT_EQ(balance, 15000);
  server_->replies = {ScriptedExchange::Response(L"05")};
  EXPECT_EQ(engine_->ReadCard(card), 4003);
  EXPECT_EQ(card, L"");
}

}  // namespace
}  // namespace velko
