#pragma once
// Finding things in the cadastre by what the public quotes at the counter:
// plots by plot number or file number, beacons by number, cadastral zones by
// name. GET /search answers with one statement on the request's session;
// `gisd search install` creates the indexes that keep it fast.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "common/route.hpp"
#include "database/pool.hpp"

namespace search {

inline constexpr std::size_t max_query_chars = 100;
inline constexpr std::int64_t default_limit = 10;
inline constexpr std::int64_t max_limit = 50;

// What GET /search was asked, checked once at the edge.
struct query {
    std::string text;    // as given (normalised by the statement, so that indexes match it)
    std::string layer;   // "" for every layer, else plots, beacons or cadzones
    std::int64_t limit = default_limit;
};

// Checks the raw parameters; throws common::validation_error (422) naming the
// parameter for an empty or blank q, a q over max_query_chars characters or
// not valid UTF-8 (or holding a NUL), a limit outside 1..max_limit or an
// unknown layer.
query parse_query(const std::string& q, const std::string& layer, std::int64_t limit);

struct search_options {
    std::chrono::milliseconds deadline{10000};  // the statement's bound; past it the answer is 408
};

// The router of GET /search (no prefix, tag "Search").
common::router search_router(search_options options = {});

// The statements that create the search indexes, in order (idempotent).
const std::vector<std::string>& index_statements();

// `gisd search install`: prints the statements (`print_only`) or runs them on
// the database; returns the process's exit status.
int run_install_command(const database::pool_options& pool, bool print_only, std::ostream& out);

}  // namespace search
