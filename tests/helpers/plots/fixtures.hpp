#pragma once
// Requests, log capture and PNG reading shared by the plots tests.

#include "logger/logger.hpp"
#include "plan_records.hpp"

#include <nlohmann/json.hpp>
#include <png.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace plots_test {

// A parcel record whose beacons sit at `corners`, in that order, with their
// stated distances measured from the corners.
inline json parcel(const json& number, const std::vector<xy>& corners, const json& name = "Plot 1",
                   const json& area = 5000.0) {
    json boundary = json::array();
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const xy here = corners[i];
        const xy next = corners[(i + 1) % corners.size()];
        boundary.push_back({{"geometry", {{"coordinates", {here.x, here.y}}}},
                            {"beacon_name", "B" + std::to_string(i + 1)},
                            {"distance_to_next", std::hypot(next.x - here.x, next.y - here.y)},
                            {"bearing_deg_to_next", 90},
                            {"bearing_min_to_next", 15}});
    }
    return {{"parcel_number", number},
            {"name", name},
            {"area", area},
            {"geometry", {{"coordinates", polygon_coordinates(corners)}}},
            {"boundary", boundary}};
}

inline constexpr double e0 = 500000;
inline constexpr double n0 = 700000;

// The 100 m x 50 m parcel "P1" at (e0, n0) with one neighbour to the east.
inline json hundred_by_fifty() {
    return json::array({parcel("P1", rectangle(e0, n0, 100, 50)), neighbour("P2", rectangle(e0 + 110, n0, 100, 50))});
}

// Collects the log lines (message text only) written while it lives.
class log_capture {
public:
    log_capture() : m_sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)) {
        logger::add_sink(m_sink);
        m_sink->set_pattern("%v");
    }
    ~log_capture() { logger::remove_sink(m_sink); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<std::string> lines() const {
        std::vector<std::string> lines = m_sink->last_formatted();
        for (std::string& line : lines) {
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
        }
        return lines;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> m_sink;
};

inline std::vector<std::uint8_t> decode_base64(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (c == '=') {
            break;
        }
        const char* found = std::strchr(alphabet, c);
        if (found == nullptr || c == '\0') {
            throw std::runtime_error(std::string("not base64: ") + c);
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(found - alphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// A decoded PNG, with its pHYs chunk read from the raw chunks.
struct image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes per pixel, rows top to bottom
    std::optional<std::uint32_t> pixels_per_metre_x;
    std::optional<std::uint32_t> pixels_per_metre_y;
    int phys_unit = -1;

    struct pixel {
        int r;
        int g;
        int b;
    };
    pixel at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

inline std::uint32_t read_u32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline image read_png(const std::vector<std::uint8_t>& bytes) {
    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&header, bytes.data(), bytes.size()) == 0) {
        throw std::runtime_error(std::string("not a PNG: ") + header.message);
    }
    header.format = PNG_FORMAT_RGB;
    image result;
    result.width = static_cast<int>(header.width);
    result.height = static_cast<int>(header.height);
    result.rgb.resize(PNG_IMAGE_SIZE(header));
    if (png_image_finish_read(&header, nullptr, result.rgb.data(), 0, nullptr) == 0) {
        throw std::runtime_error(std::string("bad PNG: ") + header.message);
    }
    for (std::size_t at = 8; at + 12 <= bytes.size();) {
        const std::uint32_t length = read_u32(&bytes[at]);
        const std::string type(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
        if (type == "pHYs" && length == 9) {
            result.pixels_per_metre_x = read_u32(&bytes[at + 8]);
            result.pixels_per_metre_y = read_u32(&bytes[at + 12]);
            result.phys_unit = bytes[at + 16];
        }
        at += 12 + length;
    }
    return result;
}

}  // namespace plots_test
