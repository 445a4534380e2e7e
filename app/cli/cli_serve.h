// --serve: the station's page, /state and /metrics of this run, served while the ports are updated.
// The several-ports runner feeds the station with its children's events; one port feeds it with the
// session's own events. Neither waits on the web side.
#pragma once
#include "app/cli/cli_options.h"

#include <string>

// Sets the station up with the run's facts and ports and listens. False with a one-line reason
// when it cannot listen (the caller stops with EXIT_PORT before any device is touched). Nothing
// without --serve. The firmware is loaded.
bool CLI_StartServing(const CliOptions& options, std::string* pError);
bool CLI_Serving();
// One port: the session's events feed the station's port 0.
void CLI_ServeSessionEvents();
// The session of one port ended with this code.
void CLI_SessionEnded(int exitCode);
// Stops serving (closes every connection). Nothing when not serving.
void CLI_StopServing();
