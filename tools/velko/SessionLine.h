// One line of `velko session`: a JSON object read from standard input, run on
// the session's add-in object, and the JSON object that answers it.
//   {"call": NAME, "params": [...]}  a method call (CallResultToJson)
//   {"set": ID, "value": V}          a setting ({"set", "hresult"})
//   {"get": ID}                      a setting's value ({"get", "value"})
// Anything else, and every failure, answers {"error": TEXT}. Never throws.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "HostHarness.h"

namespace velko::tool {

nlohmann::json SessionLine(Host& host, const std::string& line);
// The answer as the line that goes to standard output. Bytes that are not
// UTF-8 (a line that is not JSON is quoted in the error) are replaced, so the
// answer is always printable JSON.
std::string SessionAnswer(Host& host, const std::string& line);

}  // namespace velko::tool
