#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "emulator/TerminalEmulator.h"
#include "platform/PlatformError.h"
#include "common/CardMask.h"
#include "protocol/uVelkoCommManager.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace velko {
namespace {

using emulator::ScriptAction;
using emulator::ScriptRule;
using emulator::TerminalEmulator;
using Clock = std::chrono::steady_clock;

void PutSale(TTransactDataList& list, int receipt, const wchar_t* amount = L"000000012345") {
  list.Clear();
  list.Add(TagCurrencyCode, L"643");
  list.Add(TagECRNumber, L"01");
  wchar_t number[16];
  swprintf(number, 16, L"%.10d", receipt);
  list.Add(TagReceiptNumber, number);
  list.Add(TagOperationType, L"PUR");
  list.Add(TagAmount, amount);
}

ScriptRule Rule(ScriptAction action) {
  ScriptRule r;
  r.op = "PUR";
  r.action = action;
  return r;
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    emu_.Start();
    manager_.SetAddress(L"127.0.0.1");
    manager_.SetPort(emu_.Port());
    manager_.SetAnswerTimeOut(5);
  }

  TerminalEmulator emu_;
  TCommunicationManager manager_;
  TTransactDataList list_;
};

TEST_F(Exchange, ApprovedSaleComesBackDecodedInTheSameList) {
  PutSale(list_, 15);
  ASSERT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(list_.ResponseCode(), L"00");
  EXPECT_EQ(list_.GetTagData(TagReceiptNumber), L"0000000015");
  EXPECT_EQ(list_.TransactionAmount(), 1234500);
  EXPECT_EQ(list_.GetTagData(TagReferenceNumber).size(), 12u);
  EXPECT_EQ(list_.GetTagData(TagAuthorizationCode).size(), 6u);
  EXPECT_EQ(MaskCardNumber(list_.GetTagData(TagCardNumber)), L"************5678");
  EXPECT_GT(list_.GetTagData(TagReceiptText).size(), 300u);  // the slip, in the long length form
  EXPECT_EQ(list_.GetTagData(TagCurrencyCode), L"");          // the request is gone
  ASSERT_TRUE(emu_.Server().Find(15).has_value());
  EXPECT_EQ(emu_.Server().Find(15)->amount, 12345);
}

TEST_F(Exchange, AnswerInPiecesCompletesWithTheLastPiece) {
  ScriptRule r = Rule(ScriptAction::Pieces);
  r.pieces = {2, 3, 1};
  r.gap_ms = 100;
  emu_.AddRule(r);
  PutSale(list_, 16);
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_FALSE(list_.GetTagData(TagReceiptText).empty());
}

TEST_F(Exchange, PartialAnswerThenSilenceTimesOutWithTheFieldsThatCame) {
  ScriptRule r = Rule(ScriptAction::Partial);
  r.bytes = 5;  // the length prefix and the approval field "A1 01 59"
  emu_.AddRule(r);
  manager_.SetAnswerTimeOutMs(1500);
  PutSale(list_, 17);
  const auto started = Clock::now();
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 74);
  const auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1450));
  EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
  EXPECT_EQ(list_.Count(), 1u);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(manager_.Answer().size(), 5u);
}

TEST_F(Exchange, CloseWithoutAnswerTimesOutWithAnEmptyList) {
  emu_.AddRule(Rule(ScriptAction::Close));
  manager_.SetAnswerTimeOut(1);
  PutSale(list_, 18);
  const auto started = Clock::now();
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 74);
  const auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));  // waits out the time-out
  EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
  EXPECT_EQ(list_.Count(), 0u);
}

TEST_F(Exchange, SilentServerGivesUpAfterTheTimeOut) {
  emu_.AddRule(Rule(ScriptAction::Silent));
  manager_.SetAnswerTimeOut(5);
  EXPECT_EQ(manager_.AnswerTimeOut(), 5);
  PutSale(list_, 19);
  const auto started = Clock::now();
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 74);
  const auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(4950));
  EXPECT_LT(elapsed, std::chrono::milliseconds(7000));
}

TEST(ExchangeNoServer, RefusedPortGives1007AndKeepsTheRequest) {
  uint16_t port;
  {
    TerminalEmulator emu;
    emu.Start();
    port = emu.Port();
  }  // stopped: nothing listens there now
  TCommunicationManager manager;
  manager.SetAddress(L"127.0.0.1");
  manager.SetPort(port);
  manager.SetAnswerTimeOut(5);
  TTransactDataList list;
  PutSale(list, 20);
  const std::string request = list.EncodedData();
  EXPECT_EQ(manager.ExecuteTransaction(list), 1007);
  EXPECT_EQ(list.EncodedData(), request);
}

TEST(ExchangeNoServer, UnusableAddressOrPortRaisesAnError) {
  TCommunicationManager manager;
  TTransactDataList list;
  PutSale(list, 21);
  manager.SetAddress(L"127.0.0.1");
  manager.SetPort(0);
  EXPECT_THROW(manager.ExecuteTransaction(list), PlatformError);
  manager.SetPort(70000);
  EXPECT_THROW(manager.ExecuteTransaction(list), PlatformError);
  manager.SetPort(16500);
  manager.SetAddress(L"");
  EXPECT_THROW(manager.ExecuteTransaction(list), PlatformError);
  manager.SetAddress(L"no-such-host.invalid");
  EXPECT_THROW(manager.ExecuteTransaction(list), PlatformError);
  EXPECT_EQ(list.GetTagData(TagOperationType), L"PUR");
}

