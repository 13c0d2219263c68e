// Runs the built survey-plan command as a user would.

#include "fixtures.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace plots_test;
namespace fs = std::filesystem;

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class survey_plan : public testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("survey_plan_test_" + std::to_string(::getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path write(const std::string& name, const std::string& text) const {
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    outcome run(const std::string& arguments) const {
        const fs::path err_path = m_dir / "stderr.txt";
        const std::string command = std::string(SURVEY_PLAN_PATH) + " " + arguments + " 2>" + err_path.string();
        outcome result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return result;
        }
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            result.out.append(buffer, n);
        }
        const int status = ::pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream err(err_path);
        result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
        return result;
    }

    fs::path m_dir;
};

json request() { return {{"parcel_data", hundred_by_fifty()}, {"selected_parcel_number", "P1"}, {"road_data", nullptr}}; }

TEST_F(survey_plan, renders_a_request_to_a_png) {
    const fs::path input = write("request.json", request().dump());
    const fs::path output = m_dir / "plan.png";
    const outcome r = run(input.string() + " -o " + output.string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out), json::parse(R"({"size_mm": [265.92, 152.0], "scale": 1000})"));
    std::ifstream in(output, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const image png = read_png(bytes);
    EXPECT_EQ(png.width, 3141);
    EXPECT_EQ(png.height, 1795);
    EXPECT_NE(r.err.find("Found scale: 1000"), std::string::npos);
}

TEST_F(survey_plan, reads_a_request_with_a_box_from_standard_input) {
    json boxed = request();
    boxed["bounding_box"] = {{"minx", 500000}, {"maxx", 500300}, {"miny", 700000}, {"maxy", 700100}, {"srid", 26332}};
    const fs::path input = write("request.json", boxed.dump());
    const outcome r = run("- -o " + (m_dir / "plan.png").string() + " <" + input.string());
    ASSERT_EQ(r.status, 0) << r.err;
    const json summary = json::parse(r.out);
    EXPECT_EQ(summary["scale"], 2000);
    EXPECT_NEAR(summary["size_mm"][1].get<double>(), 88.64, 1e-9);
}

TEST_F(survey_plan, prints_the_recommended_scale) {
    struct example {
        const char* arguments;
        const char* printed;
    };
    for (const example& e : {example{"--scale 100 50", "500\n"}, example{"--scale 10000 1000", "38000\n"},
                             example{"--scale 100 50 297 210 10", "500\n"}, example{"--scale 130 80 210 297 60", "2000\n"}}) {
        const outcome r = run(e.arguments);
        EXPECT_EQ(r.status, 0) << e.arguments << r.err;
        EXPECT_EQ(r.out, e.printed) << e.arguments;
    }
}

TEST_F(survey_plan, reports_each_kind_of_bad_request_with_status_2) {
    json no_match = request();
    no_match["selected_parcel_number"] = "P404";
    json missing_key = request();
    missing_key["parcel_data"][0].erase("geometry");
    json flat_box = request();
    flat_box["bounding_box"] = {{"minx", 1}, {"maxx", 1}, {"miny", 0}, {"maxy", 5}, {"srid", 26332}};
    const fs::path out = m_dir / "plan.png";
    struct example {
        std::string arguments;
        const char* message_part;
    };
    const example examples[] = {
        {"--scale 0 50", "Survey dimensions must be positive."},
        {"--scale 100 50 210 297 150", "leaves no usable area"},
        {write("flat.json", flat_box.dump()).string() + " -o " + out.string(), "Bounding box dimensions must be positive."},
        {write("missing.json", missing_key.dump()).string() + " -o " + out.string(), "lacks the key \"geometry\""},
        {write("nomatch.json", no_match.dump()).string() + " -o " + out.string(), "parcel_number equal to \"P404\""},
        {write("broken.json", "{\"parcel_data\": [").string() + " -o " + out.string(), "is not JSON"},
        {write("deep.json", std::string(100000, '[') + std::string(100000, ']')).string() + " -o " + out.string(), "deeper than 64"},
        {(m_dir / "absent.json").string() + " -o " + out.string(), "cannot read"},
        {"--scale 1 2 3", "--scale"},
        {write("request.json", request().dump()).string(), "output"},
        {"--no-such-option", "no-such-option"},
    };
    for (const example& e : examples) {
        const outcome r = run(e.arguments);
        EXPECT_EQ(r.status, 2) << e.arguments;
        EXPECT_TRUE(r.out.empty()) << e.arguments << ": " << r.out;
        EXPECT_NE(r.err.find(e.message_part), std::string::npos) << e.arguments << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
