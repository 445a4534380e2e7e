#include "app/cli/cli_several_view.h"

#include "app/cli/cli_output.h"

#include <cstdio>
#include <cstdlib>

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

bool VIEW_Apply(PortView& view, const std::string& line) {
    std::string event = JSON_Field(line, "event");
    if (event == "step") {
        view.Step = JSON_Field(line, "step");
        view.Percent = -1;
    } else if (event == "progress") {
        int percent = std::atoi(JSON_Field(line, "percent").c_str());
        if (percent == view.Percent)
            return false;
        view.Percent = percent;
    } else if (event == "status") {
        view.Line = JSON_Field(line, "text");
    } else if (event == "step_result") {
        std::string status = JSON_Field(line, "status");
        if (status != "ok")
            view.Line = JSON_Field(line, "step") + ": " + status;
    } else if (event == "result") {
        view.Result = JSON_Field(line, "result");
        view.ImageCrc = JSON_Field(line, "image_crc");
        view.TargetCrc = JSON_Field(line, "target_crc");
        std::string seconds = JSON_Field(line, "update_seconds");
        view.Seconds = std::atof((seconds.empty() ? JSON_Field(line, "seconds") : seconds).c_str());
        view.Step.clear();
        std::string failed = JSON_Field(line, "failed_step");
        std::string message = JSON_Field(line, "message");
        if (!failed.empty())
            view.Line = failed;
        else if (!message.empty())
            view.Line = message;
    } else if (event == "tally") {
        view.Updated = std::atoi(JSON_Field(line, "updated").c_str());
        view.NotUpdated = std::atoi(JSON_Field(line, "not_updated").c_str());
    } else {
        return false;
    }
    return true;
}

std::string VIEW_PlainLine(const PortView& view, const std::string& line) {
    std::string event = JSON_Field(line, "event");
    if (event == "step")
        return view.Port + ": " + view.Step + " ...";
    if (event == "progress" && view.Percent % 10 == 0 && view.Percent > 0 && view.Percent < 100 &&
        JSON_Field(line, "total") != "2")
        return view.Port + ": " + view.Step + " " + std::to_string(view.Percent) + "%";
    if (event == "result") {
        bool good = view.Result == "updated" || view.Result == "current";
        return view.Port + ": " + view.Result + (good || view.Line.empty() ? "" : " (" + view.Line + ")");
    }
    return "";
}

void VIEW_Draw(std::vector<PortView>& views, bool terminal, bool redraw) {
    if (!terminal)
        return;
    if (redraw)
        std::fprintf(stderr, "\033[%zuA", views.size());
    for (const PortView& v : views) {
        std::string state;
        if (v.ExitCode >= 0 || !v.Result.empty()) {
            state = v.Result.empty() ? "ended" : v.Result;
            if (state != "updated" && state != "current" && !v.Line.empty())
                state += " (" + v.Line + ")";
        } else if (!v.Step.empty())
            state = v.Step + (v.Percent >= 0 ? " " + std::to_string(v.Percent) + "%" : "");
        else
            state = v.Line;
        std::fprintf(stderr, "\r%-24s %s\033[K\n", v.Port.c_str(), state.c_str());
    }
    std::fflush(stderr);
}

void VIEW_Summary(const std::vector<PortView>& views) {
    char acLine[256];
    std::snprintf(acLine, sizeof acLine, "%-24s %-14s %8s  %-6s %-6s %s", "port", "result", "time", "image",
                  "target", "exit");
    OUT_Always(acLine);
    for (const PortView& v : views) {
        std::string result = v.Result.empty() ? "ended" : v.Result;
        if (v.Updated + v.NotUpdated > 0)
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

bool VIEW_TakeChildLine(PortView& view, std::string line, bool json, bool plain) {
    if (line.find("\"port\":") == std::string::npos && line.size() > 1)
        line = "{\"port\":\"" + JSON_Escape(view.Port) + "\"," + line.substr(1);
    if (json) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    if (!VIEW_Apply(view, line))
        return false;
    if (plain) {
        std::string text = VIEW_PlainLine(view, line);
        if (!text.empty())
            OUT_Line(text);
    }
    return true;
}
