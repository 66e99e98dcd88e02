// What the driver costs end to end, measured against the floor in the same run.
//
// BM_SaleEndToEnd: one card payment ("ОплатитьПлатежнойКартой") through the
// add-in object, as the host calls it, against the emulator; and the floor:
// a plain client that sends the same request bytes over a fresh loopback
// connection to the same emulator and reads the answer. The two alternate, so
// both see the same emulator and the same machine. The numerator's flush (two
// per recorded sale: the unfinished record, then the advanced number) is
// timed apart: the numerator's own steps with the platform's file service and
// with one whose flush does nothing. Each timed step starts on an idle
// emulator (see Settle), whatever ran before it.
//
// BM_DispatchLogOffOn: a host call (the driver's version) through the add-in
// object with the debug log off, then on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HostHarness.h"
#include "emulator/TerminalEmulator.h"
#include "platform/LockedFile.h"
#include "protocol/uVelkoCommManager.h"
#include "protocol/uVelkoCommon.h"
#include "terminal/uReceiptEnum.h"
#include "terminal/uVelkoDriver.h"

namespace {

using namespace velko;
using Clock = std::chrono::steady_clock;

// Before each timed step: the emulator's thread of the previous connection
// has ended, so no step pays for the one before it.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A data folder of the benchmark's own (numerator, debug log, settings) on the
// disk the temporary files live on, so the flush is a real one.
class DataFolder {
 public:
  DataFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velko-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
    ::setenv("VELKO_COMMON_APPDATA", path_.c_str(), 1);
  }
  ~DataFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One exchange as the least a client can do: connect, send, read the answer
// its length prefix announces, close.
std::string FloorExchange(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buffer[4096];
    for (;;) {
      const auto declared = DeclaredBodyLength(answer);
      if (declared && answer.size() >= kMessageLengthSize + *declared) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

// The request the driver sends for a sale of 100,00 without card data.
void PutSale(TTransactDataList& list, uint32_t receipt) {
  list.Clear();
  list.Add(TagCurrencyCode, L"643");
  list.Add(TagECRNumber, L"01");
  list.Add(TagReceiptNumber, TVelkoDriver::FormatReceiptNumber(receipt));
  list.Add(TagOperationType, L"PUR");
  list.Add(TagAmount, L"000000010000");
}

std::string SaleRequest(uint32_t receipt) {
  TTransactDataList list;
  PutSale(list, receipt);
  return list.EncodedData();
}

// The platform's numerator file with a flush that does nothing.
class NoFlushFile : public LockedFile {
 public:
  explicit NoFlushFile(std::unique_ptr<LockedFile> inner) : inner_(std::move(inner)) {}
  bool Size(uint64_t& size) override { return inner_->Size(size); }
  bool LockRange(uint64_t length) override { return inner_->LockRange(length); }
  void UnlockRange(uint64_t length) override { inner_->UnlockRange(length); }
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
    return inner_->ReadAt(offset, buffer, length, got);
  }
  bool WriteAt(uint64_t offset, const void* data, size_t length) override {
    return inner_->WriteAt(offset, data, length);
  }
  bool Flush() override { return true; }

 private:
  std::unique_ptr<LockedFile> inner_;
};

class NoFlushFiles : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    auto file = PlatformFileService().OpenExclusive(path);
    if (!file) return nullptr;
    return std::make_unique<NoFlushFile>(std::move(file));
  }
};

// The numerator's part of one recorded sale: lock, write the record, clear
// it, advance and release.
double NumeratorSteps(TReceiptEnum& numerator) {
  const auto t0 = Clock::now();
  if (numerator.Lock() != TReceiptEnum::kLocked) throw std::runtime_error("the numerator is busy");
  numerator.SetVoidReceiptNum(numerator.ReceiptNum());
  if (!numerator.SaveData()) throw std::runtime_error("the numerator cannot be written");
  numerator.SetVoidReceiptNum(0);
  numerator.IncReceiptNumber();
  numerator.Unlock(true);
  return Seconds(t0);
}

