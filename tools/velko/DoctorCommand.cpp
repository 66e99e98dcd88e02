// velko doctor [--set ID=VALUE]... [--host-exe NAME] [--pinpad] [--json]
//
// One screen that says whether this till can take a payment and, if not,
// why and what to do: the driver's version, its data folders, the debug log,
// every receipt numerator, the terminal server (and with --pinpad the pinpad
// test that "Подключить" runs, which uses a receipt number), and on Windows
// the COM registration. Exit status: 0 when nothing blocks payments, 1 when
// something does, 2 for a usage error.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Doctor.h"
#include "HostHarness.h"
#include "TillSettings.h"
#include "common/TextUtf.h"
#include "common/BaseSecurity.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/LockedFile.h"
#include "platform/PlatformError.h"
#include "platform/SharedFile.h"
#include "platform/TcpClient.h"
#include "terminal/uReceiptEnum.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velko::tool {
namespace {

namespace fs = std::filesystem;

struct DoctorArgs {
  TillOptions till;
  bool pinpad = false;
  bool json = false;
};

constexpr uint32_t kConnectLimitMs = 5000;

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

std::wstring ParentFolder(const std::wstring& bare) {
  const size_t slash = bare.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : bare.substr(0, slash == 0 ? 1 : slash);
}

// `keepEveryAccount`: the numerator stays in an older every-account folder.
DoctorLine FolderLine(const std::string& what, const std::wstring& folder, bool keepEveryAccount) {
  DoctorLine line{what + " folder", Severity::kOk, Narrow(folder), "", {{"path", Narrow(folder)}}};
  std::error_code ec;
  // Without its delimiter: a file in the folder's place must show as a file.
  std::wstring bare = folder;
  while (bare.size() > 1 && bare.back() == PathDelimiter()) bare.pop_back();
  const fs::file_status status = fs::symlink_status(fs::path(bare), ec);
  line.data["exists"] = fs::exists(status);
  if (!fs::exists(status)) {
    if (MayCreateFilesIn(ParentFolder(bare))) {
      line.severity = Severity::kNote;
      line.text += ": missing; the driver creates it at its first use";
    } else {
      line.severity = Severity::kNote;
      line.text += ": missing, and this account cannot create it";
      line.fix = TillFolderCommand({bare}, {}, ThisAccountName());
    }
    return line;
  }
  if (!fs::is_directory(status)) {
    line.severity = Severity::kBlocks;
    line.text += ": something that is not a folder stands in its place";
    line.fix = "remove or rename " + Narrow(folder) + " so that the driver can create its folder there";
    return line;
  }
  // Whether the folder is the till's (made by an administrator or this
  // account, changed only by the till's accounts); an administrator's run
  // corrects what it may, as the driver does.
  const FolderCheck check = CheckTillFolder(bare, keepEveryAccount);
  line.data["owner"] = check.ownerName;
  line.data["verdict"] = check.verdict == FolderVerdict::kUse           ? "use"
                         : check.verdict == FolderVerdict::kUseRepaired ? "repaired"
                         : check.verdict == FolderVerdict::kUseWarned   ? "olderFolderKept"
                                                                        : "refused";
  line.data["othersMayReplaceFiles"] = check.access == FolderAccess::kOpen;
  if (check.verdict == FolderVerdict::kRefuse) {
    // A refused numerator folder stops payments; the log and the settings
    // go to the account's own folder meanwhile.
    line.severity = keepEveryAccount ? Severity::kBlocks : Severity::kNote;
    line.text += ": " + check.reason;
    if (!keepEveryAccount) line.text += "; this account's own folder serves the log and the settings meanwhile";
    line.fix = check.owner == FolderOwner::kOther
                   ? "remove it (it is not the till's; keep its numerator files if they are the till's) and run: " +
                         TillFolderCommand({bare}, {}, ThisAccountName())
                   : TillFolderCommand({}, {bare}, ThisAccountName());
    return line;
  }
  if (check.verdict != FolderVerdict::kUse) {
    line.severity = Severity::kNote;
    line.text += ": " + check.reason;
    if (check.verdict == FolderVerdict::kUseWarned) line.fix = TillFolderCommand({}, {bare}, ThisAccountName());
  }
  if (check.groupIsEveryLocalAccount) {
    if (line.severity == Severity::kOk) line.severity = Severity::kNote;
    line.text += "; the group that may create files in it is every local account (Users)";
    if (line.fix.empty())
      line.fix = "narrow it to the till's accounts as INSTALL.md says (a group of their own in place of Users)";
  }
  const bool writable = MayCreateFilesIn(bare);
  line.data["writable"] = writable;
  line.text += writable ? "; this account may create files in it" : "; this account may NOT create files in it";
  if (!writable && line.fix.empty()) {
    if (line.severity == Severity::kOk) line.severity = Severity::kNote;
    line.fix = TillFolderCommand({}, {}, ThisAccountName());
  }
#ifndef _WIN32
  struct stat st {};
  if (stat(Narrow(bare).c_str(), &st) == 0) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode) & 07777);
    line.data["mode"] = octal;
    line.text += std::string(", mode ") + octal;
  }
