#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/ServerCodePage.h"

namespace velko {
namespace {

constexpr const char* kDefaultCodePage = "WINDOWS-1251";

// The code page as two tables built once: byte -> character, and the sorted
// inverse. A single-byte code page is small enough that a table beats keeping
// an iconv descriptor (which is not thread-safe) around.
struct CodePageTables {
  std::string name;
  std::array<wchar_t, 256> to_wide{};
  std::vector<std::pair<wchar_t, char>> to_byte;  // sorted by character
};

bool Fill(CodePageTables& t, const char* name) {
  iconv_t cd = iconv_open("WCHAR_T", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    wchar_t out[2] = {};
    char* inp = &in;
    size_t inleft = 1;
    char* outp = reinterpret_cast<char*>(out);
    size_t outleft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    const bool one_char = rc != static_cast<size_t>(-1) && inleft == 0 && outleft == sizeof(wchar_t);
    // An undefined byte keeps its own number as a character.
    t.to_wide[b] = one_char ? out[0] : static_cast<wchar_t>(b);
  }
  iconv_close(cd);
  t.name = name;
  t.to_byte.clear();
  for (int b = 0; b < 256; ++b) t.to_byte.emplace_back(t.to_wide[b], static_cast<char>(b));
  std::stable_sort(t.to_byte.begin(), t.to_byte.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return true;
}

const CodePageTables& Tables() {
  static const CodePageTables tables = [] {
    CodePageTables t;
    const char* wanted = std::getenv(kServerCodePageVariable);
    if (wanted && *wanted && Fill(t, wanted)) return t;
    if (Fill(t, kDefaultCodePage)) return t;
    // No iconv tables on this machine: Latin-1, where every byte is its own character.
    for (int b = 0; b < 256; ++b) {
      t.to_wide[b] = static_cast<wchar_t>(b);
      t.to_byte.emplace_back(static_cast<wchar_t>(b), static_cast<char>(b));
    }
    t.name = "ISO-8859-1";
    return t;
  }();
  return tables;
}

}  // namespace

std::string WideToServerCodePage(std::wstring_view text) {
  const CodePageTables& t = Tables();
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c >= 0 && c < 0x80 && t.to_wide[static_cast<size_t>(c)] == c) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const auto it = std::lower_bound(t.to_byte.begin(), t.to_byte.end(), c,
                                     [](const auto& entry, wchar_t v) { return entry.first < v; });
    out.push_back(it != t.to_byte.end() && it->first == c ? it->second : '?');
  }
  return out;
}

std::wstring ServerCodePageToWide(std::string_view bytes) {
  const CodePageTables& t = Tables();
  std::wstring out;
  out.reserve(bytes.size());
  for (char b : bytes) out.push_back(t.to_wide[static_cast<unsigned char>(b)]);
  return out;
}

std::string ServerCodePageName() { return Tables().name; }

}  // namespace velko
