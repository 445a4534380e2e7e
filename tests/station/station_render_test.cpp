// The station's renderings read back: /metrics by a reader of Prometheus' text format written here
// from the format's rules, /state by Boost's JSON parser, and the texts of a hostile device and of
// port names with quotes, backslashes and line breaks.
#include "station_test.h"

#include "app/station/station_render.h"
#include "app/station/station_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>

namespace {

const char* const HOSTILE = "<img src=x onerror=alert(1)>";

struct Sample {
    std::string Name;
    std::map<std::string, std::string> Labels;
    double Value = 0;
};

// The text format: "# HELP name text" and "# TYPE name type" before a family's samples, samples as
// name{label="value",...} value, label values with \\ \" \n as their only escapes, every line ended.
struct Exposition {
    std::vector<Sample> Samples;
    std::map<std::string, std::string> Types;
    std::string Error; // the first rule broken
};

std::string FamilyOf(const std::string& name, const std::map<std::string, std::string>& types) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        size_t n = std::string(suffix).size();
        if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) {
            std::string base = name.substr(0, name.size() - n);
            auto type = types.find(base);
            if (type != types.end() && type->second == "histogram")
                return base;
        }
    }
    return name;
}

bool ReadLabels(const std::string& line, size_t* pAt, std::map<std::string, std::string>* pLabels) {
    size_t at = *pAt + 1;
    while (at < line.size() && line[at] != '}') {
        size_t equals = line.find("=\"", at);
        if (equals == std::string::npos)
            return false;
        std::string name = line.substr(at, equals - at), value;
        at = equals + 2;
        for (;; ++at) {
            if (at >= line.size())
                return false;
            if (line[at] == '"')
                break;
            if (line[at] == '\\') {
                char e = at + 1 < line.size() ? line[++at] : '?';
                if (e != '\\' && e != '"' && e != 'n')
                    return false;
                value += e == 'n' ? '\n' : e;
            } else {
                value += line[at];
            }
        }
        if (pLabels->count(name))
            return false;
        (*pLabels)[name] = value;
        ++at;
        if (at < line.size() && line[at] == ',')
            ++at;
    }
    *pAt = at + 1;
    return at < line.size();
}

Exposition ReadMetrics(const std::string& text) {
    Exposition e;
    if (text.empty() || text.back() != '\n')
        e.Error = "the last line is not ended";
    std::map<std::string, bool> help;
    size_t begin = 0;
    while (e.Error.empty() && begin < text.size()) {
        size_t end = text.find('\n', begin);
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        if (line.rfind("# HELP ", 0) == 0) {
            help[line.substr(7, line.find(' ', 7) - 7)] = true;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            size_t space = line.find(' ', 7);
            std::string name = line.substr(7, space - 7);
            if (e.Types.count(name))
                e.Error = "two TYPE lines for " + name;
            e.Types[name] = line.substr(space + 1);
        } else {
            Sample s;
            size_t at = line.find_first_of("{ ");
            s.Name = line.substr(0, at);
            if (at != std::string::npos && line[at] == '{' && !ReadLabels(line, &at, &s.Labels)) {
                e.Error = "bad labels: " + line;
                break;
            }
            if (at == std::string::npos || line[at] != ' ') {
                e.Error = "no value: " + line;
                break;
            }
            std::string value = line.substr(at + 1);
            char* pEnd = nullptr;
            s.Value = value == "+Inf" ? 1e308 : std::strtod(value.c_str(), &pEnd);
            if (value != "+Inf" && (pEnd == value.c_str() || *pEnd != '\0'))
                e.Error = "bad value: " + line;
            std::string family = FamilyOf(s.Name, e.Types);
            if (!e.Types.count(family) || !help.count(family))
                e.Error = "a sample before its HELP and TYPE: " + line;
            e.Samples.push_back(s);
        }
    }
    return e;
}

