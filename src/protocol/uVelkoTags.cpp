#include "protocol/uVelkoTags.h"

#include "protocol/uVelkoFraming.h"

namespace velko {

std::string TagCodeHex(const TTag& tag) { return CodeHex(tag.Code); }

}  // namespace velko
