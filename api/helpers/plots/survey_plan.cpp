// survey-plan: renders a survey plan request to a PNG file, or prints the
// recommended scale of a survey area.
//
//   survey-plan REQUEST.json -o plan.png   writes the PNG ("-" reads stdin) and
//                                          prints {"size_mm": [w, h], "scale": N}
//   survey-plan --scale W H [PAPER_W PAPER_H MARGIN]
//
// Exit status: 0 on success, 2 for a bad request or bad arguments (the reason
// on stderr), 1 when the plan cannot be written or rendering fails otherwise.

#include "plots.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <iterator>
#include <vector>

namespace {

constexpr int exit_bad_request = 2;
constexpr int exit_failure = 1;

nlohmann::ordered_json read_request(const std::string& path) {
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw std::runtime_error("cannot read " + path);
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto doc = plots::parse_request(text);
    if (!doc) {
        throw plots::invalid_record(path == "-" ? "standard input is not JSON" : path + " is not JSON");
    }
    return std::move(*doc);
}

// Inverse of standard base64; the input comes from plots, so it is well formed.
std::string decode_base64(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int value = 0;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else {
            break;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

int print_scale(const std::vector<double>& numbers) {
    if (numbers.size() != 2 && numbers.size() != 5) {
        std::cerr << "survey-plan: --scale takes W H or W H PAPER_W PAPER_H MARGIN\n";
        return exit_bad_request;
    }
    const int scale = numbers.size() == 2 ? plots::get_recommended_scale(numbers[0], numbers[1])
                                          : plots::get_recommended_scale(numbers[0], numbers[1], numbers[2],
                                                                         numbers[3], numbers[4]);
    std::cout << scale << '\n';
    return 0;
}

int render(const std::string& request_path, const std::string& output_path) {
    nlohmann::ordered_json request;
    try {
        request = read_request(request_path);
    } catch (const std::exception& e) {
        std::cerr << "survey-plan: " << e.what() << '\n';
        return exit_bad_request;
    }
    const plots::plot_result result = plots::generate_plot_from_request(request);

    std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
    const std::string png = decode_base64(result.image64);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    out.close();
    if (!out) {
        std::cerr << "survey-plan: cannot write " << output_path << '\n';
        return exit_failure;
    }
    nlohmann::ordered_json summary;
    summary["size_mm"] = {result.size_mm.first, result.size_mm.second};
    summary["scale"] = result.scale;
    std::cout << summary.dump() << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Renders survey plans and recommends their scale."};
    std::string request_path;
    std::string output_path;
    std::vector<double> scale_numbers;
    auto* request_option = app.add_option("request", request_path, "request document (JSON), - for standard input");
    auto* output_option = app.add_option("-o,--output", output_path, "PNG file to write");
    auto* scale_option = app.add_option("--scale", scale_numbers, "W H [PAPER_W PAPER_H MARGIN]: print the recommended scale")
                             ->expected(2, 5);
    scale_option->excludes(request_option)->excludes(output_option);
    output_option->needs(request_option);
    request_option->needs(output_option);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return exit_bad_request;
    }

    try {
        if (!scale_option->empty()) {
            return print_scale(scale_numbers);
        }
        if (request_option->empty()) {
            std::cerr << "survey-plan: give a request and -o, or --scale\n" << app.help();
            return exit_bad_request;
        }
        return render(request_path, output_path);
    } catch (const plots::invalid_argument& e) {
        std::cerr << "survey-plan: invalid argument: " << e.what() << '\n';
    } catch (const plots::invalid_record& e) {
        std::cerr << "survey-plan: invalid record: " << e.what() << '\n';
    } catch (const plots::no_matching_parcel& e) {
        std::cerr << "survey-plan: no matching parcel: " << e.what() << '\n';
    } catch (const std::exception& e) {
        std::cerr << "survey-plan: " << e.what() << '\n';
        return exit_failure;
    }
    return exit_bad_request;
}