#endif
  return line;
}

DoctorLine LogLine(const TillSettings& till, const std::wstring& root) {
  const std::wstring file = TodaysLogFile(root);
  DoctorLine line{"debug log", Severity::kOk, till.debugLog ? "on" : "off", "",
                  {{"enabled", till.debugLog}, {"file", Narrow(file)}}};
  std::error_code ec;
  const auto size = fs::file_size(fs::path(file), ec);
  if (ec) {
    line.text += "; today's file " + Narrow(file) + " does not exist";
    return line;
  }
  line.data["size"] = size;
  line.text += "; today's file " + Narrow(file) + ", " + std::to_string(size) + " bytes";
  // Lines the driver could not write are counted in the next line it wrote.
  static const std::string kDropped = " line(s) before this one could not be written";
  uint64_t dropped = 0;
  std::ifstream in(fs::path(file), std::ios::binary);
  for (std::string text; std::getline(in, text);) {
    const size_t at = text.find(kDropped);
    if (at == std::string::npos) continue;
    size_t start = at;
    while (start > 0 && at - start < 18 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
    if (start < at) dropped += std::stoull(text.substr(start, at - start));
  }
  line.data["droppedLines"] = dropped;
  if (dropped > 0) {
    line.severity = Severity::kNote;
    line.text += "; " + std::to_string(dropped) + " line(s) were dropped today";
    line.fix = "something holds the log file open (an editor, a backup or virus scanner): let it go";
  }
  return line;
}

uint32_t ReadLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// "ECR" and a register number as the driver writes it: at most two digits,
// no leading zero ("ECR01" is no file of the driver's; register 1 is ECR1).
bool IsNumeratorName(const std::string& name) {
  if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "ECR") != 0) return false;
  if (name.size() == 5 && name[3] == '0') return false;
  return name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// A name the driver would not give, that a reader might take for one.
bool LooksLikeNumeratorName(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "ECR") == 0 &&
         name.find_first_not_of("0123456789", 3) == std::string::npos && !IsNumeratorName(name);
}

// How to find and remove the other name of a file with two.
std::string OtherNameFix(const std::wstring& path) {
#ifdef _WIN32
  return "the file has a second name somewhere on the disk (a hard link someone made); list its names with "
         "`fsutil hardlink list \"" + Narrow(path) + "\"` and delete the one that is not " + Narrow(path) +
         "; the numerator then works again with its numbers";
#else
  return "the file has a second name somewhere on the disk (a hard link someone made); find it with "
         "`find / -xdev -samefile '" + Narrow(path) + "'` and remove the one that is not " + Narrow(path) +
         "; the numerator then works again with its numbers";
#endif
}

