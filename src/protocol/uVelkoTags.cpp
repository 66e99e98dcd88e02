#include "protocol/uVelkoTags.h"

namespace velko {

std::string CodeHex(std::string_view code) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : code) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::string TagCodeHex(const TTag& tag) { return CodeHex(tag.Code); }

bool CarriesCardData(std::string_view code) {
  for (PTTag tag : CardDataTags)
    if (tag->Code == code || tag->OutCode == code) return true;
  return false;
}

}  // namespace velko
