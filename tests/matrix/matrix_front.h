// The headless front end of the fault matrix: the main dialog's command rules for the connection
// notifications, Start and Cancel, played on the fake dialog seam. Main thread only.
#pragma once
#include <string>
#include <vector>

void Front_Reset();
// The dialog's handler for the fake seam's DLG_WaitMessage.
void Front_Handle(int id);
int Front_UpdatesStarted();
int Front_UpdatesDone();
const std::vector<std::string>& Front_Results(); // the status line after each update
