// The runner of several ports, the same on every platform: starts a child per port, hands each of
// their lines to the station (and to standard output with --json), redraws the terminal's view of
// the station and, once every child has ended, prints the summary. The worst exit code wins.
#include "app/cli/cli_several.h"

#include "app/cli/cli_output.h"
#include "app/cli/cli_serve.h"
#include "app/cli/cli_several_view.h"
#include "app/station/station.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int REDRAW_MS = 200;

} // namespace

int CLI_RunSeveral(const CliOptions& options, const char* self) {
    SEV_Begin();
    const bool terminal = OUT_Terminal() && !options.Quiet;
    const bool plain = !terminal && !options.Quiet;
    if (!CLI_Serving())
        Station_Init(StationInfo{}, options.Ports);
    std::vector<bool> started(options.Ports.size(), false);
    size_t open = 0;
    for (size_t i = 0; i < options.Ports.size(); ++i) {
        started[i] = SEV_StartChild(i, self, CLI_ChildArguments(options, options.Ports[i]));
        if (started[i])
            ++open;
        else
            Station_PortEnded(i, EXIT_PORT, "not started");
    }
    VIEW_Draw(Station_Snapshot(), terminal, false);
    double lastDraw = 0;
    bool dirty = false;
    while (open > 0) {
        size_t index = 0;
        std::string line;
        bool ended = false;
        if (SEV_NextLine(REDRAW_MS, &index, &line, &ended)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (ended)
                --open;
            else if (!line.empty() &&
                     VIEW_TakeChildLine(index, options.Ports[index], line, options.Json, plain))
                dirty = true;
        }
        if (terminal && dirty && OUT_Now() - lastDraw >= REDRAW_MS / 1000.0) {
            VIEW_Draw(Station_Snapshot(), terminal, true);
            lastDraw = OUT_Now();
            dirty = false;
        }
    }
    for (size_t i = 0; i < options.Ports.size(); ++i)
        if (started[i])
            Station_PortEnded(i, SEV_WaitChild(i), nullptr);
    StationSnapshot station = Station_Snapshot();
    int worst = 0;
    for (const StationPort& p : station.Ports)
        worst = std::max(worst, p.ExitCode);
    VIEW_Draw(station, terminal, true);
    VIEW_Summary(station, options.Loop);
    return worst;
}
