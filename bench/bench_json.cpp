// Cost of the codec on the service's main thread: reading one clock report, which the host
// sends several times a second, and quoting one reply text.
#include "json/mtcjson.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void parseTransportLine(benchmark::State& state) {
    const std::string line =
        R"({"command":"transport","trackId":"A","position":1.5,"playing":true,"speed":1,)"
        R"("sentAtUnixMs":1700000000000.5})";
    for (auto _ : state) {
        mtcjson::Parser parser(line);
        mtcjson::Members members = parser.parse();
        benchmark::DoNotOptimize(members);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(parseTransportLine);

void quoteErrorMessage(benchmark::State& state) {
    // A typical failure reply text: UTF-8 copied through, a WinMM code at the end.
    const std::string message = "无法打开 MIDI 输出端口，请关闭占用该接口的其他软件 (WinMM 4)";
    for (auto _ : state) {
        std::string quoted = mtcjson::quote(message);
        benchmark::DoNotOptimize(quoted);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
}
BENCHMARK(quoteErrorMessage);

void quoteDeviceName(benchmark::State& state) {
    // A device name with a quotation mark and a control byte, the slow path of the encoder.
    const std::string name = "USB \"MIDI\" Interface\t2";
    for (auto _ : state) {
        std::string quoted = mtcjson::quote(name);
        benchmark::DoNotOptimize(quoted);
    }
}
BENCHMARK(quoteDeviceName);

}  // namespace

BENCHMARK_MAIN();
