// velko demo [--native PATH] [--class NAME]: a cashier's day, played through
// the add-in object (or the Native API module at PATH) exactly as the host
// plays it, against the terminal-server emulator started in this process, in
// a data folder of its own that is removed afterwards. A class of revision
// 3004 or 4000 is played as the current equipment library plays it: the
// revision first, the description as XML, the equipment type, the device ID
// in every call, the terminal's parameters, and the operations in that
// revision's layout. Each step is printed for a person to read; the exit
// status is 0 when every step went as expected.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include "Commands.h"
#include "HostHarness.h"
#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "common/uCommonUtils.h"
#include "driver/MethodLayouts.h"
#include "emulator/TerminalEmulator.h"
#include "platform/ReceiptPrompt.h"

namespace velko::tool {
namespace {

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// A data folder of the demo's own, removed when the demo ends.
class DemoFolder {
 public:
  DemoFolder() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("velko-demo-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
    SetEnv("VELKO_COMMON_APPDATA", path_.string());
  }
  ~DemoFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

bool HasCyrillic(const std::wstring& text) {
  for (wchar_t c : text)
    if (c >= 0x0400 && c <= 0x04FF) return true;
  return false;
}

class Demo {
 public:
  Demo(HostHarness& host) : host_(host) {}

  // Runs one method, prints it, and checks the outcome.
  CallResult Step(const std::string& name, std::vector<HostValue> params, bool expected,
                  const std::string& what) {
    CallResult r = Announce(name, std::move(params), what);
    const bool outcome = r.hresult == kS_OK && r.ret.IsBoolean() && r.ret.ToBool();
    std::cout << "\n   " << (outcome ? "true" : "false") << ", code " << r.lastErrorCode << " \""
              << WideToUtf8(r.lastErrorText) << "\"\n";
    if (outcome != expected) {
      ++failures_;
      std::cout << "   !! expected " << (expected ? "true" : "false") << "\n";
    }
    return r;
  }

  // Runs a method that answers a value rather than true or false.
  CallResult ValueStep(const std::string& name, const std::string& what) {
    CallResult r = Announce(name, {}, what);
    std::string value;
    try {
      value = WideToUtf8(r.ret.ToText());
    } catch (const HostValueError&) {
    }
    std::cout << "\n   " << (value.empty() ? "(nothing)" : value) << "\n";
    if (r.hresult != kS_OK || value.empty()) {
      ++failures_;
      std::cout << "   !! expected an answer\n";
    }
    return r;
  }

  static std::string Text(const CallResult& r, size_t position) {
    const auto& items = r.params->Items();
    if (position >= items.size()) return "";
    try {
      return WideToUtf8(items[position].ToText());
    } catch (const HostValueError&) {
      return "";
    }
  }

  static void Show(const std::string& label, const std::string& value) {
    if (!value.empty()) std::cout << "   " << label << ": " << value << "\n";
  }

  static void Slip(const std::string& slip) {
    if (slip.empty()) return;
    std::cout << "   slip:\n";
    std::istringstream lines(slip);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::cout << "   | " << line << "\n";
    }
  }

  // The outputs of a card operation at the usual positions.
  static void CardOutputs(const CallResult& r, size_t pan, size_t rec, size_t rrn, size_t auth, size_t slip) {
    Show("card", Text(r, pan));
    if (rec) Show("receipt number", Text(r, rec));
    if (rrn) Show("reference number", Text(r, rrn));
    if (auth) Show("authorisation code", Text(r, auth));
    Slip(Text(r, slip));
  }

  int steps_ = 0;
  int failures_ = 0;

 private:
  CallResult Announce(const std::string& name, std::vector<HostValue> params, const std::string& what) {
    CallResult r = host_.Call(name, std::move(params));
    ++steps_;
    const auto [first, other] = host_.MethodNames(r.number);
    const std::wstring russian = HasCyrillic(first) ? first : other;
    const std::wstring english = HasCyrillic(first) ? other : first;
    std::cout << "\n" << steps_ << ". " << WideToUtf8(russian) << " (" << WideToUtf8(english) << ")";
    if (!what.empty()) std::cout << ": " << what;
    return r;
  }

