#include "helpers/responses/responses.hpp"

namespace helpers::responses {

nlohmann::ordered_json api_response(envelope_args args) {
    nlohmann::ordered_json out;
    out["success"] = args.status_code < 400;
    out["status_code"] = args.status_code;
    out["message"] = args.message ? nlohmann::ordered_json(*args.message) : nlohmann::ordered_json(nullptr);
    out["data"] = args.data ? std::move(*args.data) : nlohmann::ordered_json(nullptr);
    return out;
}

common::response api_router_response(const nlohmann::ordered_json& envelope) {
    unsigned status = envelope.value("status_code", 200u);
    return common::json_response(envelope, status);
}

}  // namespace helpers::responses
