#include "app/station/station_render.h"

#include "app/station/station_text.h"

#include <cstdio>

namespace {

// Builds one JSON object; keys in the order added, every text escaped.
struct JsonObject {
    std::string Text;
    JsonObject& Key(const char* key) {
        Text += (Text.empty() ? "{" : ",") + STX_JsonString(key) + ":";
        return *this;
    }
    JsonObject& Add(const char* key, const std::string& value) {
        Key(key).Text += STX_JsonString(value);
        return *this;
    }
    JsonObject& Add(const char* key, long long value) {
        Key(key).Text += std::to_string(value);
        return *this;
    }
    JsonObject& Add(const char* key, double value) {
        char acValue[32];
        std::snprintf(acValue, sizeof acValue, "%.3f", value);
        Key(key).Text += acValue;
        return *this;
    }
    JsonObject& AddRaw(const char* key, const std::string& json) {
        Key(key).Text += json;
        return *this;
    }
    // Only a text the event had: "" stays out.
    JsonObject& AddIf(const char* key, const std::string& value) {
        return value.empty() ? *this : Add(key, value);
    }
    std::string Close() const { return Text.empty() ? "{}" : Text + "}"; }
};

std::string ResultJson(const StationResult& r) {
    JsonObject o;
    o.Add("time", r.Time).Add("result", r.Result).AddIf("failed_step", r.FailedStep);
    if (r.Seconds >= 0)
        o.Add("seconds", r.Seconds);
    o.Add("exit_code", static_cast<long long>(r.ExitCode));
    if (r.Retries >= 0)
        o.Add("retries", r.Retries);
    return o.Close();
}

std::string PortJson(const StationPort& p) {
    JsonObject o;
    o.Add("port", p.Port).Add("device", p.Device).Add("state", Station_StateWord(p.State));
    o.AddIf("result", p.Result).AddIf("step", p.Step);
    if (p.State == STATION_STEP && p.Percent >= 0)
        o.Add("percent", static_cast<long long>(p.Percent));
    o.AddIf("failed_step", p.FailedStep).AddIf("status", p.Line).AddIf("warning", p.Warning);
    o.AddIf("id_text1", p.IdText1).AddIf("id_text2", p.IdText2);
    o.AddIf("image_crc", p.ImageCrc).AddIf("target_crc", p.TargetCrc);
    if (!p.Result.empty())
        o.Add("seconds", p.Seconds);
    if (p.ExitCode >= 0)
        o.Add("exit_code", static_cast<long long>(p.ExitCode));
    o.Add("updated", static_cast<long long>(p.Updated))
        .Add("not_updated", static_cast<long long>(p.NotUpdated))
        .Add("retries", p.Retries);
    std::string last = "[";
    for (const StationResult& r : p.Last)
        last += (last.size() > 1 ? "," : "") + ResultJson(r);
    return o.AddRaw("last", last + "]").Close();
}

// Prometheus' text format: one family with its HELP and TYPE, then its samples.
struct Metrics {
    std::string Text;
    void Family(const char* name, const char* type, const char* help) {
        Text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // labels: "name","value" pairs; the values are escaped here.
    void Sample(const std::string& name, std::initializer_list<std::pair<const char*, std::string>> labels,
                const std::string& value) {
        Text += name;
        const char* separator = "{";
        for (const auto& label : labels) {
            Text += std::string(separator) + label.first + "=\"" + STX_LabelValue(label.second) + "\"";
            separator = ",";
        }
        Text += std::string(labels.size() ? "} " : " ") + value + "\n";
    }
};

std::string Number(double value) {
    char acValue[32];
    std::snprintf(acValue, sizeof acValue, "%.3f", value);
    return acValue;
}

std::string Bound(double bound) {
    char acValue[32];
    std::snprintf(acValue, sizeof acValue, "%g", bound);
    return acValue;
}

} // namespace

std::string Station_StateJson(const StationSnapshot& s) {
    JsonObject o;
    o.Add("host", s.Info.Host).Add("version", s.Info.Version);
    o.Add("firmware", s.Info.Firmware)
        .Add("firmware_size", s.Info.FirmwareSize)
        .Add("firmware_crc", s.Info.FirmwareCrc)
        .Add("firmware_sha256", s.Info.FirmwareSha256);
    o.AddIf("record", s.Info.Record);
    o.Add("changes", static_cast<long long>(s.Changes));
    std::string ports = "[";
    for (const StationPort& p : s.Ports)
        ports += (ports.size() > 1 ? "," : "") + PortJson(p);
    return o.AddRaw("ports", ports + "]").Close();
}

std::string Station_EventMessage(const StationSnapshot& station) {
    return "data: " + Station_StateJson(station) + "\n\n";
}

std::string Station_Metrics(const StationSnapshot& s) {
    Metrics m;
    m.Family("tq330_results_total", "counter", "Results of the devices on each port, by the result's word.");
    for (const StationPort& p : s.Ports) {
        // Updated and not updated from the start, so that a rate is known before the first failure.
        std::map<std::string, long long> results = p.Results;
        results.emplace("updated", 0);
        results.emplace("not updated", 0);
        for (const auto& [result, count] : results)
            m.Sample("tq330_results_total", {{"port", p.Port}, {"result", result}}, std::to_string(count));
    }
    m.Family("tq330_update_seconds", "histogram",
             "Seconds of each update that ran, from its start to its result.");
    for (const StationPort& p : s.Ports) {
        long long cumulative = 0;
        for (size_t b = 0; b < STATION_BUCKET_COUNT; ++b) {
            cumulative += p.Buckets[b];
            m.Sample("tq330_update_seconds_bucket",
                     {{"port", p.Port}, {"le", Bound(STATION_SECONDS_BUCKETS[b])}},
                     std::to_string(cumulative));
        }
        m.Sample("tq330_update_seconds_bucket", {{"port", p.Port}, {"le", "+Inf"}},
                 std::to_string(p.UpdateCount));
        m.Sample("tq330_update_seconds_sum", {{"port", p.Port}}, Number(p.UpdateSecondsSum));
        m.Sample("tq330_update_seconds_count", {{"port", p.Port}}, std::to_string(p.UpdateCount));
    }
    m.Family("tq330_retries_total", "counter", "Frames sent again to the devices on each port.");
    for (const StationPort& p : s.Ports)
        m.Sample("tq330_retries_total", {{"port", p.Port}}, std::to_string(p.Retries));
    m.Family("tq330_port_state", "gauge",
             "The state of each port: 1 for the state it is in, 0 for the others.");
    for (const StationPort& p : s.Ports)
        for (int state = 0; state < STATION_STATE_COUNT; ++state)
            m.Sample("tq330_port_state",
                     {{"port", p.Port}, {"state", Station_StateWord(static_cast<StationState>(state))}},
                     p.State == state ? "1" : "0");
    m.Family("tq330_step_percent", "gauge",
             "Percent done of the step running on each port, -1 when none runs.");
    for (const StationPort& p : s.Ports)
        m.Sample("tq330_step_percent", {{"port", p.Port}},
                 std::to_string(p.State == STATION_STEP ? p.Percent : -1));
    m.Family("tq330_build_info", "gauge", "The program's version and the firmware it writes; always 1.");
    m.Sample("tq330_build_info",
             {{"version", s.Info.Version},
              {"firmware_crc", s.Info.FirmwareCrc},
              {"firmware_sha256", s.Info.FirmwareSha256},
              {"firmware_size", std::to_string(s.Info.FirmwareSize)}},
             "1");
    return m.Text;
}
