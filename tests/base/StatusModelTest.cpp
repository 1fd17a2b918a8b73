#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "base/StatusModel.h"

namespace {
StatusCounters Numbered() {
    StatusCounters c;
    for (size_t i = 0; i < kStatusFieldCount; ++i)
        c.values[i] = 100 + i;
    return c;
}
}  // namespace

// The line operators and log parsers know, written out by hand.
TEST(StatusModel, HealthLineKeepsItsText) {
    EXPECT_EQ(RenderHealthLine(Numbered()),
              "Health: frames 100 processed, capture drops 101, camera lost 102, "
              "camera stalled 103, pipeline drains 104, no codec 105, jpeg failed 106; "
              "lossless 107 clients, 108 sent, 109 dropped; "
              "lossy 110 clients, 111 sent, 112 dropped; web 113 clients, 114 sent, 115 dropped; "
              "stream 116 sent, 117 dropped; zeft 118 calls, 119 refused; access refused 120");
}

// Every value reaches the JSON under its key and /metrics under its name, and each family is
// announced once, before its samples.
TEST(StatusModel, EveryFieldIsInTheJsonAndTheMetrics) {
    const StatusCounters c = Numbered();
    const std::string json = "{" + RenderHealthJsonMembers(c) + "}";
    const std::string metrics = RenderStatusMetrics(c);
    std::set<std::string> announced;
    std::string current;
    const std::regex type("^# TYPE (\\S+) (counter|gauge)$");
    const std::regex sample("^(\\w+)(\\{channel=\"\\w+\"\\})? (\\d+)$");
    size_t samples = 0, start = 0;
    while (start < metrics.size()) {
        const size_t end = metrics.find('\n', start);
        const std::string line = metrics.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(announced.insert(m[1]).second) << line;
            current = m[1];
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_EQ(m[1], current) << line;
            ++samples;
        } else {
            EXPECT_EQ(line.rfind("# HELP ", 0), 0u) << line;
        }
    }
    EXPECT_EQ(samples, kStatusFieldCount);
    for (const StatusField& f : kStatusFields) {
        const std::string value = std::to_string(c[f.id]);
        EXPECT_NE(json.find(std::string("\"") + f.key + "\":" + value), std::string::npos) << f.key;
        const std::string name = std::string(f.metric) +
                                 (f.channel ? std::string("{channel=\"") + f.channel + "\"}" : "");
        EXPECT_NE(metrics.find("\n" + name + " " + value + "\n"), std::string::npos) << name;
        EXPECT_EQ(std::string(f.metric).ends_with("_total"), f.kind == StatusKind::kCounter)
            << f.metric;
    }
}
