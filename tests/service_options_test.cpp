// The service's settings written as options and read back as the C runtime splits a
// command line: what install registers is what run reads, whatever the names hold.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <shellapi.h>

#include <string>
#include <vector>

#include "service/service.h"

namespace {

// The words of `line` as CommandLineToArgvW splits them (as the C runtime does).
std::vector<std::string> split(const std::string& line) {
    std::wstring wide(line.begin(), line.end());
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) {
        std::wstring w = argv[i];
        words.emplace_back(w.begin(), w.end());
    }
    LocalFree(argv);
    return words;
}

TEST(ServiceOptions, WrittenAndReadBackTheSame) {
    const service_settings cases[] = {
        {1, "C:\\ProgramData\\clockgap", "", 28, true, "", false},
        {0, "D:\\", "E:\\metrics dir\\clockgap.prom", 1, false, "0.0.0.0:9101", true},
        {100000, "\\\\server\\share\\with space\\", "C:\\m\\\\", 100000, true, "[::1]:9101", false},
    };
    for (const auto& given : cases) {
        const std::string line =
            "\"C:\\Program Files\\clockgap\\clockgap-service.exe\" run" + option_words(given);
        service_settings read_back{};
        std::string problem;
        ASSERT_EQ(read_service_words(split(line), &read_back, &problem), 0)
            << line << ": " << problem;
        EXPECT_EQ(read_back.period_ms, given.period_ms) << line;
        EXPECT_EQ(read_back.log_dir, given.log_dir) << line;
        EXPECT_EQ(read_back.prom_path, given.prom_path) << line;
        EXPECT_EQ(read_back.keep_days, given.keep_days) << line;
        EXPECT_EQ(read_back.gzip, given.gzip) << line;
        EXPECT_EQ(read_back.listen, given.listen) << line;
        EXPECT_EQ(read_back.firewall, given.firewall) << line;
    }
}

TEST(ServiceOptions, LaterOptionsWinAndWrongOnesAreNamed) {
    service_settings s{};
    std::string problem;
    ASSERT_EQ(
        read_service_words({"x", "install", "--keep", "5", "--gzip", "--keep", "9", "--no-gzip"},
                           &s, &problem),
        0);
    EXPECT_EQ(s.keep_days, 9);
    EXPECT_FALSE(s.gzip);
    const struct {
        std::vector<std::string> words;
        const char* said;
    } wrong[] = {
        {{"x", "install", "--period", "abc"}, "--period needs a whole number"},
        {{"x", "install", "--period", "100001"}, "--period needs a whole number"},
        {{"x", "install", "--keep", "0"}, "--keep needs a whole number"},
        {{"x", "install", "--log-dir", ""}, "--log-dir needs a name"},
        {{"x", "install", "--prometheus"}, "--prometheus needs a name"},
        {{"x", "install", "--later"}, "unknown argument '--later'"},
        {{"x", "install", "--listen", "::1:9101"}, "--listen takes PORT, IPV4:PORT or [IPV6]:PORT"},
        {{"x", "install", "--listen", "127.0.0.1:99999"}, "the port is a number"},
        {{"x", "install", "--firewall"}, "--firewall goes with --listen"},
        {{"x", "install", "--listen", "9101", "--firewall", "--listen", ""},
         "--listen needs an address"},
    };
    for (const auto& w : wrong) {
        EXPECT_EQ(read_service_words(w.words, &s, &problem), 2) << w.said;
        EXPECT_NE(problem.find(w.said), std::string::npos) << problem;
    }
}

}  // namespace
