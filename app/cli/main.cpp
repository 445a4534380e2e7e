// tq330-flash: the updater on the command line. The entry reads the options, loads the image and
// hands over to the session (one port) or to the runner of several ports.
#include "app/cli/cli_doctor.h"
#include "app/cli/cli_firmware.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"
#include "app/cli/cli_record.h"
#include "app/cli/cli_serve.h"
#include "app/cli/cli_session.h"
#include "app/cli/cli_several.h"
#include "app/cli/cli_signals.h"
#include "app/cli/cli_trace.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace {

int Usage(const std::string& reason) {
    std::fprintf(stderr, "tq330-flash: %s (see --help)\n", reason.c_str());
    return EXIT_USAGE;
}

// Ends without stopping the worker, as the window's program does: it may be inside a 30-second job.
[[noreturn]] void End(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

// The record opens before any device is touched: a line whose record cannot be kept does not start.
bool OpenRecord(const CliOptions& options) {
    std::string error;
    if (REC_Open(options.Record, options.Firmware, &error))
        return true;
    OUT_Event("result", JsonLine().Add("result", "record error").Add("exit_code", 3LL).Add("message", error));
    OUT_Always("tq330-flash: --record: " + error + " (no device touched)");
    return false;
}

// --serve listens before any device is touched: a station whose page cannot be served does not
// start.
bool StartServing(const CliOptions& options) {
    std::string error;
    if (CLI_StartServing(options, &error))
        return true;
    OUT_Event("result", JsonLine().Add("result", "serve error").Add("exit_code", 3LL).Add("message", error));
    OUT_Always("tq330-flash: --serve: " + error + " (no device touched)");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (!CLI_ParseOptions(argc, argv, &options, &error))
        return Usage(error);
    if (options.Help) {
        std::fputs(CLI_HelpText(), stdout);
        return EXIT_UPDATED;
    }
    if (options.Loop && options.SkipCurrent)
        return Usage("--skip-current goes with one device, not with --loop");
    OUT_Init(options.Json, options.Quiet, isatty(2) != 0);
    if (options.List)
        return CLI_ListPorts(options.Json);

    // The image before any port: a faulty file must not leave a device half-way.
    if (!CLI_LoadFirmware(options.Firmware, &error)) {
        OUT_Event("result",
                  JsonLine().Add("result", "firmware error").Add("exit_code", 65LL).Add("message", error));
        OUT_Always("tq330-flash: " + error);
        return EXIT_FIRMWARE;
    }
    if (options.Version) {
        std::fputs(CLI_VersionText(options.Firmware).c_str(), stdout);
        return EXIT_UPDATED;
    }
    if (options.Doctor)
        End(DOC_Run(options, DoctorPlaces()));
    if (options.Ports.size() > 1) {
        if (!OpenRecord(options) || !StartServing(options))
            return EXIT_PORT;
        int worst = CLI_RunSeveral(options, argv[0]);
        CLI_StopServing();
        return worst;
    }
    if (!options.Trace.empty() && !CLI_StartTrace(options.Trace, &error))
        return Usage("--trace: " + error);
    if (!OpenRecord(options)) // after the trace: the record's count of resends sees the frames too
        return EXIT_PORT;
    REC_CountRetries(); // each result says its resends, with a record or without
    // Before the web side's threads start: they inherit the blocked signals, so that Ctrl-C reaches
    // the session's own signal thread, not theirs (where it would end the program at once).
    CLI_CatchInterrupts();
    if (!StartServing(options))
        return EXIT_PORT;
    CLI_ServeSessionEvents();
    int code = CLI_RunSession(options);
    CLI_SessionEnded(code);
    End(code);
}
