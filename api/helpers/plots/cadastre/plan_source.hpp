#pragma once
// The request of a plot's survey plan, read from the cadastre: the document
// that POST /plans and `survey-plan REQUEST.json` take, assembled from the
// "PLOT" and "BEACON" tables (and an optional roads table) of the database a
// session talks to. Shared by gisd's GET /plans/{plot_no} and the survey-plan
// command, so that both draw the same plan of a plot.
//
// The document holds, in EPSG:26332 metres (transformed by PostGIS):
//   parcel_data[0]   the plot: "plot_no", "name" (its number), "area" (m²),
//                    its outer ring clockwise from the most northerly corner
//                    (westerly on a tie) and "boundary", one beacon per corner
//                    in that order, named by the "BEACON" point within
//                    beacon_tolerance_m of the corner, with the side's length
//                    and whole-circle grid bearing in degrees and minutes;
//   parcel_data[1..] every other plot that intersects the plan's window;
//   road_data        the lines of the roads table that intersect it;
//   selected_parcel_number, columnname ("plot_no").

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "plots/plots.hpp"

namespace database {
class session;
}

namespace plots::cadastre {

// No plot carries the number (in the zone, when one was given).
class unknown_plot : public no_matching_parcel {
public:
    using no_matching_parcel::no_matching_parcel;
};

// Several plots carry the number and no zone was given to choose one.
class ambiguous_plot : public error {
public:
    ambiguous_plot(const std::string& message, std::vector<std::string> zones) : error(message), m_zones(std::move(zones)) {}
    const std::vector<std::string>& zones() const noexcept { return m_zones; }

private:
    std::vector<std::string> m_zones;
};

// The plot's geometry is not one polygon without holes whose boundary does
// not cross itself; the message gives the reason.
class not_simple_polygon : public invalid_record {
public:
    using invalid_record::invalid_record;
};

// The database did not answer within source_options::deadline.
class read_timeout : public error {
public:
    using error::error;
};

// A plot as people name it: its "PLOT_NO", and its "CADZONE" where numbers
// repeat from zone to zone.
struct plot_key {
    std::string plot_no;
    std::optional<std::string> zone;
};

struct source_options {
    // "[schema.]table" with a line geometry column in EPSG:3857; none: no roads.
    std::optional<std::string> roads_table;
    // The whole read, every statement of it; then read_timeout.
    std::chrono::milliseconds deadline{10000};
    // How far from a corner its "BEACON" point may lie.
    double beacon_tolerance_m = 0.05;
};

struct assembled_request {
    nlohmann::ordered_json request;     // a POST /plans document
    std::vector<std::string> warnings;  // corners without a beacon, a roads table that cannot be read
    std::string zone;                   // the plot's "CADZONE"
};

// Reads the plan's request of the plot `key` through `db`, in one read-only
// transaction bounded by options.deadline, and closes the session. Throws
// unknown_plot, ambiguous_plot, not_simple_polygon, read_timeout, and the
// database module's errors (database::error, database::pool_timeout) as they
// come; a cancellation passes through.
boost::asio::awaitable<assembled_request> assemble_request(database::session& db, const plot_key& key,
                                                           const source_options& options);

// The whole-circle bearing (degrees clockwise from grid north) in whole
// degrees and minutes, rounded to the nearest minute: 60 minutes are carried
// into the degrees and 360° is written as 0°.
struct degrees_minutes {
    int degrees = 0;
    int minutes = 0;
    bool operator==(const degrees_minutes&) const = default;
};
degrees_minutes bearing_of(double degrees);

}  // namespace plots::cadastre
