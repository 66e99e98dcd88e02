// The small XML texts the driver hands the host: the parameter description,
// the driver description and the terminal's parameters. One place escapes
// every text that goes into an attribute, so a caption, a path or a server's
// identifier with "&", "<" or a quotation mark cannot break the document.
// Pure functions; safe on any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace velko {

// The declaration every document starts with.
inline constexpr const wchar_t* kXmlDeclaration = L"<?xml version=\"1.0\"?>\r\n";

// Appends the text escaped for an attribute value in double quotation marks;
// control characters XML 1.0 cannot carry are left out.
void AppendXmlEscaped(std::wstring& out, const std::wstring& text);

// ` Name="value"` for each attribute, in order, each value escaped.
void AppendXmlAttributes(std::wstring& out,
                         std::initializer_list<std::pair<const wchar_t*, std::wstring>> attributes);

// A document of one empty element with these attributes.
std::wstring XmlDocumentOfOneElement(const wchar_t* element,
                                     std::initializer_list<std::pair<const wchar_t*, std::wstring>> attributes);

// A Boolean as the host compares it (upper-cased against "TRUE").
inline std::wstring XmlBoolean(bool value) { return value ? L"true" : L"false"; }

}  // namespace velko