void BM_SaleEndToEnd(benchmark::State& state) {
  DataFolder folder;
  emulator::TerminalEmulator emu;
  emu.Start();
  tool::HostHarness host;
  host.SetSetting("ServerPort", std::to_string(emu.Port()));
  if (!host.Call("Подключить", {}).ret.ToBool()) {
    state.SkipWithError("the device did not open");
    return;
  }
  int32_t sale = -1;
  host.Object().FindMethod(L"ОплатитьПлатежнойКартой", sale);

  NoFlushFiles no_flush;
  TReceiptEnum flushed, unflushed(no_flush);
  flushed.SetECRNumber(98);
  unflushed.SetECRNumber(99);

  TCommunicationManager exchange;
  exchange.SetAddress(L"127.0.0.1");
  exchange.SetPort(emu.Port());
  exchange.SetAnswerTimeOut(10);

  std::vector<double> driver, floor, exchanged, with_flush, without_flush;
  uint32_t floor_receipt = 1000000;
  for (auto _ : state) {
    auto params = HostArray::Vector({HostValue(), HostValue::FromString(L""), HostValue::FromInt32(100), HostValue(),
                                     HostValue(), HostValue(), HostValue()});
    HostValue ret;
    Settle();
    auto t0 = Clock::now();
    host.Object().CallAsFunc(sale, ret, *params);
    driver.push_back(Seconds(t0));
    if (!ret.ToBool()) state.SkipWithError("a sale was not approved");

    const std::string request = SaleRequest(++floor_receipt);
    Settle();
    t0 = Clock::now();
    const std::string answer = FloorExchange(emu.Port(), request);
    floor.push_back(Seconds(t0));
    if (answer.size() < kMessageLengthSize) state.SkipWithError("the floor client got no answer");

    // The driver's own exchange alone, without the engine and the numerator.
    TTransactDataList list;
    PutSale(list, ++floor_receipt);
    Settle();
    t0 = Clock::now();
    if (exchange.ExecuteTransaction(list) != 0) state.SkipWithError("the exchange failed");
    exchanged.push_back(Seconds(t0));

    with_flush.push_back(NumeratorSteps(flushed));
    without_flush.push_back(NumeratorSteps(unflushed));
  }
  const double d = Median(driver), f = Median(floor);
  const double flush = std::max(0.0, Median(with_flush) - Median(without_flush));
  state.counters["driver_ms"] = d * 1e3;
  state.counters["floor_ms"] = f * 1e3;
  state.counters["exchange_ms"] = Median(exchanged) * 1e3;
  state.counters["ratio"] = d / f;
  state.counters["flush_ms_per_sale"] = flush * 1e3;
  state.counters["numerator_unflushed_ms"] = Median(without_flush) * 1e3;
  state.counters["ratio_without_flush"] = (d - flush) / f;
}
BENCHMARK(BM_SaleEndToEnd)->Iterations(300)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DispatchLogOffOn(benchmark::State& state) {
  DataFolder folder;
  tool::HostHarness host;
  int32_t version = -1;
  host.Object().FindMethod(L"ПолучитьНомерВерсии", version);
  auto timed = [&](int calls) {
    std::vector<double> each;
    for (int i = 0; i < calls; ++i) {
      auto params = HostArray::Vector({});
      HostValue ret;
      const auto t0 = Clock::now();
      host.Object().CallAsFunc(version, ret, *params);
      each.push_back(Seconds(t0));
    }
    return Median(each);
  };
  double off = 0, on = 0;
  for (auto _ : state) {
    host.SetSetting("DebugLogEnabled", "false");
    off = timed(2000);
    host.SetSetting("DebugLogEnabled", "true");
    on = timed(2000);
    host.SetSetting("DebugLogEnabled", "false");
  }
  state.counters["log_off_us"] = off * 1e6;
  state.counters["log_on_us"] = on * 1e6;
  state.counters["ratio_on_off"] = on / off;
}
BENCHMARK(BM_DispatchLogOffOn)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
