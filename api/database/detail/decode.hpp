#pragma once
// Results of libpq in binary form, decoded into database::result values.

#include <memory>

#include <libpq-fe.h>

#include "database/result.hpp"

namespace database::detail {

struct result_deleter {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using result_ptr = std::unique_ptr<PGresult, result_deleter>;

// The type OIDs of PostgreSQL's catalogue (pg_type) that columns are decoded from.
namespace oid {
inline constexpr Oid boolean = 16;
inline constexpr Oid bytea = 17;
inline constexpr Oid name = 19;
inline constexpr Oid int8 = 20;
inline constexpr Oid int2 = 21;
inline constexpr Oid int4 = 23;
inline constexpr Oid text = 25;
inline constexpr Oid json = 114;
inline constexpr Oid float4 = 700;
inline constexpr Oid float8 = 701;
inline constexpr Oid bpchar = 1042;
inline constexpr Oid varchar = 1043;
inline constexpr Oid numeric = 1700;
inline constexpr Oid jsonb = 3802;
}  // namespace oid

// Every row of `r`, its columns decoded by type. Throws database::error for a malformed value.
result to_result(PGresult* r);

}  // namespace database::detail