  HostHarness& host_;
};

// The parameters of a card operation at the positions its revision gives them.
class Layout {
 public:
  explicit Layout(int32_t revision) : layout_(*FindInterfaceLayout(revision)) {}
  std::vector<HostValue> Params(THostMethod method, std::initializer_list<std::pair<TLayoutField, HostValue>> values) const {
    const TMethodLayout& entry = Entry(method);
    std::vector<HostValue> params(static_cast<size_t>(entry.ParamsCount));
    for (const auto& [field, value] : values)
      if (const int32_t at = FieldPosition(entry, field); at >= 0) params[static_cast<size_t>(at)] = value;
    return params;
  }
  size_t At(THostMethod method, TLayoutField field) const {
    const int32_t at = FieldPosition(Entry(method), field);
    return at < 0 ? 0 : static_cast<size_t>(at);
  }
  const TMethodLayout& Entry(THostMethod method) const { return *FindMethodLayout(layout_, method); }

 private:
  const TInterfaceLayout& layout_;
};

// The day as the current equipment library plays it at revision 3004 or 4000.
void PlayRevisionDay(Demo& demo, const TAddInClass& cls, uint16_t port) {
  using enum TLayoutField;
  using enum THostMethod;
  const Layout layout(cls.InterfaceRevision);
  auto text = [](const std::string& t) { return HostValue::FromString(Utf8ToWide(t)); };

  demo.ValueStep("ПолучитьРевизиюИнтерфейса", "the library asks the revision first");
  CallResult r = demo.Step("ПолучитьОписание", {HostValue::FromString(L"")}, true, "what the driver is, as one XML text");
  Demo::Show("description", Demo::Text(r, 0));
  demo.Step("ПолучитьПараметры", {HostValue::FromString(L"")}, true, "the parameter table for the settings form");
  demo.Step("УстановитьПараметр", {HostValue::FromString(L"EquipmentType"), HostValue::FromString(L"ЭквайринговыйТерминал")},
            true, "EquipmentType = ЭквайринговыйТерминал");
  // Values arrive typed as the parameter table declares them: numbers as doubles.
  demo.Step("УстановитьПараметр", {HostValue::FromString(L"ServerPort"), HostValue::FromDouble(port)}, true,
            "ServerPort = " + std::to_string(port));
  demo.Step("УстановитьПараметр", {HostValue::FromString(L"DebugLogEnabled"), HostValue::FromBool(true)}, true,
            "DebugLogEnabled = true");
  r = demo.Step("Подключить", {HostValue::FromString(L"")}, true, "open the device; it answers its device ID");
  Demo::Show("device ID", Demo::Text(r, 0));
  const HostValue id = text(Demo::Text(r, 0));
  if (cls.InterfaceRevision >= 4000)
    demo.Step("УстановитьЛокализацию", {HostValue::FromString(L"ru"), HostValue::FromString(L"")}, true,
              "the host's language (the driver's texts stay Russian)");
  r = demo.Step("ПараметрыТерминала", {id, HostValue::FromString(L"")}, true, "what the terminal offers the cashier");
  Demo::Show("terminal parameters", Demo::Text(r, 1));

  auto outputs = [&](const CallResult& result, THostMethod method, bool slip) {
    Demo::CardOutputs(result, layout.At(method, lfCardNumber), layout.At(method, lfReceiptNumber),
                      layout.At(method, lfRRN), layout.At(method, lfAuthorizationCode),
                      slip ? layout.At(method, lfSlip) : 0);
  };
  const HostValue no_merchant = HostValue::FromDouble(0), no_qr = HostValue::FromString(L"");
  r = demo.Step("ОплатитьПлатежнойКартой",
                layout.Params(hmPay, {{lfDeviceID, id}, {lfMerchantNumber, no_merchant}, {lfConsumerQR, no_qr},
                                      {lfAmount, HostValue::FromDouble(100)}, {lfCardNumber, HostValue::FromString(L"")}}),
                true, "a card payment of 100,00");
  Demo::Show("amount", Demo::Text(r, layout.At(hmPay, lfAmount)));
  outputs(r, hmPay, true);
  const std::string paid_rrn = Demo::Text(r, layout.At(hmPay, lfRRN));

  r = demo.Step("ВернутьПлатежПоПлатежнойКарте",
                layout.Params(hmRefund, {{lfDeviceID, id}, {lfMerchantNumber, no_merchant}, {lfConsumerQR, no_qr},
                                         {lfAmount, HostValue::FromDouble(40.5)}, {lfCardNumber, HostValue::FromString(L"")},
                                         {lfReceiptNumber, HostValue::FromString(L"")}, {lfRRN, text(paid_rrn)}}),
                true, "a refund of 40,50 of that payment");
  outputs(r, hmRefund, true);

  r = demo.Step("ОплатитьПлатежнойКартой",
                layout.Params(hmPay, {{lfDeviceID, id}, {lfMerchantNumber, no_merchant}, {lfConsumerQR, no_qr},
                                      {lfAmount, HostValue::FromDouble(250)}, {lfCardNumber, HostValue::FromString(L"")}}),
                true, "another payment, of 250,00, that the customer changes their mind about");
  outputs(r, hmPay, false);
  const std::string to_cancel = Demo::Text(r, layout.At(hmPay, lfReceiptNumber));
  r = demo.Step("ОтменитьПлатежПоПлатежнойКарте",
                layout.Params(hmCancel, {{lfDeviceID, id}, {lfMerchantNumber, no_merchant}, {lfConsumerQR, no_qr},
                                         {lfAmount, HostValue::FromDouble(250)}, {lfAmountOriginal, HostValue::FromDouble(0)},
                                         {lfReceiptNumber, text(to_cancel)}, {lfRRN, HostValue::FromString(L"")},
                                         {lfAuthorizationCode, HostValue::FromString(L"")}}),
                true, "cancel that payment, receipt number " + to_cancel);
  Demo::CardOutputs(r, layout.At(hmCancel, lfCardNumber), 0, 0, 0, layout.At(hmCancel, lfSlip));

  if (cls.InterfaceRevision >= 4000)
    demo.Step("ОплатитьПлатежнойКартой",
              layout.Params(hmPay, {{lfDeviceID, id}, {lfMerchantNumber, no_merchant},
                                    {lfConsumerQR, HostValue::FromString(L"QR-CODE-FROM-THE-PHONE")},
                                    {lfAmount, HostValue::FromDouble(10)}, {lfCardNumber, HostValue::FromString(L"")}}),
              false, "a payment by the customer's QR code, which this terminal does not offer (nothing is sent)");

  r = demo.Step("ИтогиДняПоКартам", {id, HostValue::FromString(L"")}, true, "the end-of-day settlement");
  Demo::Slip(Demo::Text(r, 1));
  demo.Step("Отключить", {id}, true, "close the device");
}

int Finish(Demo& demo, HostHarness& host);

int RunDemo(const std::string& native, const TAddInClass& cls) {
  DemoFolder folder;
  emulator::TerminalEmulator emu;
  emu.Start();
  std::cout << "velko demo: a cashier's day with the acquiring-terminal driver\n"
            << "  terminal-server emulator on " << emu.Host() << ":" << emu.Port() << "\n"
            << "  data folder (numerator, debug log) " << folder.Path().string() << "\n"
            << "Every step below is a call of the add-in object, as the host makes it.\n";
  if (!native.empty()) std::cout << "  the object is the Native API module " << native << "\n";

  HostHarness host("", native, cls);
  ScriptedReceiptPrompt prompt;
  ScopedServiceOverride cashier(nullptr, nullptr, &prompt);
  Demo demo(host);
  if (cls.InterfaceRevision != TBaseDriver::kDefaultInterfaceRevision) {
    std::cout << "  the class " << WideToUtf8(cls.ExtensionName) << ", interface revision " << cls.InterfaceRevision
              << ", played as the current equipment library plays it\n";
    PlayRevisionDay(demo, cls, emu.Port());
    return Finish(demo, host);
  }

  CallResult r = demo.Step("ПолучитьОписание", {}, true, "what the driver is");
  Demo::Show("name", Demo::Text(r, 0));
  Demo::Show("description", Demo::Text(r, 1));
  Demo::Show("equipment type", Demo::Text(r, 2));
  Demo::Show("interface revision", Demo::Text(r, 3));

  demo.Step("УстановитьПараметр", {HostValue::FromString(L"ServerPort"), HostValue::FromInt32(emu.Port())},
            true, "ServerPort = " + std::to_string(emu.Port()));
  demo.Step("УстановитьПараметр", {HostValue::FromString(L"DebugLogEnabled"), HostValue::FromBool(true)},
            true, "DebugLogEnabled = true");
  demo.Step("Подключить", {}, true, "open the device (a pinpad test through the server)");

  r = demo.Step("ОплатитьПлатежнойКартой", {HostValue(), HostValue::FromString(L""), HostValue::FromInt32(100)},
                true, "a card payment of 100,00");
  Demo::Show("amount", Demo::Text(r, 2));
  Demo::CardOutputs(r, 1, 3, 4, 5, 6);
  const std::string paid_rrn = Demo::Text(r, 4);

  r = demo.Step("ВернутьПлатежПоПлатежнойКарте",
                {HostValue(), HostValue::FromString(L""), HostValue::FromDouble(40.5),
                 HostValue::FromString(L""), HostValue::FromString(Utf8ToWide(paid_rrn))},
                true, "a refund of 40,50 of that payment");
  Demo::CardOutputs(r, 1, 3, 4, 5, 6);

  r = demo.Step("ОплатитьПлатежнойКартой", {HostValue(), HostValue::FromString(L""), HostValue::FromInt32(250)},
                true, "another payment, of 250,00, that the customer changes their mind about");
  Demo::CardOutputs(r, 1, 3, 4, 5, 0);
  const std::string to_cancel = Demo::Text(r, 3);
  auto cancel = [&](const std::string& number, bool expected, const std::string& what) {
    return demo.Step("ОтменитьПлатежПоПлатежнойКарте",
                     {HostValue(), HostValue(), HostValue::FromInt32(250),
                      HostValue::FromString(Utf8ToWide(number)), HostValue::FromString(L""),
                      HostValue::FromString(L"")},
                     expected, what);
  };
  if (!host.IsNative()) {
    prompt.answers = {Utf8ToWide(to_cancel)};
    std::cout << "   (the cancellation comes without a receipt number; the cashier types " << to_cancel
              << " into the prompt)\n";
    r = cancel("", true, "cancel that payment");
    if (prompt.asked != 1) {
      ++demo.failures_;
      std::cout << "   !! the receipt-number prompt was not shown\n";
    }
  } else {
#ifndef _WIN32
    // The Native module on Linux has nobody to ask: without the number the
    // cancellation is refused and says what it needs.
    r = cancel("", false, "cancel it without a receipt number (no prompt on this platform)");
    if (r.lastErrorCode != 4502) {
      ++demo.failures_;
      std::cout << "   !! expected code 4502\n";
    }
#endif
    r = cancel(to_cancel, true, "cancel that payment, receipt number " + to_cancel);
  }
  Demo::CardOutputs(r, 1, 0, 0, 0, 6);

  r = demo.Step("ИтогиДняПоКартам", {}, true, "the end-of-day settlement");
  Demo::Slip(Demo::Text(r, 1));
  demo.Step("Отключить", {}, true, "close the device");
  return Finish(demo, host);
}

// The log's line count and the verdict.
int Finish(Demo& demo, HostHarness& host) {
  // The Native module writes its own log, where the COM add-in writes.
  const std::filesystem::path log(host.IsNative() ? TLog::BuildLogFileName(L"a_velko1c83", L"a_velko1c83")
                                                  : TLog::LogFileName());
  std::ifstream lines(log, std::ios::binary);
  const auto count = std::count(std::istreambuf_iterator<char>(lines), std::istreambuf_iterator<char>(), '\n');
  std::cout << "\nThe debug log of this run, " << count << " lines, was " << log.string()
            << " (removed with the data folder).\n";
  if (demo.failures_ == 0) {
    std::cout << "All " << demo.steps_ << " steps went as expected.\n";
    return 0;
  }
  std::cout << demo.failures_ << " of " << demo.steps_ << " steps did not go as expected.\n";
  return 1;
}

}  // namespace

CommandAction AddDemoCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("demo", "play a cashier's day against the built-in terminal-server emulator");
  auto native = std::make_shared<std::string>();
  auto cls = std::make_shared<std::string>();
  cmd->add_option("--native", *native, "play the host of the Native API module at PATH (.so / .dll, or the package zip)");
  cmd->add_option("--class", *cls, "the add-in class: a_velko1c83 (default), a_velko1c83_3004, a_velko1c83_4000");
  return [native, cls] { return RunDemo(*native, AddInClassNamed(*cls)); };
}

}  // namespace velko::tool