TEST(ExchangeNoServer, TimeOutPropertyIsInWholeSeconds) {
  TCommunicationManager manager;
  EXPECT_EQ(manager.AnswerTimeOut(), 180);
  manager.SetAnswerTimeOut(5);
  EXPECT_EQ(manager.AnswerTimeOutMs(), 5000);
  manager.SetAnswerTimeOutMs(2999);
  EXPECT_EQ(manager.AnswerTimeOut(), 2);
  manager.SetAddress(std::wstring(300, L'a'));
  EXPECT_EQ(manager.Address().size(), 255u);
}

TEST_F(Exchange, ExtraBytesAfterTheAnswerAreIgnored) {
  ScriptRule r = Rule(ScriptAction::Extra);
  r.data = std::string("\xA1\x01N\xDE\xAD", 5);
  emu_.AddRule(r);
  PutSale(list_, 22);
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_TRUE(list_.Approve());
  EXPECT_EQ(manager_.Answer().size(), 2u + *DeclaredBodyLength(manager_.Answer()));
}

TEST_F(Exchange, FloodAfterTheAnswerDoesNotGrowTheBuffer) {
  ScriptRule r = Rule(ScriptAction::Extra);
  r.bytes = 300000;
  emu_.AddRule(r);
  PutSale(list_, 23);
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_LE(manager_.Answer().size(), kMaxMessageLength);
  EXPECT_TRUE(list_.Approve());
}

TEST_F(Exchange, BodyLengthWithHighLowByteIsReadAsUnsigned) {
  // 00 C8: a 200-byte body, one receipt-text field of 198 bytes.
  std::string answer("\x00\xC8\x9C\xC6", 4);
  answer.append(198, 'x');
  ScriptRule r = Rule(ScriptAction::Garbage);
  r.data = answer;
  emu_.AddRule(r);
  PutSale(list_, 24);
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_EQ(manager_.Answer().size(), 202u);
  EXPECT_EQ(list_.GetTagData(TagReceiptText).size(), 198u);
}

TEST_F(Exchange, TwoExchangesInARowUseTwoConnections) {
  ScriptRule r = Rule(ScriptAction::Extra);
  r.nth = 1;
  r.data = "zz";
  emu_.AddRule(r);
  PutSale(list_, 25);
  ASSERT_EQ(manager_.ExecuteTransaction(list_), 0);
  const std::string first = manager_.Answer();
  PutSale(list_, 26);
  ASSERT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_EQ(list_.GetTagData(TagReceiptNumber), L"0000000026");
  EXPECT_EQ(manager_.Answer().size(), 2u + *DeclaredBodyLength(manager_.Answer()));
  EXPECT_NE(manager_.Answer(), first);
  const auto exchanges = emu_.Exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_NE(exchanges[0].peer, exchanges[1].peer);  // another client port: a new connection
}

TEST_F(Exchange, RequestTooLongIsRefusedBeforeConnecting) {
  PutSale(list_, 27);
  list_.Add(TagCardNumberEnc, std::wstring(70000, L'7'));
  try {
    manager_.ExecuteTransaction(list_);
    FAIL() << "sent";
  } catch (const TMessageTooLong& e) {
    EXPECT_NE(std::string(e.what()).find("C0"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("70000"), std::string::npos) << e.what();
  }
  PutSale(list_, 28);
  ASSERT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_EQ(emu_.Exchanges().size(), 1u);  // only the second one reached the server
}

#ifdef _WIN32
struct Counter {
  static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_APP + 7) ++count;
    return DefWindowProcW(h, m, w, l);
  }
  static inline int count = 0;
};
#endif

TEST_F(Exchange, WaitDispatchesTheThreadsWindowMessages) {
#ifdef _WIN32
  WNDCLASSW wc{};
  wc.lpfnWndProc = &Counter::Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VelkoExchangeTestWindow";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  ScriptRule r = Rule(ScriptAction::Answer);
  r.delay_ms = 500;
  emu_.AddRule(r);
  PostMessageW(window, WM_APP + 7, 0, 0);
  PutSale(list_, 29);
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 0);
  EXPECT_EQ(Counter::count, 1);  // the host's window got its message during the wait
  DestroyWindow(window);
#else
  GTEST_SKIP() << "POSIX has no window messages; the wait is a poll() on the socket";
#endif
}

TEST_F(Exchange, APendingQuitLeavesTheWaitIdleAndReachesTheHostAfterwards) {
#ifdef _WIN32
  // The host's thread was asked to quit just before the wait: the wait must
  // sleep, not spin on the quit message, and hand it back when it is over.
  emu_.AddRule(Rule(ScriptAction::Silent));
  manager_.SetAnswerTimeOutMs(2000);
  PutSale(list_, 31);
  const auto busy_ms = [] {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000;  // 100 ns units
  };
  PostQuitMessage(7);
  const uint64_t before = busy_ms();
  EXPECT_EQ(manager_.ExecuteTransaction(list_), 74);
  EXPECT_LT(busy_ms() - before, 200u) << "processor time spent in a 2 s wait, in ms";
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request is kept";
  EXPECT_EQ(msg.wParam, 7u);
#else
  GTEST_SKIP() << "POSIX has no quit message; the wait is a poll() on the socket";
#endif
}

}  // namespace
}  // namespace velko
