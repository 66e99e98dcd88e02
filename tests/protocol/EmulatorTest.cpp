// The emulator as the tests and the velko command rely on it: the journal
// behind "JRN" and "VOI", balances, card reading, scripts and bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "emulator/TerminalEmulator.h"
#include "common/TextUtf.h"
#include "platform/ServerCodePage.h"
#include "platform/TcpClient.h"
#include "common/CardMask.h"
#include "protocol/uVelkoCommManager.h"
#include "support/TempDataFolder.h"

namespace velko {
namespace {

using emulator::EmulatedServer;
using emulator::EmulatorOptions;
using emulator::TerminalEmulator;

std::wstring Receipt(int n) {
  wchar_t b[16];
  swprintf(b, 16, L"%.10d", n);
  return b;
}

class Emulator : public ::testing::Test {
 protected:
  void SetUp() override { Begin(EmulatorOptions{}); }

  void Begin(EmulatorOptions options) {
    emu_ = std::make_unique<TerminalEmulator>(std::move(options));
    emu_->Start();
    manager_.SetAddress(L"127.0.0.1");
    manager_.SetPort(emu_->Port());
    manager_.SetAnswerTimeOut(5);
  }

  // One request: operation, receipt number, then optional amount and card data.
  int32_t Call(const wchar_t* op, int receipt, const std::wstring& amount = L"",
               const std::wstring& card = L"", int function = -1) {
    list_.Clear();
    list_.Add(TagCurrencyCode, L"643");
    list_.Add(TagECRNumber, L"01");
    if (!card.empty()) list_.Add(TagCardNumberEnc, card);
    list_.Add(TagReceiptNumber, Receipt(receipt));
    list_.Add(TagOperationType, op);
    if (!amount.empty()) list_.Add(TagAmount, amount);
    if (function >= 0) list_.Add(TagServiceFunction, std::wstring(1, static_cast<wchar_t>(function)));
    if (std::wstring(op) == L"JRN") list_.Add(TagJournalQuery, std::wstring(L"\x00A4\0\0", 3));
    return manager_.ExecuteTransaction(list_);
  }

