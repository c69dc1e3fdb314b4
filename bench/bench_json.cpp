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

// Quoting one reply text; the byte rate compares texts of different lengths.
void quoteText(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        std::string quoted = mtcjson::quote(text);
        benchmark::DoNotOptimize(quoted);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
// A typical failure reply text: UTF-8 copied through, a WinMM code at the end.
BENCHMARK_CAPTURE(quoteText, errorMessage,
                  std::string("无法打开 MIDI 输出端口，请关闭占用该接口的其他软件 (WinMM 4)"));
// A device name with a quotation mark and a control byte, the slow path of the encoder.
BENCHMARK_CAPTURE(quoteText, deviceName, std::string("USB \"MIDI\" Interface\t2"));

}  // namespace

BENCHMARK_MAIN();
