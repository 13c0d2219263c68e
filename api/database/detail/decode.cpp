#include "database/detail/decode.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace database::detail {

namespace {

template <class T>
T read_be(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
        if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
        if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
    }
    return v;
}

double decode_numeric(const char* p, int len) {
    if (len < 8) throw error("malformed numeric value");
    auto ndigits = read_be<std::int16_t>(p);
    auto weight = read_be<std::int16_t>(p + 2);
    auto sign = read_be<std::uint16_t>(p + 4);
    if (sign == 0xC000) return std::nan("");
    if (len < 8 + 2 * ndigits) throw error("malformed numeric value");
    double v = 0;
    for (int i = 0; i < ndigits; ++i) {
        v += read_be<std::int16_t>(p + 8 + 2 * i) * std::pow(10000.0, weight - i);
    }
    return sign == 0x4000 ? -v : v;
}

// A column value in binary form; a type not listed arrives as bytes.
value decode(Oid type, const char* p, int len) {
    switch (type) {
        case oid::boolean: return len >= 1 && p[0] != 0;
        case oid::int2: return static_cast<std::int64_t>(read_be<std::int16_t>(p));
        case oid::int4: return static_cast<std::int64_t>(read_be<std::int32_t>(p));
        case oid::int8: return read_be<std::int64_t>(p);
        case oid::float4: return static_cast<double>(std::bit_cast<float>(read_be<std::uint32_t>(p)));
        case oid::float8: return std::bit_cast<double>(read_be<std::uint64_t>(p));
        case oid::numeric: return decode_numeric(p, len);
        case oid::text:
        case oid::varchar:
        case oid::bpchar:
        case oid::name:
        case oid::json: return std::string(p, static_cast<std::size_t>(len));
        case oid::jsonb: return len > 0 ? std::string(p + 1, static_cast<std::size_t>(len - 1)) : std::string();
        default: return bytes{std::string(p, static_cast<std::size_t>(len))};
    }
}

}  // namespace

result to_result(PGresult* r) {
    auto columns = std::make_shared<std::vector<std::string>>();
    int ncols = PQnfields(r);
    for (int c = 0; c < ncols; ++c) columns->emplace_back(PQfname(r, c));
    std::vector<row> rows;
    int nrows = PQntuples(r);
    rows.reserve(static_cast<std::size_t>(nrows));
    for (int i = 0; i < nrows; ++i) {
        std::vector<value> values;
        values.reserve(static_cast<std::size_t>(ncols));
        for (int c = 0; c < ncols; ++c) {
            if (PQgetisnull(r, i, c)) {
                values.emplace_back(std::monostate{});
            } else {
                values.push_back(decode(PQftype(r, c), PQgetvalue(r, i, c), PQgetlength(r, i, c)));
            }
        }
        rows.emplace_back(columns, std::move(values));
    }
    return result(std::move(columns), std::move(rows));
}

}  // namespace database::detail
