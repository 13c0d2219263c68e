#pragma once
// The standard response envelope of the API:
//   {"success": bool, "status_code": int, "message": text or null, "data": value or null}
// `success` is true for status codes below 400. Handlers nest the two calls:
//   return api_router_response(api_response({.data = doc}));

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/response.hpp"

namespace helpers::responses {

struct envelope_args {
    std::optional<nlohmann::ordered_json> data;
    std::optional<std::string> message;
    unsigned status_code = 200;
};

nlohmann::ordered_json api_response(envelope_args args);

// The HTTP answer for an envelope: its "status_code" as the status, the envelope as the JSON body.
common::response api_router_response(const nlohmann::ordered_json& envelope);

}  // namespace helpers::responses