  std::unique_ptr<TerminalEmulator> emu_;
  TCommunicationManager manager_;
  TTransactDataList list_;
};

TEST_F(Emulator, JournalAnswersFromWhatWasDone) {
  ASSERT_EQ(Call(L"PUR", 1, L"000000010000"), 0);
  EXPECT_TRUE(list_.Approve());
  const std::wstring rrn = list_.GetTagData(TagReferenceNumber);

  ASSERT_EQ(Call(L"JRN", 1), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.GetTagData(TagReferenceNumber), rrn);
  EXPECT_EQ(list_.TransactionAmount(), 1000000);

  ASSERT_EQ(Call(L"JRN", 2), 0);
  EXPECT_EQ(list_.ResponseCode(), L"B4");
  EXPECT_FALSE(list_.Approve());

  ASSERT_EQ(Call(L"PUR", 1, L"000000000500"), 0);  // the receipt number is taken
  EXPECT_EQ(list_.ResponseCode(), L"B9");

  ASSERT_EQ(Call(L"VOI", 1, L"000000010000"), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.GetTagData(TagReferenceNumber), rrn);
  // The host's second cancellation is refused; the driver's automatic void
  // (no amount), repeated by a till that died before it learnt of the first,
  // is approved once more. Neither changes anything.
  const size_t entries = emu_->Server().Journal().size();
  ASSERT_EQ(Call(L"VOI", 1, L"000000010000"), 0);
  EXPECT_EQ(list_.ResponseCode(), L"M8");
  EXPECT_FALSE(list_.Approve());
  ASSERT_EQ(Call(L"VOI", 1), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.GetTagData(TagReferenceNumber), rrn);
  EXPECT_EQ(emu_->Server().Journal().size(), entries);
  ASSERT_EQ(Call(L"VOI", 99), 0);
  EXPECT_EQ(list_.ResponseCode(), L"B4");
  EXPECT_TRUE(emu_->Server().Find(1)->voided);
}

// A request from tags in the given order.
using Tags = std::vector<std::pair<const TTag*, std::wstring>>;

TEST_F(Emulator, FieldsThatAreNotTheTransactionsAreDeclined) {
  auto send = [&](const Tags& tags) {
    list_.Clear();
    for (const auto& [tag, value] : tags) list_.Add(*tag, value);
    EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
    return list_.ResponseCode();
  };
  const std::pair<const TTag*, std::wstring> ecr1{&TagECRNumber, L"01"}, ecr2{&TagECRNumber, L"02"},
      op_pur{&TagOperationType, L"PUR"}, op_aut{&TagOperationType, L"AUT"}, op_voi{&TagOperationType, L"VOI"},
      op_cmp{&TagOperationType, L"CMP"}, op_jrn{&TagOperationType, L"JRN"}, amount{&TagAmount, L"000000001000"};
  auto receipt = [](int n) { return std::pair<const TTag*, std::wstring>{&TagReceiptNumber, Receipt(n)}; };
  auto tag = [](const TTag& t, const std::wstring& v) { return std::pair<const TTag*, std::wstring>{&t, v}; };

  // Two registers may use one receipt number: their journals are apart.
  ASSERT_EQ(send({ecr1, tag(TagMerchantID, L"77"), receipt(5), op_pur, amount}), L"00");
  const std::wstring rrn = list_.GetTagData(TagReferenceNumber), auth = list_.GetTagData(TagAuthorizationCode);
  ASSERT_EQ(send({ecr2, receipt(5), op_pur, tag(TagAmount, L"000000002000")}), L"00");
  EXPECT_EQ(emu_->Server().Find(5, "02")->amount, 2000);

  // A void checks every field it is given against the register's transaction.
  const std::pair<Tags, const wchar_t*> voids[] = {
      {{ecr1, receipt(5), op_voi, tag(TagAmount, L"000000002000")}, L"M2"},
      {{ecr1, tag(TagReferenceNumber, L"999999999999"), receipt(5), op_voi, amount}, L"M3"},
      {{ecr1, receipt(5), tag(TagAuthorizationCode, L"XXXXXX"), op_voi, amount}, L"M1"},
      {{ecr1, tag(TagMerchantID, L"12"), receipt(5), op_voi, amount}, L"M4"},
      {{ecr1, tag(TagReferenceNumber, rrn), tag(TagMerchantID, L"77"), receipt(5), tag(TagAuthorizationCode, auth),
        op_voi, amount}, L"00"},
  };
  for (const auto& [tags, code] : voids) EXPECT_EQ(send(tags), code);
  EXPECT_TRUE(emu_->Server().Find(5, "01")->voided);
  EXPECT_FALSE(emu_->Server().Find(5, "02")->voided);
  ASSERT_EQ(send({ecr2, receipt(5), op_jrn, tag(TagJournalQuery, std::wstring(L"\x00A4\0\0", 3))}), L"00");
  EXPECT_EQ(list_.TransactionAmount(), 200000);  // ten-thousandths

  // A completion needs its register's pre-authorisation: the receipt number's
  // low six digits and the authorisation code.
  ASSERT_EQ(send({ecr1, receipt(1000007), op_aut, amount}), L"00");
  const std::wstring pre_auth = list_.GetTagData(TagAuthorizationCode);
  const std::pair<Tags, const wchar_t*> completions[] = {
      {{ecr1, tag(TagInvoiceNumber, L"000008"), tag(TagAuthorizationCode, pre_auth), receipt(8), op_cmp, amount}, L"B4"},
      {{ecr2, tag(TagInvoiceNumber, L"000007"), tag(TagAuthorizationCode, pre_auth), receipt(9), op_cmp, amount}, L"B4"},
      {{ecr1, tag(TagInvoiceNumber, L"000007"), tag(TagAuthorizationCode, L"XXXXXX"), receipt(10), op_cmp, amount}, L"M1"},
      {{ecr1, tag(TagInvoiceNumber, L"000007"), tag(TagAuthorizationCode, pre_auth), receipt(11), op_cmp, amount}, L"00"},
  };
  for (const auto& [tags, code] : completions) EXPECT_EQ(send(tags), code);

  // The wire format as the driver sends it: the register's number, the tags
  // in the driver's order, the journal query's three bytes.
  const size_t entries = emu_->Server().Journal().size();
  const Tags malformed[] = {
      {receipt(20), op_pur, amount},
      {ecr1, op_pur, receipt(21), amount},
      {ecr1, receipt(22), amount, op_pur},
      {ecr1, receipt(23), op_pur, amount, amount},
      {ecr1, receipt(5), op_jrn, tag(TagJournalQuery, L"AAA")},
      {ecr1, receipt(5), op_jrn},
  };
  for (const Tags& tags : malformed) {
    EXPECT_EQ(send(tags), L"30");
    EXPECT_FALSE(list_.Approve());
  }
  EXPECT_EQ(emu_->Server().Journal().size(), entries);
}

// As an acquirer does: a refund that names a payment stays within what is
// left of it, a payment partly refunded is not cancelled, a pre-authorisation
// is completed once; a refund by card needs no payment. The settlement counts
// exactly what was approved.
TEST_F(Emulator, RefundsCancellationsAndCompletionsStayWithinWhatWasPaid) {
  auto send = [&](const Tags& tags) {
    list_.Clear();
    list_.Add(TagECRNumber, L"01");
    for (const auto& [tag, value] : tags) list_.Add(*tag, value);
    EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
    return list_.ResponseCode();
  };
  auto tag = [](const TTag& t, const std::wstring& v) { return std::pair<const TTag*, std::wstring>{&t, v}; };
  auto op = [&](const wchar_t* name, int receipt) {
    return Tags{tag(TagReceiptNumber, Receipt(receipt)), tag(TagOperationType, name)};
  };
  auto with = [](Tags head, Tags tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  auto amount = [&](int64_t minor) {
    wchar_t b[16];
    swprintf(b, 16, L"%.12lld", static_cast<long long>(minor));
    return Tags{tag(TagAmount, b)};
  };
  auto refund = [&](const std::wstring& rrn, int receipt, int64_t minor) {
    Tags t = rrn.empty() ? Tags{} : Tags{tag(TagReferenceNumber, rrn)};
    return with(with(t, op(L"REF", receipt)), amount(minor));
  };

  ASSERT_EQ(send(with(op(L"PUR", 1), amount(10000))), L"00");
  const std::wstring paid = list_.GetTagData(TagReferenceNumber);
  ASSERT_EQ(send(with(op(L"PUR", 7), amount(5000))), L"00");
  ASSERT_EQ(send(with(op(L"AUT", 1000008), amount(3000))), L"00");
  const std::wstring held = list_.GetTagData(TagAuthorizationCode);
  const Tags completion = {tag(TagInvoiceNumber, L"000008"), tag(TagAuthorizationCode, held)};

  const std::pair<Tags, const wchar_t*> steps[] = {
      {refund(L"999999999999", 2, 1000), L"B4"},  // a reference number never issued
      {refund(paid, 3, 4050), L"00"},
      {refund(paid, 4, 6000), L"M5"},  // more than the 59,50 left
      {op(L"VOI", 1), L"M6"},          // partly refunded: no longer cancelled whole
      {refund(paid, 5, 5950), L"00"},  // exactly what is left
      {refund(paid, 6, 1), L"M5"},     // nothing left
      {refund(L"", 8, 1000), L"00"},   // by card, no payment named
      {with(op(L"VOI", 7), amount(5000)), L"00"},  // a separate payment
      {with(with(completion, op(L"CMP", 10)), amount(3000)), L"00"},
      {with(with(completion, op(L"CMP", 11)), amount(3000)), L"M7"},  // completed once already
  };
  int step = 0;
  for (const auto& [tags, code] : steps) {
    EXPECT_EQ(send(tags), code) << "step " << step;
    EXPECT_EQ(list_.Approve(), std::wstring(code) == L"00") << "step " << step;
    ++step;
  }
  EXPECT_FALSE(emu_->Server().Find(1)->voided);
  EXPECT_TRUE(emu_->Server().Find(7)->voided);

  // What the journal approved, signed: payments and completions in, refunds out.
  int64_t approved = 0;
  for (const auto& e : emu_->Server().Journal()) {
    if (e.status != "approved" || e.voided || e.op == "AUT") continue;
    approved += e.op == "REF" ? -e.amount : e.amount;
  }
  EXPECT_EQ(approved, 10000 + 3000 - 4050 - 5950 - 1000);
  ASSERT_EQ(send({tag(TagReceiptNumber, Receipt(12)), tag(TagOperationType, L"SRV"),
                  tag(TagServiceFunction, std::wstring(1, L'\x02'))}),
            L"00");
  EXPECT_EQ(list_.TransactionAmount(), approved * 100);  // ten-thousandths
}

TEST_F(Emulator, ScriptedDeclineAndUndeterminedOutcomes) {
  emu_->LoadScript(
      "# first sale declined, second undetermined and approved in the journal,\n"
      "{\"op\":\"PUR\",\"nth\":1,\"action\":\"decline\",\"code\":\"51\",\"message\":\"НЕТ СРЕДСТВ\"}\n"
      "{\"op\":\"PUR\",\"nth\":2,\"action\":\"tt\"}\n"
      "{\"op\":\"PUR\",\"nth\":3,\"action\":\"tt\",\"journal\":\"undetermined\"}\n"
      "{\"op\":\"PUR\",\"nth\":4,\"action\":\"tt\",\"journal\":\"unknown\"}\n");
  ASSERT_EQ(Call(L"PUR", 10, L"000000000100"), 0);
  EXPECT_EQ(list_.ResponseCode(), L"51");
  EXPECT_FALSE(list_.ResponseMessage().empty());
  ASSERT_EQ(Call(L"JRN", 10), 0);
  EXPECT_EQ(list_.ResponseCode(), L"51");
  EXPECT_FALSE(list_.Approve());

  ASSERT_EQ(Call(L"PUR", 11, L"000000000100"), 0);
  EXPECT_EQ(list_.ResponseCode(), L"TT");
  ASSERT_EQ(Call(L"JRN", 11), 0);
  EXPECT_TRUE(list_.Approve());

  ASSERT_EQ(Call(L"PUR", 12, L"000000000100"), 0);
  ASSERT_EQ(Call(L"JRN", 12), 0);
  EXPECT_EQ(list_.ResponseCode(), L"TT");

  ASSERT_EQ(Call(L"PUR", 13, L"000000000100"), 0);
  ASSERT_EQ(Call(L"JRN", 13), 0);
  EXPECT_EQ(list_.ResponseCode(), L"B4");
  // A void of the unknown one finds nothing: the automatic void may go on.
  ASSERT_EQ(Call(L"VOI", 13), 0);
  EXPECT_EQ(list_.ResponseCode(), L"B4");
}

TEST_F(Emulator, CardReadBonusesGiftAndSettlementFollowTheJournal) {
  emu_->LoadScript(R"({"op":"VER","action":"answer","card":"2200700012345671"})");
  ASSERT_EQ(Call(L"VER", 1), 0);
  const std::wstring token = list_.GetTagData(TagCardNumberEnc);
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(ExtractCardBIN(list_.GetTagData(TagCardNumber)), L"220070");

  ASSERT_EQ(Call(L"PUR", 2, L"000000100000", token), 0);  // 1 000,00 with the card read
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(emu_->Server().Find(2)->card, "2200700012345671");
  EXPECT_EQ(emu_->Server().AccountBalance("2200700012345671"), EmulatedServer::kInitialAccount - 100000);

  ASSERT_EQ(Call(L"XBA", 3), 0);  // 1 % back on top of the initial bonuses
  EXPECT_EQ(list_.TransactionAmount(), (EmulatedServer::kInitialBonus + 1000) * 100);
  ASSERT_EQ(Call(L"XTR", 4, L"000000000000", token), 0);
  EXPECT_EQ(list_.TransactionAmount(), EmulatedServer::kBonusPaymentLimit * 100);
  EXPECT_EQ(emu_->Server().BonusBalance("2200700012345671"),
            EmulatedServer::kInitialBonus + 1000 - EmulatedServer::kBonusPaymentLimit);

  const std::string gift = EmulatedServer::TestCards().back();
  ASSERT_EQ(Call(L"ACT", 5, L"000000050000", AsciiToWide(EmulatedServer::CardToken(gift))), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(emu_->Server().AccountBalance(gift), 50000);

  ASSERT_EQ(Call(L"REF", 6, L"000000020000", token), 0);
  ASSERT_EQ(Call(L"SRV", 7, L"", L"", 2), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.TransactionAmount(), (100000 + 50000 + 50000 - 20000 - 0) * 100);
  if (WideToServerCodePage(L"Ж") == "\xC6") {  // a Cyrillic code page (not every wine prefix has one)
    EXPECT_NE(list_.GetTagData(TagReceiptText).find(L"СВЕРКА ИТОГОВ"), std::wstring::npos);
  }
  EXPECT_GT(list_.GetTagData(TagReceiptText).size(), 200u);
  EXPECT_EQ(emu_->Server().CurrentBatch(), 2);
  ASSERT_EQ(Call(L"SRV", 8, L"", L"", 2), 0);
  EXPECT_EQ(list_.TransactionAmount(), 0);  // the new batch is empty
}

TEST_F(Emulator, BadRequestsGetNoApprovalAndTheServerGoesOn) {
  const std::string bad[] = {
      std::string(""),
      std::string("\x00", 1),
      std::string("\x00\x05\x01\x03PU", 6),           // body cut short
      std::string("\x00\x03\x03\x01\x31", 5),         // no operation type
      std::string("\x00\x05\x01\x03XYZ", 7),          // unknown operation
      std::string("\x00\x04\x01\x82\xFF\xFF", 6),     // a field longer than the body
      std::string("\xFF\xFF") + std::string(70000, '\x1F'),
  };
  for (const std::string& request : bad) {
    TTransactDataList answer;
    answer.DecodeAnswer(emu_->HandleRequest(request, "test"));
    EXPECT_FALSE(answer.Approve()) << request.size();
    EXPECT_EQ(answer.ResponseCode(), L"30") << request.size();
  }
  // A client that goes away in the middle of its request.
  auto client = CreatePlatformTcpClient();
  client->Connect("127.0.0.1", emu_->Port());
  for (int i = 0; i < 50 && client->GetState() == TcpClient::State::Connecting; ++i) client->Wait(100);
  ASSERT_EQ(client->GetState(), TcpClient::State::Connected);
  client->Send(std::string("\x00\x40\x01\x03", 4));
  client->Wait(50);
  client->Close();
  ASSERT_EQ(Call(L"PUR", 40, L"000000000100"), 0);
  EXPECT_TRUE(list_.Approve());
}

TEST_F(Emulator, UndefinedServiceFunctionIsDeclinedAndHostTestApproved) {
  ASSERT_EQ(Call(L"SRV", 1, L"", L"", 4), 0);
  EXPECT_TRUE(list_.Approve());
  ASSERT_EQ(Call(L"SRV", 2, L"", L"", 0x77), 0);
  EXPECT_FALSE(list_.Approve());
  ASSERT_EQ(Call(L"SRV", 3, L"", L"", 3), 0);  // pinpad test carries the balance
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.TransactionAmount(), EmulatedServer::kInitialAccount * 100);
  ASSERT_EQ(Call(L"PUR", 4, L"000000000100", L"VK1:nonsense"), 0);
  EXPECT_EQ(list_.ResponseCode(), L"14");
}

TEST(EmulatorFiles, JournalFileSurvivesARestartAndTheLogHasEveryExchange) {
  // Both files live in a folder of the test's own, removed however the test ends.
  velko::testing::TempDataFolder folder("emulator_files");
  const std::string journal = (folder.Root() / "journal.jsonl").string();
  const std::string log = (folder.Root() / "log.jsonl").string();
  TTransactDataList list;
  TCommunicationManager manager;
  manager.SetAddress(L"127.0.0.1");
  manager.SetAnswerTimeOut(5);
  {
    EmulatorOptions options;
    options.journal_path = journal;
    options.log_path = log;
    TerminalEmulator emu(options);
    emu.Start();
    manager.SetPort(emu.Port());
    list.Add(TagECRNumber, L"01");
    list.Add(TagReceiptNumber, Receipt(77));
    list.Add(TagOperationType, L"PUR");
    list.Add(TagAmount, L"000000001000");
    ASSERT_EQ(manager.ExecuteTransaction(list), 0);
    ASSERT_TRUE(list.Approve());
    // Card data in clear reaches neither the decoded tags nor the hex.
    list.Clear();
    list.Add(TagCardNumberEnc, L"4111111111111111=2512");
    list.Add(TagReceiptNumber, Receipt(78));
    list.Add(TagOperationType, L"VER");
    ASSERT_EQ(manager.ExecuteTransaction(list), 0);
  }
  EmulatorOptions options;
  options.journal_path = journal;
  TerminalEmulator emu(options);
  ASSERT_TRUE(emu.Server().Find(77).has_value());
  EXPECT_EQ(emu.Server().Find(77)->amount, 1000);
  EXPECT_EQ(emu.Server().Find(77)->status, "approved");
  // The card's entries are still found by it after the restart.
  EXPECT_EQ(emu.Server().AccountBalance(EmulatedServer::DefaultCard()), EmulatedServer::kInitialAccount - 1000);

  const auto whole = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string journal_text = whole(journal);
  EXPECT_EQ(journal_text.find(EmulatedServer::DefaultCard()), std::string::npos) << journal_text;
  EXPECT_NE(journal_text.find("\"card\":\"427638******5678\""), std::string::npos) << journal_text;

  std::ifstream in(log);
  std::string line, all;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    all += line;
  }
  EXPECT_EQ(lines, 4);  // two requests and their answers
  EXPECT_EQ(all.find("4111111111111111"), std::string::npos);
  EXPECT_EQ(all.find("34313131313131313131"), std::string::npos) << "nor its hex";
  EXPECT_NE(all.find("\"************1111*****\""), std::string::npos) << "a card field: all but the last four: " << all;
  EXPECT_NE(all.find("[\"89\",\"************5678\"]"), std::string::npos) << "the answer's too: " << all;
  EXPECT_NE(all.find("\"operation\":\"PUR\""), std::string::npos) << all.substr(0, 300);
  EXPECT_NE(all.find("\"hex\":\""), std::string::npos);
  EXPECT_NE(all.find("\"peer\":\"127.0.0.1:"), std::string::npos);
#ifndef _WIN32
  for (const std::string& file : {journal, log})
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << file;
#endif
}

TEST(EmulatorFiles, ACancellationIsRefusedOnceDoneAlsoAfterARestart) {
  velko::testing::TempDataFolder folder("emulator_voided");
  EmulatorOptions options;
  options.journal_path = (folder.Root() / "journal.jsonl").string();
  TTransactDataList list;
  TCommunicationManager manager;
  manager.SetAddress(L"127.0.0.1");
  manager.SetAnswerTimeOut(5);
  const auto cancel = [&](TerminalEmulator& emu) {
    manager.SetPort(emu.Port());
    list.Clear();
    list.Add(TagECRNumber, L"01");
    list.Add(TagReceiptNumber, Receipt(12));
    list.Add(TagOperationType, L"VOI");
    list.Add(TagAmount, L"000000001000");
    EXPECT_EQ(manager.ExecuteTransaction(list), 0);
    return list.Approve() ? std::wstring(L"Y") : list.ResponseCode();
  };
  {
    TerminalEmulator emu(options);
    emu.Start();
    manager.SetPort(emu.Port());
    list.Add(TagECRNumber, L"01");
    list.Add(TagReceiptNumber, Receipt(12));
    list.Add(TagOperationType, L"PUR");
    list.Add(TagAmount, L"000000001000");
    ASSERT_EQ(manager.ExecuteTransaction(list), 0);
    ASSERT_TRUE(list.Approve());
    EXPECT_EQ(cancel(emu), L"Y");
    EXPECT_EQ(cancel(emu), L"M8");
  }
  TerminalEmulator emu(options);
  emu.Start();
  EXPECT_EQ(cancel(emu), L"M8") << "the journal remembers the cancellation";
  EXPECT_EQ(emu.Server().AccountBalance(EmulatedServer::DefaultCard()), EmulatedServer::kInitialAccount)
      << "the cancelled payment is not charged";
}

TEST(EmulatorScript, BadRulesAreReportedWithTheirLine) {
  const char* bad[] = {"{\"action\":\"explode\"}", "{\"op\":\"PUR\",\"nth\":0}", "not json",
                       "{\"action\":\"extra\",\"hex\":\"ABC\"}", "{\"action\":\"tt\",\"journal\":\"maybe\"}"};
  for (const char* rule : bad) {
    try {
      emulator::ParseScript(std::string("\n# comment\n") + rule);
      ADD_FAILURE() << rule;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
    }
  }
  const auto rules = emulator::ParseScript(
      "{\"op\":\"SRV\",\"function\":2,\"nth\":2,\"times\":0,\"action\":\"pieces\",\"pieces\":[1,2],\"gap_ms\":5}\n"
      "{\"action\":\"garbage\",\"hex\":\"de ad\"}\n");
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].function, 2);
  EXPECT_EQ(rules[0].times, 0);
  EXPECT_EQ(rules[0].pieces.size(), 2u);
  EXPECT_EQ(rules[1].op, "*");
  EXPECT_EQ(rules[1].data, std::string("\xDE\xAD"));
}

TEST_F(Emulator, RulesApplyByOperationCount) {
  emu_->LoadScript("{\"op\":\"PUR\",\"nth\":2,\"times\":2,\"action\":\"decline\"}");
  bool approved[5];
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Call(L"PUR", 50 + i, L"000000000100"), 0);
    approved[i] = list_.Approve();
    ASSERT_EQ(Call(L"SRV", 60 + i, L"", L"", 4), 0);  // other operations do not count
    EXPECT_TRUE(list_.Approve());
  }
  EXPECT_TRUE(approved[0]);
  EXPECT_FALSE(approved[1]);
  EXPECT_FALSE(approved[2]);
  EXPECT_TRUE(approved[3]);
  EXPECT_TRUE(approved[4]);
}

}  // namespace
}  // namespace velko
