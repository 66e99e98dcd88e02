#include "TillSettings.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "HostHarness.h"
#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "platform/SystemInfo.h"
#include "terminal/uReceiptEnum.h"

namespace velko::tool {
namespace {

// The driver's module name: its log and settings live in a folder of that name.
constexpr const wchar_t* kDriverName = L"a_velko1c83";

}  // namespace

void AddTillOptions(CLI::App& cmd, TillOptions& options) {
  cmd.add_option("--set", options.settings, "a setting as the host would give it, ID=VALUE (repeatable)")
      ->allow_extra_args(false);
  cmd.add_option("--host-exe", options.host_exe,
                 "the host executable's file name (1cv7.exe reads the settings file as that host does)");
}

std::unique_ptr<HostHarness> MakeTillHost(const TillOptions& options) {
  auto host = std::make_unique<HostHarness>(options.host_exe);
  for (const std::string& setting : options.settings) {
    const size_t eq = setting.find('=');
    if (eq == std::string::npos || eq == 0) throw CLI::ValidationError("--set", "wants ID=VALUE, not " + setting);
    try {
      host->SetSetting(setting.substr(0, eq), setting.substr(eq + 1));
    } catch (const std::runtime_error& e) {
      throw CLI::ValidationError("--set", e.what());  // an unknown setting or a value that does not fit
    }
  }
  return host;
}

TillSettings ReadTillSettings(const TillOptions& options) {
  const std::unique_ptr<HostHarness> made = MakeTillHost(options);
  HostHarness& host = *made;
  TillSettings till;
  if (auto v = host.GetProperty("ServerAddress")) till.serverAddress = v->ToText();
  if (auto v = host.GetProperty("ServerPort")) till.serverPort = v->ToInt32();
  if (auto v = host.GetProperty("AnswerTimeOut")) till.answerTimeOut = v->ToInt32();
  if (auto v = host.GetProperty("ECRNumber")) till.ecrNumber = v->ToInt32();
  if (auto v = host.GetProperty("CurrencyCode")) till.currencyCode = v->ToText();
  if (auto v = host.GetProperty("MerchantID")) till.merchantID = v->ToText();
  if (auto v = host.GetProperty("DebugLogEnabled")) till.debugLog = v->ToBool();
  const CallResult version = host.Call("GetVersion", {});
  if (version.hresult == kS_OK) till.version = version.ret.ToText();
  return till;
}

std::optional<std::wstring> DataRoot() {
  std::optional<std::wstring> root = CommonAppDataFolder();
  if (!root) root = UserAppDataFolder();
  if (!root) return std::nullopt;
  return IncludeTrailingPathDelimiter(*root);
}

DataRootScope DescribeDataRoot() {
  DataRootScope scope;
  const std::string machine = WideToUtf8(IncludeTrailingPathDelimiter(MachineWideDataFolder()));
  if (const char* overridden = std::getenv("VELKO_COMMON_APPDATA"); overridden && *overridden) {
    scope.machineWide = false;
    scope.overridden = true;
    scope.note = "set by VELKO_COMMON_APPDATA for this process only; the till's account uses the machine-wide "
                 "folders under " + machine + " unless its environment sets the same";
    return scope;
  }
  const TReceiptEnum::TFolderChoice choice = TReceiptEnum::ChooseDefaultFolder(false);
  if (choice.MachineWide && choice.Refusal.empty()) {
    // An older every-account folder is kept, with its warning.
    if (!choice.Note.empty()) {
      scope.note = WideToUtf8(choice.Note);
      scope.fix = WideToUtf8(choice.Fix);
    }
    return scope;
  }
  scope.machineWide = false;
  scope.note = WideToUtf8(choice.Refusal.empty() ? choice.Note : choice.Refusal);
  scope.fix = WideToUtf8(choice.Fix);
  return scope;
}

std::wstring DriverFilesFolder(const std::wstring& root) {
  return IncludeTrailingPathDelimiter(root + kDriverName);
}

std::wstring TodaysLogFile(const std::wstring& root) {
  const LocalDateTime now = LocalNow();
  wchar_t date[16];
  std::swprintf(date, 16, L"%04d.%02d.%02d", now.Year, now.Month, now.Day);
  return DriverFilesFolder(root) + kDriverName + L"_" + date + L".log";
}

std::optional<uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace velko::tool
