// Card-number masking, shared by the protocol's MaskCardNumber and the debug log.
//
// A card number never leaves the driver in clear: the host gets it masked, and
// every debug-log line has each run of 13 to 19 digits masked the same way.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko {

// Five or more characters: as many "*" as characters beyond the last four,
// then the last four unchanged. Four or fewer: the empty text. An already
// masked number stays as it is.
std::wstring MaskAllButLastFour(std::wstring_view number);

// Masks every run of 13 to 19 consecutive ASCII digits in a text (a run of
// any other length is left alone: amounts, receipt numbers, dates).
std::wstring MaskCardNumbersInText(std::wstring_view text);

}  // namespace velko