// The value of the one sample with this name and these labels; NaN-free -1 when there is none.
double Value(const Exposition& e, const std::string& name, const std::map<std::string, std::string>& labels) {
    int found = 0;
    double value = -1;
    for (const Sample& s : e.Samples)
        if (s.Name == name && s.Labels == labels) {
            ++found;
            value = s.Value;
        }
    return found == 1 ? value : -1;
}

// Two ports through a few events: the first with an odd name and two results, the second waiting.
StationSnapshot TwoPorts(const std::string& firstName) {
    Station_Init(TestInfo(), {firstName, "COM4"});
    Station_Apply(0,
                  R"j({"event":"connected","id_text1":"TQ330","id_text2":"<img src=x onerror=alert(1)>"})j");
    Station_Apply(
        0,
        R"j({"event":"result","result":"not updated","exit_code":1,"failed_step":"Programming target target error","update_seconds":12.5,"retries":3})j");
    Station_Apply(0, R"j({"event":"connected"})j");
    Station_Apply(
        0, R"j({"event":"result","result":"updated","exit_code":0,"update_seconds":58.0,"retries":1})j");
    Station_Apply(0, R"j({"event":"connected"})j");
    Station_Apply(0, R"j({"event":"step","step":"Programming target"})j");
    Station_Apply(0, R"j({"event":"progress","step":"Programming target","percent":42})j");
    Station_Apply(1, R"j({"event":"port_opened","device":"COM4"})j");
    return Station_Snapshot();
}

} // namespace

TEST(StationMetrics, CountsResultsUpdateSecondsRetriesStatesAndTheBuild) {
    Exposition e = ReadMetrics(Station_Metrics(TwoPorts("/dev/ttyUSB0")));
    ASSERT_EQ(e.Error, "");
    EXPECT_EQ(e.Types["tq330_results_total"], "counter");
    EXPECT_EQ(e.Types["tq330_update_seconds"], "histogram");
    EXPECT_EQ(e.Types["tq330_retries_total"], "counter");
    EXPECT_EQ(e.Types["tq330_port_state"], "gauge");
    EXPECT_EQ(e.Types["tq330_build_info"], "gauge");
    const std::string usb = "/dev/ttyUSB0";
    EXPECT_EQ(Value(e, "tq330_results_total", {{"port", usb}, {"result", "updated"}}), 1);
    EXPECT_EQ(Value(e, "tq330_results_total", {{"port", usb}, {"result", "not updated"}}), 1);
    // A port without results still has both, at 0.
    EXPECT_EQ(Value(e, "tq330_results_total", {{"port", "COM4"}, {"result", "updated"}}), 0);
    EXPECT_EQ(Value(e, "tq330_results_total", {{"port", "COM4"}, {"result", "not updated"}}), 0);
    // Cumulative buckets: 12.5 s from le=20 on, 58 s from le=60 on.
    EXPECT_EQ(Value(e, "tq330_update_seconds_bucket", {{"port", usb}, {"le", "10"}}), 0);
    EXPECT_EQ(Value(e, "tq330_update_seconds_bucket", {{"port", usb}, {"le", "20"}}), 1);
    EXPECT_EQ(Value(e, "tq330_update_seconds_bucket", {{"port", usb}, {"le", "45"}}), 1);
    EXPECT_EQ(Value(e, "tq330_update_seconds_bucket", {{"port", usb}, {"le", "60"}}), 2);
    EXPECT_EQ(Value(e, "tq330_update_seconds_bucket", {{"port", usb}, {"le", "+Inf"}}), 2);
    EXPECT_EQ(Value(e, "tq330_update_seconds_count", {{"port", usb}}), 2);
    EXPECT_DOUBLE_EQ(Value(e, "tq330_update_seconds_sum", {{"port", usb}}), 70.5);
    EXPECT_EQ(Value(e, "tq330_retries_total", {{"port", usb}}), 4);
    EXPECT_EQ(Value(e, "tq330_retries_total", {{"port", "COM4"}}), 0);
    // One state a port, the others 0.
    for (const std::string& port : {usb, std::string("COM4")}) {
        double sum = 0;
        for (int s = 0; s < STATION_STATE_COUNT; ++s)
            sum +=
                Value(e, "tq330_port_state", {{"port", port}, {"state", Station_StateWord(StationState(s))}});
        EXPECT_EQ(sum, 1) << port;
    }
    EXPECT_EQ(Value(e, "tq330_port_state", {{"port", usb}, {"state", "step"}}), 1);
    EXPECT_EQ(Value(e, "tq330_port_state", {{"port", "COM4"}, {"state", "waiting"}}), 1);
    EXPECT_EQ(Value(e, "tq330_step_percent", {{"port", usb}}), 42);
    EXPECT_EQ(Value(e, "tq330_step_percent", {{"port", "COM4"}}), -1);
    EXPECT_EQ(Value(e, "tq330_build_info",
                    {{"version", "3.11"},
                     {"firmware_crc", "0x1D23"},
                     {"firmware_sha256", TestInfo().FirmwareSha256},
                     {"firmware_size", "322785"}}),
              1);
}

