#include "support/gzip.hpp"

#include <zlib.h>

namespace test_support {

std::string gunzip(const std::string& in) {
    z_stream z{};
    inflateInit2(&z, 15 + 16);  // gzip header and trailer
    std::string out;
    char chunk[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_in == 0 ? out : "<not gzip>";
}

}  // namespace test_support
