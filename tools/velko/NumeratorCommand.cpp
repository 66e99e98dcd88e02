// velko numerator [--ecr N] [--set ID=VALUE]... [--host-exe NAME] [--json]
//                 show | settle | clear --receipt NUMBER
//
// The receipt numerator of one register, for the support engineer:
// `show` prints the file, the next receipt number and the unfinished record;
// `settle` runs the engine's automatic void of that record now; `clear`
// removes the record, only when told its receipt number. Every one takes the
// numerator's lock as the engine does, so a till in the middle of a payment
// is never disturbed: after the engine's ~1.2 s of attempts the register is
// reported busy. Exit status: 0 done, 1 not done (busy, refused, no such
// record), 2 usage error.
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "TillSettings.h"
#include "common/Common.Log.h"
#include "common/ResultCodes.h"
#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/LockedFile.h"
#include "platform/PlatformError.h"
#include "terminal/uReceiptEnum.h"
#include "terminal/uVelkoDriver.h"

namespace velko::tool {
namespace {

enum class Action { kShow, kSettle, kClear };

struct NumeratorArgs {
  TillOptions till;
  int ecr = -1;  // -1: the ECRNumber setting
  bool json = false;
  std::string receipt;
};

constexpr int kMaxEcr = 99;
const char kBusyText[] =
    "the register is busy: another process holds the numerator (a payment may be running); try again when it is done";

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// What the command does to a numerator goes to the driver's own debug log,
// whatever its level: a record cleared or voided by hand must be on record.
// The log is closed when the command ends (RunNumerator).
void WriteDriverLog(const std::wstring& caption, const std::wstring& text) {
  if (TLog::LogLevel() == 0) {
    try {
      TLog::SetLogFileName(L"a_velko1c83", L"a_velko1c83");
    } catch (const PlatformError&) {
      return;  // no log folder: the screen is all there is
    }
    TLog::SetLogLevel(3);
  }
  TLog::Append(caption, text, TMsgType::mtInfo);
}

struct Outcome {
  int status = 0;
  nlohmann::json json;
  std::string screen;
};

nlohmann::json NumberOrNull(uint32_t value) { return value == 0 ? nlohmann::json() : nlohmann::json(value); }

// The folder in use, and a line when the till's account would use another.
void AddFolder(Outcome& out, const TReceiptEnum& numerator) {
  const DataRootScope scope = DescribeDataRoot();
  out.json["folder"] = Narrow(numerator.FileDir());
  out.json["machineWide"] = scope.machineWide;
  out.screen += "Folder " + Narrow(numerator.FileDir()) + (scope.machineWide ? "" : ": " + scope.note) + "\n";
  if (!scope.fix.empty()) out.screen += "  what to do: " + scope.fix + "\n";
}

// This account's own numerator that the next operation carries into the
// machine-wide one: its numbers, read without changing anything.
void AddPendingMove(Outcome& out, const TReceiptEnum& numerator) {
  const std::wstring own = numerator.PendingMove();
  if (own.empty()) return;
  std::unique_ptr<LockedFile> held = PlatformFileService().OpenExclusive(own);
  unsigned char record[TReceiptEnum::kRecordSize] = {};
  size_t got = 0;
  if (!held || !held->ReadAt(0, record, sizeof record, got)) {
    out.json["moveFrom"] = {{"path", Narrow(own)}, {"held", true}};
    out.screen += "This account's own numerator " + Narrow(own) + " is held or cannot be read; the next operation "
                  "carries it over\n";
    return;
  }
  auto le = [&](int at) {
    return static_cast<uint32_t>(record[at]) | static_cast<uint32_t>(record[at + 1]) << 8 |
           static_cast<uint32_t>(record[at + 2]) << 16 | static_cast<uint32_t>(record[at + 3]) << 24;
  };
  const uint32_t next = got == sizeof record ? le(0) : 1, unfinished = got == sizeof record ? le(4) : 0;
  out.json["moveFrom"] = {{"path", Narrow(own)}, {"nextReceipt", next}, {"unfinished", NumberOrNull(unfinished)}};
  out.screen += "This account's own numerator " + Narrow(own) + " (next receipt " + std::to_string(next) +
                ", unfinished transaction " + (unfinished == 0 ? std::string("none") : "receipt " + std::to_string(unfinished)) +
                ") is carried into this one by the next operation: the larger next number and its record\n";
}

Outcome Show(TReceiptEnum& numerator) {
  Outcome out;
  const std::string path = Narrow(numerator.FilePath());
  out.json = {{"path", path}, {"ecr", numerator.ECRNumber()}};
  AddFolder(out, numerator);
  AddPendingMove(out, numerator);
  if (!FileExists(numerator.FilePath())) {
    out.json["exists"] = false;
    out.screen += "Numerator " + path + ": no file yet (the first operation creates it)\n";
    return out;
  }
  out.json["exists"] = true;
  const int locked = numerator.Lock();
  out.json["held"] = locked == TReceiptEnum::kCannotOpen;
  if (locked != TReceiptEnum::kLocked) {
    const std::string why = locked == TReceiptEnum::kCannotOpen ? kBusyText
                            : numerator.LockError().empty() ? "the file cannot be read"
                                                            : Narrow(numerator.LockError());
    out.status = 1;
    out.json["error"] = why;
    out.screen += "Numerator " + path + ": " + why + "\n";
    return out;
  }
  const uint32_t next = numerator.ReceiptNum(), record = numerator.VoidReceiptNum();
  numerator.Unlock(false);
  out.json["nextReceipt"] = next;
  out.json["unfinished"] = NumberOrNull(record);
  out.screen += "Numerator:               " + path + "\nHeld by another process: no\nNext receipt number:     " +
               std::to_string(next) + "\nUnfinished transaction:  " +
               (record == 0 ? std::string("none")
                            : "receipt " + std::to_string(record) +
                                  " (the next payment voids it first; `velko numerator settle` does it now)") +
               "\n";
  return out;
}

Outcome Settle(const TillSettings& till, int ecr) {
  // The settings the driver hands its engine when the till opens: the void
  // goes out as the till's own automatic void would.
  TVelkoDriver engine;
  engine.SetServerAddress(till.serverAddress);
  engine.SetServerPort(till.serverPort);
  engine.SetTimeOut(till.answerTimeOut);
  engine.SetECRNumber(ecr);
  engine.SetCurrencyCode(till.currencyCode);
  engine.SetMerchantID(till.merchantID);
  engine.SetWriteLogProc(WriteDriverLog);
  Outcome out;
  const std::wstring path = engine.ReceiptEnum().FileDir() + L"ECR" + std::to_wstring(ecr);
  out.json = {{"path", Narrow(path)}, {"ecr", ecr}};
  if (!FileExists(path)) {
    out.json["settled"] = nullptr;
    out.screen = "Numerator " + Narrow(path) + ": no file, nothing to settle\n";
    return out;
  }
  // What is reported is the record read at the lock, not the answer's echo
  // (a server may answer a void without the receipt number).
  uint32_t record = 0;
  const int32_t result = engine.SettleUnfinished(record);
  const TReceiptEnum& numerator = engine.ReceiptEnum();
  const std::wstring receipt = record == 0 ? L"" : TVelkoDriver::FormatReceiptNumber(record);
  const bool sent = record != 0;
  out.json["result"] = result;
  out.json["description"] = Narrow(engine.LastResultDescription());
  out.json["unfinished"] = NumberOrNull(numerator.VoidReceiptNum());
  out.json["voided"] = result == rc::kOk && sent ? nlohmann::json(Narrow(receipt)) : nlohmann::json();
  out.json["answer"] = Narrow(engine.ExtErrorDescription());
  if (result == rc::kNumeratorBusy) {
    out.status = 1;
    out.screen = std::string("Not settled: ") + kBusyText + "\n";
  } else if (result == rc::kOk && !sent) {
    out.screen = "Numerator " + Narrow(path) + ": no unfinished transaction, nothing to settle\n";
  } else if (result == rc::kOk) {
    out.screen = "Settled: the void of receipt " + Narrow(receipt) + " was answered: " +
                 Narrow(engine.LastResultDescription()) + "\nThe unfinished record is removed.\n";
  } else {
    out.status = 1;
    out.screen = "Not settled (" + std::to_string(result) + "): " + Narrow(engine.LastResultDescription()) +
                 "\nThe unfinished record " +
                 (numerator.VoidReceiptNum() != 0 ? "of receipt " + std::to_string(numerator.VoidReceiptNum()) + " " : "") +
                 "stays: the next payment tries again. If the bank confirms that the transaction does not "
                 "stand, `velko numerator clear --receipt NUMBER` removes it.\n";
  }
  return out;
}

Outcome Clear(TReceiptEnum& numerator, uint32_t receipt) {
  Outcome out;
  const std::string path = Narrow(numerator.FilePath());
  out.json = {{"path", path}, {"ecr", numerator.ECRNumber()}, {"cleared", false}};
  out.status = 1;
  if (!FileExists(numerator.FilePath())) {
    out.screen = "Numerator " + path + ": no file, nothing to clear\n";
    return out;
  }
  const int locked = numerator.Lock();
  if (locked != TReceiptEnum::kLocked) {
    out.screen = "Not cleared: " +
                 (locked == TReceiptEnum::kCannotOpen ? std::string(kBusyText) : Narrow(numerator.LockError())) + "\n";
    return out;
  }
  const uint32_t record = numerator.VoidReceiptNum();
  out.json["unfinished"] = NumberOrNull(record);
  if (record != receipt) {
    numerator.Unlock(false);
    out.screen = record == 0 ? "Not cleared: the numerator has no unfinished transaction\n"
                             : "Not cleared: the unfinished transaction is receipt " + std::to_string(record) +
                                   ", not " + std::to_string(receipt) + "\n";
    return out;
  }
  numerator.SetVoidReceiptNum(0);
  // The transaction used its receipt number: it is never given out again.
  if (numerator.ReceiptNum() == record) numerator.IncReceiptNumber();
  const bool saved = numerator.SaveData();
  numerator.Unlock(false);
  if (!saved) {
    out.screen = "Not cleared: the numerator " + path + " could not be written\n";
    return out;
  }
  WriteDriverLog(L"Numerator", L"The unfinished record of receipt " + std::to_wstring(record) + L" in " +
                                   numerator.FilePath() + L" was cleared by the support engineer (velko numerator clear)");
  out.status = 0;
  out.json["cleared"] = true;
  out.json["unfinished"] = nullptr;
  out.screen = "Cleared: the unfinished record of receipt " + std::to_string(record) +
               " is removed; the debug log has a line about it.\n";
  return out;
}

int RunNumerator(const NumeratorArgs& args, Action action) {
  std::optional<uint32_t> receipt;
  if (action == Action::kClear) {
    receipt = ParseNumber(args.receipt);
    if (!receipt || *receipt == 0) {
      std::cerr << "velko numerator clear: --receipt wants the receipt number of the record, not \""
                << args.receipt << "\"" << std::endl;
      return 2;
    }
  }
  // `show` looks: it makes no folder and moves no numerator.
  std::optional<ScopedLookOnly> look_only;
  if (action == Action::kShow) look_only.emplace();
  TillSettings till;
  try {
    if (action == Action::kSettle || args.ecr < 0) till = ReadTillSettings(args.till);
  } catch (const CLI::ValidationError&) {
    throw;
  } catch (const std::exception& e) {
    // The driver cannot be made (its numerator folder cannot be used, say).
    std::cout << "The driver's settings cannot be read: " << e.what() << "\n"
              << "`velko doctor` says what stands in the way." << std::endl;
    return 1;
  }
  TLog::SetLogLevel(0);  // the settings' own log level is not the command's
  const int ecr = args.ecr >= 0 ? args.ecr : till.ecrNumber;
  if (ecr < 0 || ecr > kMaxEcr) {
    std::cerr << "velko numerator: the register number " << ecr << " is outside 0..99" << std::endl;
    return 2;
  }
  Outcome out;
  try {
    if (action == Action::kSettle) {
      out = Settle(till, ecr);
    } else {
      TReceiptEnum numerator;
      numerator.SetECRNumber(ecr);
      out = action == Action::kShow ? Show(numerator) : Clear(numerator, *receipt);
    }
  } catch (const PlatformError& e) {
    // The folder itself is unusable (a file in its place, no rights).
    out.status = 1;
    out.json = {{"error", e.what()}};
    out.screen = std::string("The numerator folder cannot be used: ") + e.what() + "\n";
  }
  TLog::Stop();
  if (args.json)
    std::cout << out.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  else
    std::cout << out.screen << std::flush;
  return out.status;
}

}  // namespace

CommandAction AddNumeratorCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("numerator", "show, settle or clear a register's receipt numerator");
  auto args = std::make_shared<NumeratorArgs>();
  cmd->add_option("--ecr", args->ecr, "the register's number (default: the ECRNumber setting)")
      ->check(CLI::Range(0, kMaxEcr));
  cmd->add_flag("--json", args->json, "one JSON object instead of the screen");
  AddTillOptions(*cmd, args->till);
  cmd->require_subcommand(1);
  auto* show = cmd->add_subcommand("show", "the file, the next receipt number, the unfinished record");
  auto* settle = cmd->add_subcommand("settle", "void the unfinished transaction now, as the next payment would");
  auto* clear = cmd->add_subcommand("clear", "remove the unfinished record of the given receipt number");
  // The register's options may follow the action too (velko numerator settle --set ...).
  for (CLI::App* action : {show, settle, clear}) action->fallthrough();
  clear->add_option("--receipt", args->receipt, "the receipt number of the record (confirmed with the bank)")
      ->required();
  return [args, show, settle]() -> int {
    const Action action = show->parsed() ? Action::kShow : settle->parsed() ? Action::kSettle : Action::kClear;
    return RunNumerator(*args, action);
  };
}

}  // namespace velko::tool