// A port's name is the user's: quotes, backslashes and line breaks stay inside their label.
TEST(StationMetrics, LabelValuesAreEscapedAsTheFormatSays) {
    const std::string odd = "rfc2217://a\"b\\c\nd:4001";
    std::string text = Station_Metrics(TwoPorts(odd));
    Exposition e = ReadMetrics(text);
    ASSERT_EQ(e.Error, "");
    EXPECT_EQ(Value(e, "tq330_results_total", {{"port", odd}, {"result", "updated"}}), 1);
    EXPECT_EQ(Value(e, "tq330_retries_total", {{"port", odd}}), 4);
    EXPECT_NE(text.find(R"j(port="rfc2217://a\"b\\c\nd:4001")j"), std::string::npos);
    EXPECT_EQ(STX_LabelValue("a\\\"\n"), "a\\\\\\\"\\n");
}

TEST(StationState, JsonHasTheStationAndEachPortInTheEventsWords) {
    boost::property_tree::ptree state = ReadJson(Station_StateJson(TwoPorts("/dev/ttyUSB0")));
    EXPECT_EQ(state.get<std::string>("host"), "line-4");
    EXPECT_EQ(state.get<std::string>("version"), "3.11");
    EXPECT_EQ(state.get<long long>("firmware_size"), 322785);
    EXPECT_EQ(state.get<std::string>("firmware_crc"), "0x1D23");
    EXPECT_EQ(state.get<std::string>("firmware_sha256"), TestInfo().FirmwareSha256);
    EXPECT_EQ(state.get<std::string>("record"), "/var/lib/line/record.jsonl");
    std::vector<boost::property_tree::ptree> ports;
    for (const auto& child : state.get_child("ports"))
        ports.push_back(child.second);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].get<std::string>("port"), "/dev/ttyUSB0");
    EXPECT_EQ(ports[0].get<std::string>("state"), "step");
    EXPECT_EQ(ports[0].get<std::string>("step"), "Programming target");
    EXPECT_EQ(ports[0].get<int>("percent"), 42);
    EXPECT_EQ(ports[0].get<int>("updated"), 1);
    EXPECT_EQ(ports[0].get<int>("not_updated"), 1);
    EXPECT_EQ(ports[0].get<int>("retries"), 4);
    std::vector<boost::property_tree::ptree> last;
    for (const auto& child : ports[0].get_child("last"))
        last.push_back(child.second);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].get<std::string>("result"), "updated");
    EXPECT_DOUBLE_EQ(last[0].get<double>("seconds"), 58.0);
    EXPECT_EQ(last[1].get<std::string>("result"), "not updated");
    EXPECT_EQ(last[1].get<std::string>("failed_step"), "Programming target target error");
    EXPECT_EQ(ports[1].get<std::string>("state"), "waiting");
    EXPECT_FALSE(ports[1].get_child_optional("percent"));
    EXPECT_EQ(ports[1].get_child("last").size(), 0u);
    // The two counters apart: the second port's first device fails.
    Station_Apply(1, R"j({"event":"result","result":"not updated","exit_code":1,"update_seconds":3.0})j");
    auto second =
        std::next(ReadJson(Station_StateJson(Station_Snapshot())).get_child("ports").begin())->second;
    EXPECT_EQ(second.get<int>("updated"), 0);
    EXPECT_EQ(second.get<int>("not_updated"), 1);
    EXPECT_EQ(second.get<int>("exit_code"), 1);
}

