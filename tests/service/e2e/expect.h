// Texts the host sees, byte for byte, and small helpers shared by the end-to-end tests.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "tests/service/e2e/host.h"

namespace mtctest {

constexpr char kMalformed[] = "MIDI 命令格式错误。";
constexpr char kUnknownCommand[] = "未知 MIDI 命令。";
constexpr char kNotActive[] = "MTC 输出未启用。";
constexpr char kStale[] = "播放器时钟消息已过期，MTC 输出已关闭。请重新启用。";
constexpr char kImplausible[] = "播放器时间码位置无效，MTC 输出已关闭。";
constexpr char kSpeed[] = "时间码输出暂支持 1× 正向播放；速度改变后已关闭输出。";
constexpr char kWatchdog[] = "播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。";
constexpr char kDetached[] = "MTC 输出设备已断开，时间码输出已关闭。";
constexpr char kInvalidRate[] = "无效的时间码帧率或起始时间。";
constexpr char kPortGone[] = "所选 MIDI 输出已断开，请刷新并重新选择 USB MIDI 接口。";
constexpr char kPortBusy[] = "无法打开 MIDI 输出端口，请关闭占用该接口的其他软件 (WinMM 4)";
constexpr char kLocateTimeout[] = "MTC 定位发送超时，输出已关闭。请检查 USB MIDI 接口。";
constexpr char kOverflow[] = "MTC 输出更新阻塞，输出已关闭。请重新启用。";
// The sink's last resort, written without the service's writer.
constexpr char kDriverStuckLine[] =
    "{\"event\":\"error\",\"error\":\"MTC 驱动未能停止，输出服务已关闭。请重新连接 USB MIDI "
    "接口。\"}";

// The messages above need no JSON escapes, so the lines are plain concatenations.
inline std::string errorEventLine(const std::string& message) {
    return "{\"event\":\"error\",\"error\":\"" + message + "\"}";
}
inline std::string failureLine(const std::string& id, const std::string& message) {
    return "{\"id\":" + id + ",\"ok\":false,\"error\":\"" + message + "\"}";
}
inline std::string okLine(const std::string& id) {
    return "{\"id\":" + id + ",\"ok\":true}";
}

// A "start" line; without an id when `id` is empty.
inline std::string startLine(const std::string& id, const std::string& outputId, double fps,
                             double offset) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ",\"fps\":%.10g,\"offset\":%.10g}", fps, offset);
    return "{" + (id.empty() ? std::string() : "\"id\":" + id + ",") +
           "\"command\":\"start\",\"outputId\":\"" + outputId + "\"" + numbers;
}

// One simulated port with a fixed identity; its id as "list" reports it (SHA-256 of the
// identity text "velmarcast-winmm-v1\nsim#play\nPlayer port\n1:102:256:1", computed outside).
constexpr char kPlayerPortScenario[] = "port name=\"Player port\" path=\"sim#play\"\n";
constexpr char kPlayerPortId[] =
    "winmm:33340cd741d8d8a2baeff4c3dbf8b8ffba9d3502fa7f452018a48e6a24c5837d";

// Sends "stop" with `id` once a player's reports have ended and returns the line that answers
// it (at most 5 s). A stall of this machine between the last report and the stop lets the
// watchdog end the output first, which is the service doing its job: that event, and the
// "not active" events of reports that then reach it, are passed over. Any other line is
// returned in place of the reply, so the caller sees it.
inline std::string stopReply(ServiceHost& host, const std::string& id) {
    host.send("{\"id\":" + id + ",\"command\":\"stop\"}");
    const double deadline = hostNow() + 5.0;
    while (hostNow() < deadline) {
        const std::optional<OutputLine> line = host.readLine(deadline - hostNow());
        if (!line) {
            break;
        }
        if (line->text != errorEventLine(kWatchdog) && line->text != errorEventLine(kNotActive)) {
            return line->text;
        }
    }
    return "";
}

// A service whose simulated output is the player's port, followed by `moreLines` of the
// scenario (further ports, faults).
inline ServiceOptions onPlayerPort(const std::string& moreLines = std::string()) {
    ServiceOptions options;
    options.scenario = kPlayerPortScenario + moreLines;
    return options;
}

}  // namespace mtctest
