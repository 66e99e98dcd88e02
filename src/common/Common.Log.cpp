#include "common/Common.Log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "common/BaseSecurity.h"
#include "common/CardMask.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"
#include "platform/Services.h"
#include "platform/SharedFile.h"

namespace velko {
namespace {

struct LogState {
  std::atomic<uint8_t> level{0};
  std::atomic<bool> started{false};
  std::mutex start_lock;  // one banner even when two threads start at once
  std::mutex lock;        // the log lock: one append at a time
  // Guarded by `lock`:
  std::wstring file_name;
  std::wstring folder_note;  // why the log is not in the machine-wide folder
  uint64_t dropped_total = 0;
  uint64_t dropped_unreported = 0;
  std::mutex clock_lock;  // apart from `lock`: lines are stamped while it is held
  std::function<LocalDateTime()> clock;
};

LogState& State() {
  static LogState state;
  return state;
}

LocalDateTime Now() {
  LogState& state = State();
  std::function<LocalDateTime()> clock;
  {
    std::lock_guard<std::mutex> guard(state.clock_lock);
    clock = state.clock;
  }
  return clock ? clock() : LocalNow();
}

std::wstring Trim(const std::wstring& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && text[begin] <= L' ') ++begin;
  while (end > begin && text[end - 1] <= L' ') --end;
  return text.substr(begin, end - begin);
}

std::wstring Printf2(const wchar_t* format, int a, int b, int c) {
  wchar_t buf[64];
  std::swprintf(buf, 64, format, a, b, c);
  return buf;
}

std::wstring DateText(const LocalDateTime& t) { return Printf2(L"%04d.%02d.%02d", t.Year, t.Month, t.Day); }

std::wstring ModuleFileName() {
  const std::wstring path = Services().Process->ModuleFilePath();
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ModuleBaseName() {
  const std::wstring name = ModuleFileName();
  const size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring FolderOf(const std::wstring& file) {
  const size_t slash = file.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
}

// A held file is tried again after these pauses (about 200 ms in all): short
// ones first, since another process holds it only for one line's append.
constexpr uint32_t kRetryPauses[] = {1, 2, 4, 8, 15, 25, 40, 50, 50};

// Appends one line; false when it had to be dropped.
bool AppendLine(const std::wstring& text, const std::wstring& file) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  std::string bytes;
  if (state.dropped_unreported > 0) {
    const std::wstring notice = TLog::FormatLogString(
        L"LOG",
        std::to_wstring(state.dropped_unreported) +
            L" line(s) before this one could not be written: the log file was held or could not be opened",
        TMsgType::mtError);
    bytes = WideToUtf8(notice) + "\r\n";
  }
  bytes += WideToUtf8(MaskCardNumbersInText(text)) + "\r\n";

  AppendResult result = AppendResult::kFailed;
  if (!file.empty()) {
    // A folder removed after load comes back, one level deep.
    const std::wstring folder = FolderOf(file);
    if (!folder.empty() && !FolderExists(folder) && !FoldersLookOnly()) CreateTillFolder(folder);
    result = AppendDenyingWriters(file, bytes);
    for (uint32_t pause : kRetryPauses) {
      if (result != AppendResult::kBusy) break;
      Services().Process->Sleep(pause);
      result = AppendDenyingWriters(file, bytes);
    }
  }
  if (result == AppendResult::kWritten) {
    state.dropped_unreported = 0;
    return true;
  }
  ++state.dropped_total;
  ++state.dropped_unreported;
  return false;
}

void WriteLine(const std::wstring& text) {
  std::wstring file = TLog::LogFileName();
  if (Trim(file).empty()) {
    try {
      file = TLog::BuildLogFileName(L"", L"");
    } catch (...) {
      file.clear();  // no folder: the line is dropped and counted
    }
  }
  AppendLine(text, file);
}

}  // namespace

uint8_t TLog::LogLevel() { return State().level.load(); }
void TLog::SetLogLevel(uint8_t level) { State().level.store(level); }

std::wstring TLog::FormatLogString(const std::wstring& ACaption, const std::wstring& AMessage,
                                   TMsgType AMsgType) {
  const LocalDateTime t = Now();
  const wchar_t sep = ProcessFormats().TimeSeparator;
  wchar_t stamp[64];
  std::swprintf(stamp, 64, L"%04d.%02d.%02d %02d%lc%02d%lc%02d.%03d", t.Year, t.Month, t.Day, t.Hour,
                static_cast<wint_t>(sep), t.Minute, static_cast<wint_t>(sep), t.Second, t.Millisecond);
  std::wstring line = stamp;
  if (AMsgType == TMsgType::mtError) line += L"\tERROR!";
  line += L"\t" + Trim(ACaption);
  if (!AMessage.empty()) line += L": \t" + Trim(AMessage);
  return line;
}

void TLog::Append(const std::wstring& ACaption, const std::wstring& AMessage,
                  TMsgType AMsgType) noexcept {
  try {
    if (LogLevel() == 0) return;
    Start();
    WriteLine(FormatLogString(ACaption, AMessage, AMsgType));
  } catch (...) {
    // Logging never fails the caller; an unwritable line is counted as dropped.
  }
}

void TLog::Start() noexcept {
  try {
    LogState& state = State();
    if (LogLevel() == 0 || state.started.load()) return;
    std::lock_guard<std::mutex> guard(state.start_lock);
    if (state.started.load()) return;
    const std::wstring blanks(40, L' ');
    WriteLine(blanks);
    WriteLine(L"============Start log=============");
    WriteLine(L"OS version:\t" + GetOSVersionText());
    WriteLine(L"Application:\t" + ModuleFileName());
    WriteLine(L"App. version:\t" + Services().Process->ModuleFileVersion());
    WriteLine(blanks);
    std::wstring note;
    {
      std::lock_guard<std::mutex> guard(state.lock);
      note = state.folder_note;
    }
    if (!note.empty()) WriteLine(FormatLogString(L"LOG", L"the log's folder: " + note, TMsgType::mtInfo));
    state.started.store(true);
  } catch (...) {
  }
}

void TLog::Stop() noexcept {
  try {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.start_lock);
    if (LogLevel() == 0 || !state.started.load()) return;
    WriteLine(L"============Stop log===============\r\n");
    // The host may create objects again: their lines get a banner of their
    // own rather than following the closing line.
    state.started.store(false);
  } catch (...) {
  }
}

