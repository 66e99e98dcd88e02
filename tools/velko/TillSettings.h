// What the support commands (doctor, numerator) need to know about the till:
// its connection settings as the driver would use them, and the folders the
// driver keeps its files in. The settings come from a driver object made as
// the host makes it (so a 1cv7 host's settings file is read), then from the
// command line's --set options. One thread.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velko::tool {

struct TillOptions {
  std::vector<std::string> settings;  // ID=VALUE
  std::string host_exe;
};

void AddTillOptions(CLI::App& cmd, TillOptions& options);

class HostHarness;

struct TillSettings {
  std::wstring serverAddress = L"127.0.0.1";
  int32_t serverPort = 16500;
  int64_t answerTimeOut = 180;
  int32_t ecrNumber = 1;
  std::wstring currencyCode = L"643";
  std::wstring merchantID;
  bool debugLog = false;
  std::wstring version;  // the driver's, as "GetVersion" gives it
};

// Reads the settings; throws (std::runtime_error, CLI::ValidationError) with a
// message for the engineer when a --set does not fit or the driver cannot be
// made.
TillSettings ReadTillSettings(const TillOptions& options);
// The driver object those settings come from, with the --set options written.
std::unique_ptr<HostHarness> MakeTillHost(const TillOptions& options);

// The machine-wide data folder the driver uses (else the user's), with a
// delimiter; nullopt when there is none.
std::optional<std::wstring> DataRoot();
// Whether DataRoot() is the machine-wide folder that every account of the
// till shares (one numerator per register on the machine). When it is not,
// `note` says why and which folder the till's account would use, and `fix`,
// where there is one, the single command that makes the machine-wide folder.
struct DataRootScope {
  bool machineWide = true;
  bool overridden = false;  // VELKO_COMMON_APPDATA chose it for this process
  std::string note;
  std::string fix;
};
DataRootScope DescribeDataRoot();
// The folder of the driver's debug log and settings files, with a delimiter.
std::wstring DriverFilesFolder(const std::wstring& root);
// The driver's debug log of today in that folder.
std::wstring TodaysLogFile(const std::wstring& root);

// A receipt or register number typed by the engineer: decimal digits only.
std::optional<uint32_t> ParseNumber(const std::string& text);

}  // namespace velko::tool
