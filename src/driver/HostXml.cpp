#include "driver/HostXml.h"

#include <cstdint>

namespace velko {

void AppendXmlEscaped(std::wstring& out, const std::wstring& text) {
  for (wchar_t c : text) {
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += L"&quot;"; break;
      case L'\r': out += L"&#xD;"; break;
      case L'\n': out += L"&#xA;"; break;
      case L'\t': out += L"&#x9;"; break;
      default:
        // Other control characters cannot appear in XML 1.0 at all.
        if (static_cast<uint32_t>(c) < 0x20) break;
        out.push_back(c);
    }
  }
}

void AppendXmlAttributes(std::wstring& out,
                         std::initializer_list<std::pair<const wchar_t*, std::wstring>> attributes) {
  for (const auto& [name, value] : attributes) {
    out += L' ';
    out += name;
    out += L"=\"";
    AppendXmlEscaped(out, value);
    out += L'"';
  }
}

std::wstring XmlDocumentOfOneElement(const wchar_t* element,
                                     std::initializer_list<std::pair<const wchar_t*, std::wstring>> attributes) {
  std::wstring xml = kXmlDeclaration;
  xml += L'<';
  xml += element;
  AppendXmlAttributes(xml, attributes);
  xml += L"/>";
  return xml;
}

}  // namespace velko