void TLog::SetLogFileName(const std::wstring& AOnlyName, const std::wstring& AOnlyDir) {
  const std::wstring name = BuildLogFileName(AOnlyName, AOnlyDir);
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.file_name = name;
}

std::wstring TLog::LogFileName() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.file_name;
}

std::wstring TLog::BuildLogFileName(const std::wstring& AOnlyName, const std::wstring& AOnlyDir) {
  const std::wstring base = AOnlyName.empty() ? ModuleBaseName() : AOnlyName;
  const std::wstring folder = GetLogFolder(AOnlyDir);
  if (folder.empty()) return L"";
  return folder + base + L"_" + DateText(Now()) + L".log";
}

std::wstring TLog::GetLogFolder(const std::wstring& AOnlyDir) {
  // The log is shared by the till's accounts; where the machine-wide folder
  // is not the till's, or this account cannot work in it, the user's own is
  // the next best place (the log's first lines say why), and without either
  // there is nowhere to write.
  const std::wstring sub = AOnlyDir.empty() ? ModuleBaseName() : AOnlyDir;
  const TSharedFolderChoice choice = ChooseSharedFolder(sub, true);
  {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.folder_note = choice.MachineWide ? L"" : choice.Note + (choice.Fix.empty() ? L"" : L"; what to do: " + choice.Fix);
  }
  if (choice.Folder.empty()) {
    if (choice.Note.empty()) return L"";
    throw PlatformError("Unable to create the log folder: " + WideToUtf8(choice.Note));
  }
  return IncludeTrailingPathDelimiter(choice.Folder);
}

std::wstring WindowsVersionName(uint32_t major, uint32_t minor, bool nt_platform) {
  switch (major) {
    case 3: return L"Windows NT 3";
    case 4:
      if (minor == 0) return nt_platform ? L"Windows NT 4" : L"Windows 95";
      if (minor == 10) return L"Windows 98";
      if (minor == 90) return L"Windows ME";
      break;
    case 5:
      if (minor == 0) return L"Windows 2000";
      if (minor == 1) return L"Windows XP";
      if (minor == 2) return L"Windows 2003";
      break;
    case 6:
      if (minor == 0) return L"Windows Vista";
      if (minor == 1) return L"Windows 7";
      if (minor == 2) return L"Windows 8.0";
      if (minor == 3) return L"Windows 8.1";
      break;
    case 10:
      if (minor == 0) return L"Windows 10";
      break;
    default: break;
  }
  return L"Unknown";
}

std::wstring OsVersionText(const std::optional<OsVersion>& version) {
  if (!version) return L"Unknown ";
  if (!version->Windows) return version->SystemName + L" " + version->Release;
  std::wstring text = WindowsVersionName(version->Major, version->Minor, version->NTPlatform) + L" ";
  if (!version->ServicePack.empty()) text += version->ServicePack + L" ";
  return text + L"(" +
         Printf2(L"%d.%d.%d", static_cast<int>(version->Major), static_cast<int>(version->Minor),
                 static_cast<int>(version->Build)) +
         L")";
}

std::wstring TLog::GetOSVersionText() { return OsVersionText(QueryOsVersion()); }

uint64_t TLog::DroppedLines() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.dropped_total;
}

void TLog::SetClock(std::function<LocalDateTime()> clock) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.clock_lock);
  state.clock = std::move(clock);
}

void TLog::ResetForTesting() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.level.store(0);
  state.started.store(false);
  state.file_name.clear();
  state.dropped_total = 0;
  state.dropped_unreported = 0;
  std::lock_guard<std::mutex> clock_guard(state.clock_lock);
  state.clock = nullptr;
}

}  // namespace velko