// The hostile device's text reaches the page as data: decoded by a JSON reader it is the text, and
// nowhere in the JSON or the event is it markup.
TEST(StationState, AHostileDeviceTextIsEscapedInTheJsonAndTheEvent) {
    Station_Init(TestInfo(), {"a\"b\\c\nd"});
    Station_Apply(0, std::string(R"j({"event":"connected","id_text1":")j") + HOSTILE +
                         R"j(","id_text2":"\"},{\"port\":\"x\u2028y"})j");
    StationSnapshot s = Station_Snapshot();
    std::string json = Station_StateJson(s);
    EXPECT_EQ(json.find('<'), std::string::npos) << json;
    EXPECT_EQ(json.find('>'), std::string::npos) << json;
    EXPECT_NE(json.find(R"j(\u003cimg src=x onerror=alert(1)\u003e)j"), std::string::npos) << json;
    boost::property_tree::ptree state = ReadJson(json);
    boost::property_tree::ptree port = state.get_child("ports").begin()->second;
    EXPECT_EQ(state.get_child("ports").size(), 1u);
    EXPECT_EQ(port.get<std::string>("port"), "a\"b\\c\nd");
    EXPECT_EQ(port.get<std::string>("id_text1"), HOSTILE);
    EXPECT_EQ(port.get<std::string>("id_text2"), "\"},{\"port\":\"x\xE2\x80\xA8y");
    // One event: "data: " and the JSON on one line, then the blank line that ends it.
    std::string event = Station_EventMessage(s);
    EXPECT_EQ(event, "data: " + json + "\n\n");
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_EQ(json.find('\r'), std::string::npos);
}

TEST(StationText, ReadsTheChildsEventObjects) {
    std::map<std::string, std::string> f;
    ASSERT_TRUE(STX_ReadEvent(
        R"j( {"event":"result", "n":-1.5e3 ,"ok":true,"s":"a\"b\\c\/d\n\u00e9\ud83d\ude00"} )j", &f));
    EXPECT_EQ(f["event"], "result");
    EXPECT_EQ(f["n"], "-1.5e3");
    EXPECT_EQ(f["ok"], "true");
    EXPECT_EQ(f["s"], "a\"b\\c/d\n\xC3\xA9\xF0\x9F\x98\x80");
    ASSERT_TRUE(STX_ReadEvent("{}", &f));
    EXPECT_TRUE(f.empty());
    for (const char* bad :
         {"", "{", "[1]", R"j({"a":})j", R"j({"a":"b",})j", R"j({"a":"\q"})j", R"j({"a":"\u12"})j",
          R"j({"a" "b"})j", "{\"a\":\"b\nc\"}", R"j({"a":[1]})j", R"j({"a":1}{)j"})
        EXPECT_FALSE(STX_ReadEvent(bad, &f)) << bad;
}

TEST(StationText, JsonStringsEscapeWhatJsonAndMarkupNeed) {
    EXPECT_EQ(STX_JsonString("a\"b\\c\n\r\t\x01\x7F<&>"),
              R"j("a\"b\\c\n\r\t\u0001\u007f\u003c\u0026\u003e")j");
    EXPECT_EQ(STX_Utf8("ok \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "ok \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(STX_Utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // a surrogate
    EXPECT_EQ(STX_Utf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");                 // cut short
}
