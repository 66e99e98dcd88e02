#include "HostStandIn.h"

#include <utility>

#include "addin/com/ComResources.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace host {

HRESULT Connection::QueryInterface(REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch))
    *ppv = static_cast<IDispatch*>(this);
  else if (offer_event && IsEqualIID(riid, IID_IAsyncEvent))
    *ppv = static_cast<IAsyncEvent*>(this);
  else if (offer_windows && IsEqualIID(riid, IID_IExtWndsSupport))
    *ppv = static_cast<IExtWndsSupport*>(this);
  if (!*ppv) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ParamArray::ParamArray(ULONG count) {
  SAFEARRAYBOUND bound{count, 0};
  array_ = SafeArrayCreate(VT_VARIANT, 1, &bound);
}

ParamArray::~ParamArray() {
  if (array_) SafeArrayDestroy(array_);
}

void ParamArray::Set(LONG index, const VARIANT& value) {
  SafeArrayPutElement(array_, &index, const_cast<VARIANT*>(&value));
}

void ParamArray::SetText(LONG index, const std::wstring& text) {
  Variant v;
  v.v.vt = VT_BSTR;
  v.v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  Set(index, v.v);
}

void ParamArray::SetInt(LONG index, LONG value) {
  Variant v;
  v.v.vt = VT_I4;
  v.v.lVal = value;
  Set(index, v.v);
}

void ParamArray::SetDouble(LONG index, double value) {
  Variant v;
  v.v.vt = VT_R8;
  v.v.dblVal = value;
  Set(index, v.v);
}

VARTYPE ParamArray::TypeAt(LONG index) const {
  Variant v;
  if (FAILED(SafeArrayGetElement(array_, &index, &v.v))) return VT_ILLEGAL;
  return v.v.vt;
}

std::wstring ParamArray::TextAt(LONG index) const {
  Variant v;
  if (FAILED(SafeArrayGetElement(array_, &index, &v.v))) return L"<missing>";
  Variant text;
  if (FAILED(VariantChangeType(&text.v, &v.v, 0, VT_BSTR))) return L"<not text>";
  return std::wstring(text.v.bstrVal, SysStringLen(text.v.bstrVal));
}

double ParamArray::DoubleAt(LONG index) const {
  Variant v;
  if (FAILED(SafeArrayGetElement(array_, &index, &v.v))) return -1;
  Variant d;
  if (FAILED(VariantChangeType(&d.v, &v.v, 0, VT_R8))) return -1;
  return d.v.dblVal;
}

LONG ParamArray::IntAt(LONG index) const {
  Variant v;
  if (FAILED(SafeArrayGetElement(array_, &index, &v.v))) return -1;
  Variant d;
  if (FAILED(VariantChangeType(&d.v, &v.v, 0, VT_I4))) return -1;
  return d.v.lVal;
}

long RunAndWait(const std::wstring& command_line, DWORD timeout_ms) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring line = command_line;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  long result = -1;
  if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) result = static_cast<long>(code);
  } else {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

namespace {
// A temporary file that the child inherits, deleted when the handle closes.
velko::unique_hfile InheritableTempFile() {
  wchar_t folder[MAX_PATH] = {}, name[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  if (GetTempFileNameW(folder, L"vhs", 0, name) == 0) return velko::unique_hfile();
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return velko::unique_hfile(CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                         nullptr));
}
}  // namespace

long RunAndCapture(const std::wstring& command_line, const std::string& input, std::string& output,
                   DWORD timeout_ms) {
  output.clear();
  const velko::unique_hfile in_file = InheritableTempFile(), out_file = InheritableTempFile();
  const HANDLE in = in_file.get(), out = out_file.get();
  long result = -1;
  DWORD moved = 0;
  if (in_file && out_file && WriteFile(in, input.data(), static_cast<DWORD>(input.size()), &moved, nullptr) &&
      SetFilePointer(in, 0, nullptr, FILE_BEGIN) == 0) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process{};
    std::wstring line = command_line;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      DWORD code = 0;
      if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(process.hProcess, &code))
        result = static_cast<long>(code);
      else
        TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      char buffer[4096];
      SetFilePointer(out, 0, nullptr, FILE_BEGIN);
      while (ReadFile(out, buffer, sizeof(buffer), &moved, nullptr) && moved > 0) output.append(buffer, moved);
    }
  }
  return result;
}