std::vector<DoctorLine> NumeratorLines(const std::wstring& folder) {
  std::vector<DoctorLine> lines;
  std::error_code ec;
  std::vector<fs::path> files;
  std::vector<std::string> strays;
  for (const auto& entry : fs::directory_iterator(fs::path(folder), ec)) {
    const std::string name = Narrow(entry.path().filename().wstring());
    if (IsNumeratorName(name)) files.push_back(entry.path());
    if (LooksLikeNumeratorName(name)) strays.push_back(name);
  }
  std::sort(files.begin(), files.end());
  std::sort(strays.begin(), strays.end());
  for (const std::string& name : strays)
    lines.push_back({"file " + name, Severity::kNote,
                     name + " in the numerator folder is no numerator: the driver names register N's file ECR"
                            "N, without leading zeros or more than two digits, and never uses this one",
                     "", {{"name", name}}});
  for (const fs::path& file : files) {
    const std::wstring path = file.wstring();
    const std::string name = Narrow(file.filename().wstring());
    DoctorLine line{"numerator " + name, Severity::kOk, Narrow(path), "",
                    {{"path", Narrow(path)}, {"ecr", std::stoi(name.substr(3))}}};
    std::unique_ptr<LockedFile> held = PlatformFileService().OpenExclusive(path);
    if (!held) {
      if (auto reason = RefusedFileReason(path)) {
        line.severity = Severity::kBlocks;
        line.text += ": " + *reason;
        const bool second_name = reason->find(kSecondNameReason) != std::string::npos;
        line.data["otherNames"] = second_name;
        line.fix = second_name ? OtherNameFix(path)
                               : "remove it: the driver makes a new numerator (receipt numbers start again at 1)";
      } else {
        line.severity = Severity::kNote;
        line.data["held"] = true;
        line.text += ": held by another process (a payment running now, or a host that hangs)";
        line.fix = "if it stays held, close the host program that holds it";
      }
      lines.push_back(std::move(line));
      continue;
    }
    line.data["held"] = false;
    unsigned char record[TReceiptEnum::kRecordSize] = {};
    size_t got = 0;
    const bool read = held->ReadAt(0, record, sizeof record, got);
    held.reset();
    const uint32_t next = got == sizeof record ? ReadLE32(record) : 1;
    const uint32_t unfinished = got == sizeof record ? ReadLE32(record + 4) : 0;
    if (!read) {
      line.severity = Severity::kBlocks;
      line.text += ": cannot be read";
      line.fix = "check the disk and the file's rights";
    } else if (got > 0 && got < sizeof record) {
      // Not a new (empty) file: one the driver wrote would hold the whole
      // record. Read as it stands, it would start the numbering again at 1.
      line.severity = Severity::kBlocks;
      line.data["size"] = got;
      line.text += ": damaged, " + std::to_string(got) + " bytes instead of " + std::to_string(sizeof record) +
                   "; the numbering would start again at receipt 1";
      line.fix = "restore the file from a backup; without one, find the last receipt number this register used "
                 "(the terminal server's journal) and have the numerator continue after it";
    } else {
      line.data["nextReceipt"] = next;
      line.data["unfinished"] = unfinished == 0 ? nlohmann::json() : nlohmann::json(unfinished);
      line.text += ": free, next receipt " + std::to_string(next) + ", unfinished transaction " +
                   (unfinished == 0 ? std::string("none") : "receipt " + std::to_string(unfinished));
      if (unfinished != 0) {
        line.severity = Severity::kNote;
        line.fix = "the next payment voids it first; `velko numerator --ecr " + name.substr(3) +
                   " settle` does it now and shows the server's answer";
      }
    }
    lines.push_back(std::move(line));
  }
  if (files.empty())
    lines.push_back({"numerators", Severity::kOk, "none yet (the first operation creates one)", "", {}});
  return lines;
}

