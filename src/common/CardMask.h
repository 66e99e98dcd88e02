// Card-number helpers: the masked number the host gets, the BIN, and the
// masking of every debug-log line.
//
// A card number never leaves the driver in clear: the host gets it masked
// (all but the last four), and every debug-log line has whatever may hold
// one masked with the first six and last four digits kept. Pure functions;
// thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko {

// Five or more characters: as many "*" as characters beyond the last four,
// then the last four unchanged. Four or fewer: the empty text. An already
// masked number stays as it is.
std::wstring MaskCardNumber(std::wstring_view number);
// The first six characters (the BIN); fewer than six give the empty text.
std::wstring ExtractCardBIN(std::wstring_view number);

// Masks, keeping the first six and the last four digits, every chain of 13 or
// more ASCII digits, a chain being digits with at most single blanks or dashes
// between them (so a number typed in groups, or one inside a longer run, is
// caught; amounts, receipt numbers and dates are shorter and stay).
std::wstring MaskCardNumbersInText(std::wstring_view text);

}  // namespace velko