std::optional<std::wstring> RegText(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view) {
  velko::com::unique_hkey handle;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) != ERROR_SUCCESS)
    return std::nullopt;
  wchar_t buffer[1024] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  const LONG status =
      RegQueryValueExW(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  std::wstring text(buffer, bytes / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view) {
  velko::com::unique_hkey handle;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) == ERROR_SUCCESS;
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH * 2);
  return std::wstring(path, n);
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

WindowWatcher::WindowWatcher(std::wstring caption, std::function<void(HWND)> act, DWORD timeout_ms)
    : caption_(std::move(caption)), act_(std::move(act)), timeout_ms_(timeout_ms) {
  thread_ = CreateThread(nullptr, 0, &WindowWatcher::Run, this, 0, nullptr);
}

WindowWatcher::~WindowWatcher() { Join(); }

void WindowWatcher::Join() {
  if (!thread_) return;
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
}

DWORD WINAPI WindowWatcher::Run(void* self_pointer) {
  auto* self = static_cast<WindowWatcher*>(self_pointer);
  const ULONGLONG deadline = GetTickCount64() + self->timeout_ms_;
  while (GetTickCount64() < deadline) {
    HWND window = FindWindowW(nullptr, self->caption_.c_str());
    if (window && IsWindowVisible(window)) {
      self->found_ = true;
      Sleep(300);  // let the window finish painting before it is looked at
      self->act_(window);
      return 0;
    }
    Sleep(100);
  }
  return 0;
}

namespace {
struct ChildSearch {
  const wchar_t* window_class;
  std::wstring text;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<ChildSearch*>(param);
  wchar_t name[64] = {};
  GetClassNameW(child, name, 64);
  if (lstrcmpiW(name, search->window_class) == 0) search->found.push_back(child);
  return TRUE;
}

std::wstring TextOf(HWND window) {
  wchar_t text[2048] = {};
  SendMessageW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text));
  return text;
}
}  // namespace

std::vector<std::wstring> ChildTexts(HWND window, const wchar_t* window_class) {
  ChildSearch search{window_class, L"", {}};
  EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&search));
  std::vector<std::wstring> texts;
  for (HWND child : search.found) texts.push_back(TextOf(child));
  return texts;
}

HWND FindChild(HWND window, const wchar_t* window_class, const std::wstring& text) {
  ChildSearch search{window_class, text, {}};
  EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&search));
  for (HWND child : search.found) {
    if (text.empty()) return child;
    std::wstring t = TextOf(child);
    std::wstring plain;
    for (wchar_t c : t)
      if (c != L'&') plain += c;
    if (lstrcmpiW(plain.c_str(), text.c_str()) == 0) return child;
  }
  return nullptr;
}

bool SaveWindowBitmap(HWND window, const std::wstring& file) {
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return false;
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  bool ok = PrintWindow(window, memory, 0) || BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD row = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  std::vector<BYTE> pixels(row * static_cast<DWORD>(height));
  SelectObject(memory, old);
  ok = ok && GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                       reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) != 0;
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!ok) return false;
  BITMAPFILEHEADER file_header{};
  file_header.bfType = 0x4D42;
  file_header.bfOffBits = sizeof(file_header) + sizeof(header);
  file_header.bfSize = file_header.bfOffBits + static_cast<DWORD>(pixels.size());
  HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  ok = WriteFile(out, &file_header, sizeof(file_header), &written, nullptr) &&
       WriteFile(out, &header, sizeof(header), &written, nullptr) &&
       WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
  CloseHandle(out);
  return ok;
}

}  // namespace host

namespace host {

EmulatorProcess::EmulatorProcess(const std::wstring& velko_exe, const std::wstring& extra_arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring line = L"\"" + velko_exe + L"\" emulator --listen 127.0.0.1:0 " + extra_arguments;
  const BOOL started =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process_);
  CloseHandle(write_end);  // the child's copy is the only writer now
  if (started) {
    // The first line names the port; a child that dies closes the pipe.
    char c = 0;
    DWORD got = 0;
    while (first_line_.size() < 200 && ReadFile(read_end, &c, 1, &got, nullptr) && got == 1 && c != '\n')
      first_line_ += c;
    const std::string prefix = "listening on 127.0.0.1:";
    if (first_line_.rfind(prefix, 0) == 0) port_ = std::atol(first_line_.c_str() + prefix.size());
  }
  CloseHandle(read_end);
}

EmulatorProcess::~EmulatorProcess() {
  if (!process_.hProcess) return;
  TerminateProcess(process_.hProcess, 0);
  WaitForSingleObject(process_.hProcess, 10000);
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
}

}  // namespace host