DoctorLine ServerLine(const TillSettings& till) {
  const std::string address = Narrow(till.serverAddress);
  const std::string where = address + ":" + std::to_string(till.serverPort);
  DoctorLine line{"terminal server", Severity::kOk, where, "", {{"address", address}, {"port", till.serverPort}}};
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  std::string error;
  if (till.serverPort <= 0 || till.serverPort > 65535) {
    error = "the port is not a TCP port";
  } else {
    try {
      auto client = CreatePlatformTcpClient();
      client->Connect(address, static_cast<uint16_t>(till.serverPort));
      while (client->GetState() == TcpClient::State::Connecting && elapsed() < kConnectLimitMs) client->Wait(100);
      if (client->GetState() == TcpClient::State::Failed)
        error = "the connection was refused or the address cannot be reached";
      else if (client->GetState() != TcpClient::State::Connected)
        error = "no answer to the connection within " + std::to_string(kConnectLimitMs / 1000) + " s";
      client->Close();
    } catch (const PlatformError& e) {
      error = e.what();
    }
  }
  line.data["ms"] = elapsed();
  if (error.empty()) {
    line.data["connected"] = true;
    line.text += ": connected in " + std::to_string(elapsed()) + " ms";
  } else {
    line.data["connected"] = false;
    line.data["error"] = error;
    line.severity = Severity::kBlocks;
    line.text += ": " + error;
    line.fix = "start the terminal server (VELKO32) on that machine, or correct the ServerAddress and "
               "ServerPort settings; check a firewall between them";
  }
  return line;
}

DoctorLine PinpadLine(const TillOptions& options) {
  DoctorLine line{"pinpad test", Severity::kOk, "", "", {}};
  const auto host = MakeTillHost(options);
  const CallResult opened = host->Call("Подключить", {});
  line.data["code"] = opened.lastErrorCode;
  if (opened.hresult == kS_OK && opened.ret.ToBool()) {
    line.text = "\"Подключить\" succeeded";
  } else {
    line.severity = Severity::kBlocks;
    line.text = "\"Подключить\" failed: " + std::to_string(opened.lastErrorCode) + " " +
                Narrow(opened.lastErrorText);
    line.fix = "check the pinpad's cable and power and the terminal server's own log";
  }
  return line;
}

std::vector<DoctorLine> RunChecks(const DoctorArgs& args) {
  std::vector<DoctorLine> lines;
  // The doctor looks: it makes no folder and moves no numerator (the driver
  // object made below included).
  const ScopedLookOnly look_only;
  const TReceiptEnum::TFolderChoice numerator = TReceiptEnum::ChooseDefaultFolder(false);
  const TSharedFolderChoice files = ChooseSharedFolder(L"a_velko1c83", false);
  if (numerator.Folder.empty() || files.Folder.empty()) {
    lines.push_back({"data folders", Severity::kBlocks, "no application-data folder is available",
                     "set up the machine-wide application-data folder (or the user's)", {}});
    return lines;
  }
  const std::wstring root = IncludeTrailingPathDelimiter(ParentFolder(files.Folder));
  const std::wstring numerators = numerator.Folder;
  lines.push_back(FolderLine("numerator", numerators, true));
  const DataRootScope scope = DescribeDataRoot();
  if (scope.overridden) {
    lines.push_back({"machine-wide folder", Severity::kOk, Narrow(numerators) + " is " + scope.note, "",
                     {{"machineWide", false}, {"overridden", true}}});
  } else if (!numerator.MachineWide || !files.MachineWide) {
    const std::wstring note = !numerator.MachineWide ? numerator.Note : files.Note;
    const std::wstring fix = !numerator.MachineWide ? numerator.Fix : files.Fix;
    lines.push_back({"machine-wide folder", Severity::kNote,
                     "not used by this account: " + Narrow(note) +
                         (numerator.MachineWide ? "" : "; the till's accounts would number the same register twice"),
                     Narrow(fix), {{"machineWide", false}, {"overridden", false}}});
  }
  // This account's own numerators that the next operation carries over.
  if (const std::optional<std::wstring> user = UserAppDataFolderPath(); user && numerator.MachineWide) {
    const fs::path own = fs::path(IncludeTrailingPathDelimiter(*user) + L"velko32");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(own, ec)) {
      const std::string name = Narrow(entry.path().filename().wstring());
      if (name.size() < 4 || name.size() > 5 || name.compare(0, 3, "ECR") != 0 ||
          name.find_first_not_of("0123456789", 3) != std::string::npos)
        continue;
      lines.push_back({"numerator move", Severity::kNote,
                       Narrow(entry.path().wstring()) + " (this account's own numerator) is carried into " +
                           Narrow(numerators) + " by the next operation: the larger next number and its unfinished "
                           "record",
                       "", {{"from", Narrow(entry.path().wstring())}}});
    }
  }
  // A machine-wide folder that is there but not the till's is what needs
  // mending, though the account's own folder serves meanwhile.
  std::wstring files_line = files.Folder;
  if (const std::wstring machine_root = MachineDataRoot(); !files.MachineWide && !machine_root.empty()) {
    const std::wstring machine = IncludeTrailingPathDelimiter(machine_root) + L"a_velko1c83";
    if (CheckTillFolder(machine, false).exists) files_line = machine;
  }
  lines.push_back(FolderLine("log and settings", IncludeTrailingPathDelimiter(files_line), false));

  TillSettings till;
  bool driver = true;
  try {
    till = ReadTillSettings(args.till);
    lines.insert(lines.begin(), {"driver", Severity::kOk, "a_velko1c83 " + Narrow(till.version), "",
                                 {{"version", Narrow(till.version)}}});
  } catch (const CLI::ValidationError&) {
    throw;
  } catch (const std::exception& e) {
    driver = false;
    lines.insert(lines.begin(), {"driver", Severity::kBlocks, std::string("cannot be made: ") + e.what(),
                                 "the lines below say what stands in its way", {}});
  }
  lines.push_back(LogLine(till, root));
  for (DoctorLine& line : NumeratorLines(numerators)) lines.push_back(std::move(line));
  lines.push_back(ServerLine(till));
  if (args.pinpad && driver) lines.push_back(PinpadLine(args.till));
