#include "app/cli/cli_several_view.h"

#include "app/cli/cli_output.h"

#include <cstdio>

std::string JSON_Field(const std::string& line, const char* key) {
    std::string pattern = std::string("\"") + key + "\":";
    size_t at = line.find(pattern);
    if (at == std::string::npos)
        return "";
    at += pattern.size();
    if (at < line.size() && line[at] == '"') {
        std::string value;
        for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                ++i;
                value += line[i] == 'n' ? ' ' : line[i];
            } else {
                value += line[i];
            }
        }
        return value;
    }
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string VIEW_PlainLine(const StationPort& port, const std::string& line) {
    std::string event = JSON_Field(line, "event");
    if (event == "step")
        return port.Port + ": " + port.Step + " ...";
    if (event == "progress" && port.Percent % 10 == 0 && port.Percent > 0 && port.Percent < 100 &&
        JSON_Field(line, "total") != "2")
        return port.Port + ": " + port.Step + " " + std::to_string(port.Percent) + "%";
    if (event == "result") {
        bool good = port.Result == "updated" || port.Result == "current";
        return port.Port + ": " + port.Result + (good || port.Line.empty() ? "" : " (" + port.Line + ")");
    }
    return "";
}

void VIEW_Draw(const StationSnapshot& station, bool terminal, bool redraw) {
    if (!terminal)
        return;
    if (redraw)
        std::fprintf(stderr, "\033[%zuA", station.Ports.size());
    for (const StationPort& p : station.Ports) {
        std::string state;
        if (p.State >= STATION_UPDATED) { // a result, or the child's end
            state = p.Result.empty() ? "ended" : p.Result;
            if (state != "updated" && state != "current" && !p.Line.empty())
                state += " (" + p.Line + ")";
        } else if (p.State == STATION_STEP && !p.Step.empty()) {
            state = p.Step + (p.Percent >= 0 ? " " + std::to_string(p.Percent) + "%" : "");
        } else {
            state = p.Line;
        }
        std::fprintf(stderr, "\r%-24s %s\033[K\n", p.Port.c_str(), state.c_str());
    }
    std::fflush(stderr);
}

void VIEW_Summary(const StationSnapshot& station, bool loop) {
    char acLine[256];
    std::snprintf(acLine, sizeof acLine, "%-24s %-14s %8s  %-6s %-6s %s", "port", "result", "time", "image",
                  "target", "exit");
    OUT_Always(acLine);
    for (const StationPort& v : station.Ports) {
        std::string result = v.Result.empty() ? "ended" : v.Result;
        if (loop && v.Updated + v.NotUpdated > 0)
            result +=
                " (" + std::to_string(v.Updated) + "/" + std::to_string(v.Updated + v.NotUpdated) + " ok)";
        std::snprintf(acLine, sizeof acLine, "%-24s %-14s %7.1fs  %-6s %-6s %d", v.Port.c_str(),
                      result.c_str(), v.Seconds, v.ImageCrc.empty() ? "-" : v.ImageCrc.c_str(),
                      v.TargetCrc.empty() ? "-" : v.TargetCrc.c_str(), v.ExitCode);
        OUT_Always(acLine);
        JsonLine fields;
        fields.Add("port", v.Port).Add("result", result).Add("exit_code", static_cast<long long>(v.ExitCode));
        fields.Add("seconds", v.Seconds);
        if (!v.ImageCrc.empty())
            fields.Add("image_crc", v.ImageCrc);
        if (!v.TargetCrc.empty())
            fields.Add("target_crc", v.TargetCrc);
        OUT_Event("summary", fields);
    }
}

bool VIEW_TakeChildLine(size_t index, const std::string& port, std::string line, bool json, bool plain) {
    if (line.find("\"port\":") == std::string::npos && line.size() > 1)
        line = "{\"port\":\"" + JSON_Escape(port) + "\"," + line.substr(1);
    if (json) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    if (!Station_Apply(index, line))
        return false;
    const std::string event = JSON_Field(line, "event");
    if (plain && (event == "step" || event == "progress" || event == "result")) {
        StationSnapshot station = Station_Snapshot();
        std::string text = VIEW_PlainLine(station.Ports[index], line);
        if (!text.empty())
            OUT_Line(text);
    }
    return true;
}
