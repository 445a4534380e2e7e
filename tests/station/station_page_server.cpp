// Serves the station's page for a browser test: four ports in the states a line sees (updating,
// UPDATED, NOT UPDATED with its failed step, a hostile device's text), from the children's own event
// lines. Prints the port it listens on, then serves until its standard input closes. Test-only.
//
//   station_page_server    (listens on 127.0.0.1, any free port)
#include "app/station/station.h"
#include "app/station/station_web.h"

#include <cstdio>
#include <string>

int main() {
    StationInfo info;
    info.Host = "line-4";
    info.Version = "3.11";
    info.Firmware = "built in";
    info.FirmwareSize = 322785;
    info.FirmwareCrc = "0x1D23";
    info.FirmwareSha256 = "b3c13bbd8f931b3a45ecc6581731265d3dde899db2fe7e2ba69b2389f887a155";
    info.Record = "/var/lib/line/record.jsonl";
    Station_Init(info, {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3"});
    for (size_t i = 0; i < 4; ++i)
        Station_Apply(i, R"({"event":"port_opened","device":"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"})");
    Station_Apply(0, R"({"event":"connected","id_text1":"TQ330","id_text2":"Boot loader V2.04"})");
    Station_Apply(0, R"({"event":"result","result":"updated","exit_code":0,"update_seconds":58.2,"retries":0})");
    Station_Apply(1, R"({"event":"connected","id_text1":"TQ330","id_text2":"Boot loader V2.04"})");
    Station_Apply(1, R"({"event":"result","result":"updated","exit_code":0,"update_seconds":57.9,"retries":1})");
    Station_Apply(1, R"({"event":"connected","id_text1":"TQ330","id_text2":"Boot loader V2.04"})");
    Station_Apply(1, R"({"event":"step","step":"Programming target"})");
    Station_Apply(1, R"({"event":"progress","step":"Programming target","percent":42})");
    Station_Apply(2, R"({"event":"connected","id_text1":"TQ330","id_text2":"Boot loader V2.04"})");
    Station_Apply(2, R"x({"event":"result","result":"not updated","exit_code":1,"failed_step":"Programming target target error (0x83 at address 0xC0000)","update_seconds":12.4})x");
    Station_Apply(3, R"({"event":"connected","id_text1":"<img src=x onerror=alert(1)>","id_text2":"<script>alert(2)</script>"})");
    Station_Apply(3, R"({"event":"status","text":"Connection to target established"})");
    WebOptions options;
    options.Port = 0;
    std::string error;
    if (!WEB_Start(options, &error)) {
        std::fprintf(stderr, "station_page_server: %s\n", error.c_str());
        return 3;
    }
    std::printf("%u\n", static_cast<unsigned>(WEB_Port()));
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    WEB_Stop();
    return 0;
}