#ifdef _WIN32
  for (DoctorLine& line : ComRegistrationLines()) lines.push_back(std::move(line));
#endif
  return lines;
}

const char* SeverityName(Severity s) {
  return s == Severity::kOk ? "ok" : s == Severity::kNote ? "note" : "blocks";
}

}  // namespace

CommandAction AddDoctorCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("doctor", "whether this till can take a payment, and if not, why and what to do");
  auto args = std::make_shared<DoctorArgs>();
  AddTillOptions(*cmd, args->till);
  cmd->add_flag("--pinpad", args->pinpad, "also run the pinpad test as \"Подключить\" does (uses a receipt number)");
  cmd->add_flag("--json", args->json, "one JSON object instead of the screen");
  return [args]() -> int {
    const std::vector<DoctorLine> lines = RunChecks(*args);
    size_t blocking = 0;
    for (const DoctorLine& line : lines) blocking += line.severity == Severity::kBlocks;
    if (args->json) {
      nlohmann::json out = {{"canPay", blocking == 0}, {"checks", nlohmann::json::array()}};
      for (const DoctorLine& line : lines) {
        nlohmann::json item = line.data;
        item["check"] = line.check;
        item["status"] = SeverityName(line.severity);
        item["text"] = line.text;
        if (!line.fix.empty()) item["fix"] = line.fix;
        out["checks"].push_back(std::move(item));
      }
      std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    } else {
      for (const DoctorLine& line : lines) {
        const char* mark = line.severity == Severity::kOk ? "  ok    " : line.severity == Severity::kNote ? "  note  " : "  BLOCKS";
        std::cout << mark << " " << line.check << ": " << line.text << "\n";
        if (!line.fix.empty()) std::cout << "         what to do: " << line.fix << "\n";
      }
      if (blocking == 0)
        std::cout << "This till can take a payment.\n";
      else
        std::cout << "This till cannot take a payment: " << blocking << " line(s) marked BLOCKS say what to do.\n";
      std::cout << std::flush;
    }
    return blocking == 0 ? 0 : 1;
  };
}

}  // namespace velko::tool
