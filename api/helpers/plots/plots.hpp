#pragma once
// Survey plans: the recommended map scale of a survey area, and the rendering
// of one parcel's survey plan as a 300-dpi PNG on a landscape A4 page.
//
// Every coordinate handed to generate_plot is in EPSG:26332 metres, except the
// optional bounding box, which names its own system by "srid". All operations
// are synchronous, keep no state between calls and may run on several threads
// at once. They log at info level through the host's application logger.
//
// Errors. Every failure is one of the exceptions below, all derived from
// plots::error, each with a message that names the offending value. A host
// maps them to HTTP statuses in one place:
//   plots::invalid_argument    -> 400 Bad Request: non-positive or non-finite
//                                 survey dimensions, a margin that leaves no
//                                 usable area, a bounding box of no width or
//                                 height, an srid that names no known system
//                                 or cannot reach EPSG:26332, a plan whose
//                                 labels reach absurdly far beyond the page.
//   plots::invalid_record      -> 422 Unprocessable Content: a record lacks a
//                                 required key, or a value has the wrong type
//                                 or shape (a ring of two points, a beacon
//                                 that is not one [x, y] pair, an area that
//                                 is not a number).
//   plots::no_matching_parcel  -> 404 Not Found: no parcel record carries the
//                                 selected value under the selected column.
// Anything else (std::bad_alloc, plots::error itself for an unexpected
// failure inside a drawing or encoding library) is a server fault (500).

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plots {

// Base of every error raised by this module.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value is out of its valid range (see the mapping above).
class invalid_argument : public error {
public:
    using error::error;
};

// A record lacks a key, or holds a value of the wrong type or shape.
class invalid_record : public error {
public:
    using error::error;
};

// No record of parcel_data matches the selected parcel number.
class no_matching_parcel : public error {
public:
    using error::error;
};

// A request document nested deeper than max_request_depth.
class too_deep : public invalid_record {
public:
    using invalid_record::invalid_record;
};

// How deeply a request document may nest arrays and objects. Real requests
// are six levels deep (parcel_data, record, geometry, coordinates, ring,
// point); the bound keeps every walk over a document short.
inline constexpr int max_request_depth = 64;

// Parses the text of a request document: the document, or nothing when the
// text is not JSON. Throws too_deep (an invalid_record) past max_request_depth,
// before the nesting is built.
std::optional<nlohmann::ordered_json> parse_request(std::string_view text);

// What generate_plot returns; the caller owns it.
struct plot_result {
    std::string image64;                  // PNG, standard base64 without line breaks
    std::pair<double, double> size_mm;    // (target_width_mm, target_height_mm) of the map on paper
    int scale = 0;                        // denominator N of the scale 1:N
};

// Returns the scale denominator at which a survey area of the given ground
// size (metres, east-west by north-south) fits the usable area of the sheet
// (millimetres; the sheet is always taken in landscape, whatever the order of
// its sides). The smallest of 250, 500, 1000, 2000, 5000, 7500, 10000, 20000
// and 25000 at which the survey fills at most 96% of the usable width and 80%
// of its height; past 25000, the required scale rounded up to a multiple of
// 1000. Throws invalid_argument for survey sizes that are not positive finite
// numbers, non-finite paper sizes or margins, and a margin that leaves no
// usable area.
int get_recommended_scale(double survey_width_m, double survey_height_m, double paper_width_mm = 210,
                          double paper_height_mm = 297, double margin_mm = 10);

// Renders the survey plan of the first record of `parcel_data` (a JSON array
// of parcel records) whose value under `columnname` equals
// `selected_parcel_number`, among the other parcels and the roads of
// `road_data` (an array of road records, or null for none). Without a usable
// `bounding_box` (an object with "minx", "maxx", "miny", "maxy" and "srid")
// the page is centred on the parcel at its recommended scale; with one, the
// page shows exactly that box. Record shapes:
//   parcel: {columnname: any, "geometry": {"coordinates": [[[x, y], ...], ...]}}
//           and, for the selected one, "name" (any), "area" (number) and
//           "boundary": [beacon, ...] in boundary order;
//   beacon: {"geometry": {"coordinates": [x, y]}, "beacon_name": any,
//            "distance_to_next": number, "bearing_deg_to_next": any,
//            "bearing_min_to_next": any};
//   road:   {"geometry": {"coordinates": [[x, y], ...]}}.
// Throws the errors described at the top of this file.
plot_result generate_plot(const nlohmann::ordered_json& parcel_data, const nlohmann::ordered_json& selected_parcel_number,
                          const nlohmann::ordered_json& road_data, const std::string& columnname = "parcel_number",
                          const nlohmann::ordered_json& bounding_box = nullptr);

// The rectangle of ground, in EPSG:26332 metres, that the plan of a parcel
// with this outer ring shows when the request names no bounding box: what a
// caller must fetch neighbours and roads for. `ring` is the outer ring as
// (x, y) points in EPSG:26332, closed or not. Throws invalid_record for a
// ring of fewer than three points, and as generate_plot for a parcel whose
// scale cannot be chosen.
struct ground_window {
    double minx = 0;
    double miny = 0;
    double maxx = 0;
    double maxy = 0;
};
ground_window plan_window(const std::vector<std::pair<double, double>>& ring);

// The PNG bytes of a plan (image64 decoded).
std::string png_bytes(const plot_result& plan);

// Renders a whole request document: an object with "parcel_data",
// "selected_parcel_number" and "road_data", and optionally "columnname" (text)
// and "bounding_box", passed on to generate_plot. A document that is not an
// object, lacks one of the three required keys or has a columnname that is
// not text throws invalid_record. Used by the survey-plan command and the
// HTTP host alike, so both accept the same documents.
plot_result generate_plot_from_request(const nlohmann::ordered_json& request);

// What the one line under a PDF plan says. Empty texts and a missing area are
// left out of it; an empty date is today's (UTC).
struct plan_caption {
    std::string plot_no;
    std::string zone;
    std::optional<double> area_m2;
    std::string date;  // as printed, e.g. 2026-12-10
};

// The caption a request document alone gives: its selected parcel number and
// the "area" of that parcel's record (the first that matches, when it is a
// number). Never throws on a malformed document: it gives what it finds.
plan_caption caption_of_request(const nlohmann::ordered_json& request);

// The caption as printed: "Plot ... Zone ... Area ... m² Scale 1:N Drawn ...".
std::string caption_text(const plan_caption& caption, int scale);

// Renders a request document as generate_plot_from_request does, on one A4
// landscape PDF page: the same drawing as vectors at exactly its scale (one
// millimetre of paper is `scale` millimetres of ground), text as text, the
// map frame centred within the 10 mm margins and the caption on one line
// under it. Throws as generate_plot_from_request.
struct pdf_result {
    std::string bytes;                    // the PDF file
    std::pair<double, double> size_mm;    // the map on paper, as plot_result
    int scale = 0;
};
pdf_result generate_pdf_from_request(const nlohmann::ordered_json& request, const plan_caption& caption);

}  // namespace plots
