// What an exchange costs: the processor time of a wait on a silent server
// (the driver's thread must sleep, not spin), and the encode and decode cost
// of a typical request and answer.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include "emulator/TerminalEmulator.h"
#include "protocol/uVelkoCommManager.h"

namespace {

using namespace velko;

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void PutSale(TTransactDataList& list) {
  list.Clear();
  list.Add(TagCurrencyCode, L"643");
  list.Add(TagECRNumber, L"01");
  list.Add(TagCardNumberEnc, L"VK1:6E686D6C696A6A6B6B686E6C6F6A6B6C");
  list.Add(TagReceiptNumber, L"0000000015");
  list.Add(TagOperationType, L"PUR");
  list.Add(TagAmount, L"000000012345");
}

// A 3-second answer time-out against a server that accepts and never answers.
void BM_WaitOnSilentServer(benchmark::State& state) {
  emulator::TerminalEmulator emu;
  emu.Start();
  emulator::ScriptRule silent;
  silent.action = emulator::ScriptAction::Silent;
  silent.times = 0;
  emu.AddRule(silent);
  TCommunicationManager manager;
  manager.SetAddress(L"127.0.0.1");
  manager.SetPort(emu.Port());
  manager.SetAnswerTimeOut(3);
  TTransactDataList list;
  double thread_cpu = 0, process_cpu = 0, wall = 0;
  for (auto _ : state) {
    PutSale(list);
    const double t0 = ThreadCpuSeconds(), p0 = ProcessCpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    const int32_t rc = manager.ExecuteTransaction(list);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    thread_cpu += ThreadCpuSeconds() - t0;
    process_cpu += ProcessCpuSeconds() - p0;
    if (rc != 74) state.SkipWithError("the wait did not time out");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["wall_s"] = wall / n;
  state.counters["driver_thread_cpu_s"] = thread_cpu / n;
  state.counters["process_cpu_s"] = process_cpu / n;  // includes the emulator's threads
  state.counters["driver_cpu_percent_of_core"] = 100.0 * thread_cpu / wall;
}
BENCHMARK(BM_WaitOnSilentServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeSaleRequest(benchmark::State& state) {
  TTransactDataList list;
  PutSale(list);
  for (auto _ : state) benchmark::DoNotOptimize(list.EncodedData());
}
BENCHMARK(BM_EncodeSaleRequest);

void BM_DecodeApprovedAnswer(benchmark::State& state) {
  TTransactDataList request;
  PutSale(request);
  emulator::EmulatedServer server;
  const std::string answer = server.Answer(request.EncodedData());  // with a slip of ~800 bytes
  TTransactDataList list;
  for (auto _ : state) {
    list.DecodeAnswer(answer);
    benchmark::DoNotOptimize(list.Approve());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_DecodeApprovedAnswer);

}  // namespace

BENCHMARK_MAIN();
