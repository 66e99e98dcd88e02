// Card-number helpers: the masked number the host gets, the BIN, and the
// masking of card data wherever it may be written down.
//
// A card number never leaves the driver in clear: the host gets it masked
// (all but the last four). What is written to a file is masked twice over:
// a value known to be card data (the host's card positions, the card tags
// of a message) keeps only the last four digits of its card number, and any
// free text has whatever may hold a card number masked with the first six and
// last four digits kept. Pure functions; thread-safe.
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

// A Unicode decimal digit of the basic plane (ASCII, Arabic-Indic,
// Devanagari, ..., full-width), as a card number may be typed or pasted.
bool IsDecimalDigit(wchar_t c);

// A value known to be card data, in whatever form it came: every character
// becomes "*" but the last four digits of the card number. The card number is
// what comes before a track separator ("=" of track 2, "^" of track 1), so
// track data is masked whole after it. The length is kept.
std::wstring MaskCardData(std::wstring_view value);

// Free text: masks, keeping the first six and the last four digits, every
// chain of 13 or more decimal digits, a chain being runs of digits joined by
// up to three blanks or punctuation characters (a number typed in groups:
// "4111 1111", "4111 - 1111", "4111.1111", "4111/1111", a tab, a no-break
// space, ...). The characters that delimit values in the driver's own lines
// (quotes, ";", ":", brackets) end a chain, so a list of amounts, receipt
// and reference numbers or a time of day stays readable; 12 digits or fewer
// stay as they are.
std::wstring MaskCardNumbersInText(std::wstring_view text);

}  // namespace velko
