// Any body of POST /plans through the parsing and reading of its records:
// the JSON, the parcel chosen, rings, lines, beacons, the bounding box, the
// page and the labels (everything but drawing the pixels). The caller's
// mistakes are the three plots errors; anything else escaping is a fault.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "detail/plan.hpp"
#include "detail/records.hpp"
#include "logger/logger.hpp"
#include "plots/plots.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    logger::configure_logging(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto doc = plots::parse_request(std::string_view(reinterpret_cast<const char*>(data), size));
        if (!doc) return 0;
        const std::string where = "the request";
        const auto& request = *doc;
        std::string column = "parcel_number";
        if (auto found = request.find("columnname"); found != request.end()) {
            if (!found->is_string()) return 0;
            column = found->get<std::string>();
        }
        const auto box = request.find("bounding_box");
        plots::detail::prepare_plan(plots::detail::member(request, "parcel_data", where),
                                    plots::detail::member(request, "selected_parcel_number", where),
                                    plots::detail::member(request, "road_data", where), column,
                                    box != request.end() ? *box : nlohmann::ordered_json(nullptr));
    } catch (const plots::invalid_argument&) {
    } catch (const plots::invalid_record&) {
    } catch (const plots::no_matching_parcel&) {
    }
    return 0;
}
