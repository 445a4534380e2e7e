#include "app/cli/cli_serve.h"

#include "app/app.h"
#include "app/cli/cli_firmware.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_record.h"
#include "app/station/station.h"
#include "app/station/station_web.h"
#include "image/image_store.h"
#include "tq330_version.h"

#include <cstdio>

namespace {

bool bServing = false;

void TakeSessionEvent(const std::string& line) {
    Station_Apply(0, line);
}

} // namespace

bool CLI_StartServing(const CliOptions& options, std::string* pError) {
    if (options.Serve.empty())
        return true;
    WebOptions web;
    if (!WEB_ParseAddress(options.Serve, &web, pError))
        return false;
    StationInfo info;
    info.Host = REC_HostName();
    info.Version = TQ330_VERSION_TEXT;
    info.Firmware = options.Firmware.empty() ? "built in" : options.Firmware;
    info.FirmwareSize = ImageStore_TotalBytes(pProgramImage);
    uint32_t first = 0, last = 0;
    char acCrc[16];
    std::snprintf(acCrc, sizeof acCrc, "0x%04X", static_cast<unsigned>(CLI_ImageSpanCrc(&first, &last)));
    info.FirmwareCrc = acCrc;
    if (!CLI_FirmwareSha256(options.Firmware, &info.FirmwareSha256, pError))
        return false;
    info.Record = options.Record;
    // One port without --port: its name comes with the session's "port_opened".
    Station_Init(info, options.Ports.empty() ? std::vector<std::string>{""} : options.Ports);
    if (!WEB_Start(web, pError))
        return false;
    bServing = true;
    char acWhere[96];
    const bool v6 = web.Address.find(':') != std::string::npos;
    std::snprintf(acWhere, sizeof acWhere, v6 ? "http://[%s]:%u/" : "http://%s:%u/", web.Address.c_str(),
                  static_cast<unsigned>(WEB_Port()));
    OUT_Event("serving", JsonLine().Add("url", acWhere).AddBool("loopback", WEB_IsLoopback(web.Address)));
    // A page the line's network can reach is said even with --quiet.
    if (WEB_IsLoopback(web.Address))
        OUT_Line(std::string("The station's page: ") + acWhere + " (this computer only)");
    else
        OUT_Always(std::string("The station's page: ") + acWhere +
                   " (open to every computer on this line's network)");
    return true;
}

bool CLI_Serving() {
    return bServing;
}

void CLI_ServeSessionEvents() {
    if (bServing)
        OUT_SetEventSink(TakeSessionEvent);
}

void CLI_SessionEnded(int exitCode) {
    if (bServing)
        Station_PortEnded(0, exitCode, nullptr);
}

void CLI_StopServing() {
    if (!bServing)
        return;
    OUT_SetEventSink(nullptr);
    WEB_Stop();
    bServing = false;
}
