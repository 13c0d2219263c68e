// survey-plan: renders a survey plan request to a PNG file (or with
// --format pdf an A4 PDF page at true scale), or prints the recommended scale
// of a survey area.
//
//   survey-plan REQUEST.json -o plan.png   writes the PNG ("-" reads stdin) and
//                                          prints {"size_mm": [w, h], "scale": N}
//   survey-plan --plot PLOT_NO [--zone Z] [--database-url URL] [--roads-table NAME] -o plan.png
//                                          the same for a plot of the cadastre
//   survey-plan --scale W H [PAPER_W PAPER_H MARGIN]
//
// Exit status: 0 on success, 2 for a bad request or bad arguments (the reason
// on stderr), 1 when the plan cannot be written, the database cannot be read
// or rendering fails otherwise.

#include "plots.hpp"

#include <CLI/CLI.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <exception>
#include <optional>

#include "cadastre/plan_source.hpp"
#include "database/database.hpp"

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

// The request of a plot read from the cadastre on a loop of its own; warnings go to stderr.
plots::cadastre::assembled_request read_plot_request(const std::string& database_url, const plots::cadastre::plot_key& key,
                                         const plots::cadastre::source_options& options) {
    boost::asio::io_context ioc(1);
    database::pool pool(ioc.get_executor(), database::pool_options{.url = database_url, .size = 1});
    auto session = pool.make_session();
    std::optional<plots::cadastre::assembled_request> assembled;
    std::exception_ptr failure;
    boost::asio::co_spawn(ioc, plots::cadastre::assemble_request(*session, key, options),
                          [&](std::exception_ptr e, plots::cadastre::assembled_request r) {
                              failure = e;
                              if (!e) assembled = std::move(r);
                          });
    ioc.run();
    if (failure) std::rethrow_exception(failure);
    for (const auto& warning : assembled->warnings) std::cerr << "survey-plan: warning: " << warning << '\n';
    return std::move(*assembled);
}

int render(const nlohmann::ordered_json& request, const std::string& output_path, bool pdf, const std::string& zone = {}) {
    std::string bytes;
    std::pair<double, double> size_mm;
    int scale = 0;
    if (pdf) {
        plots::plan_caption caption = plots::caption_of_request(request);
        caption.zone = zone;
        auto result = plots::generate_pdf_from_request(request, caption);
        bytes = std::move(result.bytes);
        size_mm = result.size_mm;
        scale = result.scale;
    } else {
        const plots::plot_result result = plots::generate_plot_from_request(request);
        bytes = plots::png_bytes(result);
        size_mm = result.size_mm;
        scale = result.scale;
    }

    std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "survey-plan: cannot write " << output_path << '\n';
        return exit_failure;
    }
    nlohmann::ordered_json summary;
    summary["size_mm"] = {size_mm.first, size_mm.second};
    summary["scale"] = scale;
    std::cout << summary.dump() << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Renders survey plans and recommends their scale."};
    std::string request_path;
    std::string output_path;
    std::vector<double> scale_numbers;
    plots::cadastre::plot_key key;
    std::string zone;
    std::string database_url;
    std::string roads_table;
    std::string format = "png";
    if (const char* url = std::getenv("DATABASE_URL")) database_url = url;
    auto* request_option = app.add_option("request", request_path, "request document (JSON), - for standard input");
    auto* output_option = app.add_option("-o,--output", output_path, "PNG (or PDF) file to write");
    app.add_option("--format", format, "png, or pdf for an A4 landscape page at true scale with a caption")
        ->check(CLI::IsMember({"png", "pdf"}))
        ->capture_default_str();
    auto* plot_option = app.add_option("--plot", key.plot_no, "draw the plan of the plot with this PLOT_NO, read from the database");
    auto* zone_option = app.add_option("--zone", zone, "the plot's CADZONE, where its number is used in several zones");
    auto* url_option =
        app.add_option("--database-url", database_url, "PostgreSQL URI of the cadastre (default: the DATABASE_URL environment variable)");
    auto* roads_option = app.add_option("--roads-table", roads_table, "[schema.]table whose line geometry (EPSG:3857) gives the roads");
    auto* scale_option = app.add_option("--scale", scale_numbers, "W H [PAPER_W PAPER_H MARGIN]: print the recommended scale")
                             ->expected(2, 5);
    scale_option->excludes(request_option)->excludes(output_option)->excludes(plot_option);
    plot_option->excludes(request_option);
    request_option->needs(output_option);
    plot_option->needs(output_option);
    for (auto* option : {zone_option, url_option, roads_option}) option->needs(plot_option);

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
        if (!plot_option->empty()) {
            if (database_url.empty()) {
                std::cerr << "survey-plan: --plot needs --database-url or DATABASE_URL\n";
                return exit_bad_request;
            }
            if (!zone.empty()) key.zone = zone;
            plots::cadastre::source_options options;
            if (!roads_table.empty()) options.roads_table = roads_table;
            const auto assembled = read_plot_request(database_url, key, options);
            return render(assembled.request, output_path, format == "pdf", assembled.zone);
        }
        if (request_option->empty()) {
            std::cerr << "survey-plan: give a request and -o, a plot and -o, or --scale\n" << app.help();
            return exit_bad_request;
        }
        nlohmann::ordered_json request;
        try {
            request = read_request(request_path);
        } catch (const std::exception& e) {
            std::cerr << "survey-plan: " << e.what() << '\n';
            return exit_bad_request;
        }
        return render(request, output_path, format == "pdf");
    } catch (const plots::cadastre::ambiguous_plot& e) {
        std::cerr << "survey-plan: " << e.what() << " with --zone\n";
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
