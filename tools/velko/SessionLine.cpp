#include "SessionLine.h"

#include <exception>
#include <vector>

namespace velko::tool {
namespace {

nlohmann::json ErrorLine(const std::string& message) { return {{"error", message}}; }

}  // namespace

nlohmann::json SessionLine(Host& host, const std::string& line) {
  const auto request = nlohmann::json::parse(line, nullptr, false);
  if (request.is_discarded() || !request.is_object()) return ErrorLine("not a JSON object: " + line);
  try {
    if (request.contains("call")) {
      std::vector<HostValue> params;
      if (request.contains("params")) {
        if (!request["params"].is_array()) return ErrorLine("\"params\" must be an array");
        for (const auto& item : request["params"]) params.push_back(JsonToHostValue(item));
      }
      return CallResultToJson(host.Call(request["call"].get<std::string>(), std::move(params)));
    }
    if (request.contains("set")) {
      const std::string id = request["set"].get<std::string>();
      const auto value = request.value("value", nlohmann::json());
      const HResult hr = value.is_string() ? (host.SetSetting(id, value.get<std::string>()), kS_OK)
                                           : host.SetProperty(id, JsonToHostValue(value));
      return {{"set", id}, {"hresult", hr}};
    }
    if (request.contains("get")) {
      const std::string id = request["get"].get<std::string>();
      auto value = host.GetProperty(id);
      if (!value) return ErrorLine("no setting named " + id);
      return {{"get", id}, {"value", HostValueToJson(*value)}};
    }
    return ErrorLine("a line needs \"call\", \"set\" or \"get\"");
  } catch (const std::exception& e) {
    return ErrorLine(e.what());
  }
}

std::string SessionAnswer(Host& host, const std::string& line) {
  return SessionLine(host, line).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velko::tool
