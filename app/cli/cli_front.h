// The terminal front end's window: the dialog's controls as plain state, its message queue, and the
// session's view of them. The seam (cli_seam.cpp) implements app/dialog.h and app/dialog_ui.h on
// top of this; the session (cli_session.cpp) drives the dialog's rules through it.
#pragma once
#include <string>

// The dialog exists from here on: posted commands are queued and handled by DLG_Proc.
void CLI_OpenDialog();
// 1 once the rules ended the dialog (Ok, close).
bool CLI_DialogEnded();
// Handles one queued message, waiting at most timeoutMs for it; false when none came.
bool CLI_WaitMessageFor(int timeoutMs);
// Handles the queued messages until the selected port's open has ended (a network port connects on
// a thread of its own), its error box included; the status line stays unreported meanwhile.
void CLI_WaitForPort();
// A click of the session's own (Start, Ok, Cancel): DLG_Proc, with every status line it leaves
// reported before it returns, as after a queued command.
void CLI_Click(int id);
// Any thread: the user asked to stop (Ctrl-C, SIGTERM). Queued like a command, so that the rules
// see it on the main thread, also inside a running update.
void CLI_PostInterrupt();

// What the session hears of the dialog, on the main thread.
void CLI_OnNotification(int id);               // a worker notification, before DLG_Proc handles it
void CLI_OnStatus(const std::string& text);    // the status line shows a text (not a job's name)
void CLI_OnStepBegin(const std::string& name); // a job's name and progress are shown
void CLI_OnStepEnd();                          // ... and hidden again
void CLI_OnUpdateBegun();                      // the Cancel/Ok button reads "Cancel" again
void CLI_OnInterrupt();
void CLI_OnErrorBox(const char* text); // the serial module's "COM::..." report
