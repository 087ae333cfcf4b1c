// Benchmark of the UI host over a real WebSocket on loopback (not run by CTest):
// the median round trip of one command, and the time from a worker's call with
// 100,000 result rows until it holds the page's answer (the page side parses the
// whole message, as a browser's JSON.parse does).
//
//   build/<preset>/tests/shell/host_bench [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>
#include <vector>

#include "shell/host.h"
#include "ws_test_client.h"

namespace {

using merravine::ScriptValue;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Milliseconds(Clock::duration elapsed) {
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

ScriptValue Rows(int count) {
    ScriptValue rows;
    for (int i = 0; i < count; ++i) {
        rows.Append(ScriptValue::List(
            {ScriptValue::Int(0),
             ScriptValue::Text("/home/ann/pictures/holiday " + std::to_string(i / 100) + "/"),
             ScriptValue::Text("IMG_" + std::to_string(i) + "."), ScriptValue::Text("jpg"),
             ScriptValue::Text("4882813"), ScriptValue::Text("4882813"),
             ScriptValue::Text("2024-05-01 10:00:00"), ScriptValue::Text("2024-05-01 10:00:00"),
             ScriptValue::Text("2024-05-02 11:00:00"), ScriptValue::Int(i / 2 + 1),
             ScriptValue::Int(16), ScriptValue::Int(0)}));
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    merravine::shell::CommandTable table;
    table.Add("Echo", 1, [](const ScriptValue::Array& args) { return args[0]; });
    std::string error;
    auto host = merravine::shell::Host::Start(
        {},
        [&table](const std::string& name, const ScriptValue::Array& args) {
            return table.Call(name, args);
        },
        nullptr, error);
    if (!host) {
        std::fprintf(stderr, "host_bench: %s\n", error.c_str());
        return 1;
    }
    merravine::testing::WsTestClient page;
    if (!page.Connect(host->Port(), host->Secret())) return 1;

    std::vector<double> round_trips;
    uint64_t id = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 1000; ++i) {
            const auto start = Clock::now();
            page.Call(++id, "Echo", "[\"BeginSearch\"]");
            round_trips.push_back(Milliseconds(Clock::now() - start));
        }
    }

    const ScriptValue rows = Rows(100000);
    std::vector<double> deliveries;
    size_t message_bytes = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        auto answer = std::async(std::launch::async, [&] {
            return host->Bridge().CallScriptFunction("DuplicateFileToUI", rows);
        });
        const auto message = page.Read();
        if (!message) return 1;
        message_bytes = message->size();
        const auto parsed = nlohmann::json::parse(*message);
        page.Send("{\"reply\":" + parsed["call"].dump() +
                  ",\"result\":" + std::to_string(parsed["arg"].size()) + "}");
        if (!answer.get().ok) return 1;
        deliveries.push_back(Milliseconds(Clock::now() - start));
    }
    std::printf("command round trip: median %.3f ms over %zu calls\n", Median(round_trips),
                round_trips.size());
    std::printf(
        "100,000 rows to the page and its answer back: median %.1f ms over %d rounds (%.1f MB "
        "message)\n",
        Median(deliveries), rounds, static_cast<double>(message_bytes) / 1e6);
    host->Stop();
    return 0;
}
