// The session of one port. The rules decide everything the user sees in the window: the session
// only clicks (Start, Ok, Cancel on Ctrl-C), watches the status line and turns the update's result,
// the value behind the window's last status text, into an exit code, so that the terminal and the
// window can never disagree about success.
#include "app/cli/cli_session.h"

#include "app/app.h"
#include "app/cli/cli_front.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_record.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "link/com.h"
#include "link/com_ports.h"
#include "link/job_state.h"
#include "link/worker.h"
#include "update/flow.h"
#include "update/image_crc.h"
#include "update/runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Session {
    const CliOptions* pOptions = nullptr;
    std::string Port;   // as named, or COMn of the first port found
    std::string Device; // the device behind it
    std::string PortError;
    bool Interrupted = false;
    bool UpdateStarted = false; // an update ran or runs
    double UpdateBegun = 0;
    std::string LastStatus;
    std::string FailedStep; // the first step of this update that did not succeed, and how
    int32_t ImageCrc = -1;
    uint32_t TargetCrc = TARGET_CRC_UNKNOWN;
    uint32_t CrcStart = 0, CrcLength = 0;
    int Updated = 0, NotUpdated = 0;
    bool LastUpdated = false;
    bool UpdateInterrupted = false; // an update ended by Ctrl-C before it was verified
    unsigned ResultsReported = 0;   // the flow's updates whose result was reported
    // For --record: the device of this attempt, and whether its line could be written.
    TargetInfo Info{};
    bool Identified = false;
    uint32_t CrcBefore = TARGET_CRC_UNKNOWN; // the look before --check / --skip-current
    double AttemptBegun = 0;
    bool RecordFailed = false;
};
Session S;

const char* StatusName(uint8_t status) {
    switch (status) {
    case STATUS_OK:
        return "ok";
    case STATUS_TARGET_ERROR:
        return "target error";
    case STATUS_NOT_EXECUTED:
        return "not executed (no answer)";
    default:
        return "cancelled";
    }
}

// A job's outcome in the step lines and in failed_step.
std::string StepOutcome(const JobStep& step) {
    std::string outcome = StatusName(step.Status);
    if (step.Status == STATUS_TARGET_ERROR) {
        char acDetail[64];
        std::snprintf(acDetail, sizeof acDetail, " (0x%X at address 0x%X)", static_cast<unsigned>(step.Value),
                      static_cast<unsigned>(step.Address));
        outcome += acDetail;
    }
    return outcome;
}

// failed_step: the step's caption and how its job ended.
std::string FailedStepText(const JobStep& step) {
    return std::string(step.Name) + " " + StepOutcome(step);
}

// The CRC area the target reported, and the image's CRC over it: taken while it is connected (the
// record reads as zeros once the new application runs and the boot loader is gone).
void TakeCrcArea() {
    TargetInfo info;
    GetTargetInfo(&info);
    if (info.Connected != 1)
        return;
    S.CrcStart = info.CrcStart;
    S.CrcLength = info.CrcLength;
    S.Info = info;
    S.Identified = true;
    S.ImageCrc = CalcImageCrc();
}

void AddCrcs(JsonLine& line) {
    if (S.ImageCrc >= 0)
        line.AddHex("image_crc", static_cast<uint32_t>(S.ImageCrc));
    if (S.TargetCrc != TARGET_CRC_UNKNOWN)
        line.AddHex("target_crc", S.TargetCrc);
    if (S.CrcLength != 0)
        line.AddHex("crc_start", S.CrcStart).Add("crc_length", static_cast<long long>(S.CrcLength));
}

std::string CrcText() {
    char acText[96] = {};
    if (S.ImageCrc >= 0 && S.TargetCrc != TARGET_CRC_UNKNOWN)
        std::snprintf(acText, sizeof acText, " (CRC image 0x%04X, target 0x%04X)",
                      static_cast<unsigned>(S.ImageCrc), static_cast<unsigned>(S.TargetCrc));
    else if (S.ImageCrc >= 0)
        std::snprintf(acText, sizeof acText, " (CRC image 0x%04X, target unknown)",
                      static_cast<unsigned>(S.ImageCrc));
    return acText;
}

// The attempt's line in --record. One that cannot be written stops the line before the next device:
// a device nobody can trace must not be updated.
void WriteRecord(const char* result, int exitCode) {
    if (!REC_IsOn() || S.RecordFailed)
        return;
    RecordAttempt a;
    a.Port = S.Port;
    a.Device = S.Device;
    a.Identified = S.Identified;
    a.Info = S.Info;
    a.CrcBefore = S.CrcBefore;
    a.CrcAfter = S.UpdateStarted ? S.TargetCrc : TARGET_CRC_UNKNOWN;
    a.Result = result;
    a.ExitCode = exitCode;
    a.FailedStep = S.FailedStep;
    a.Seconds = OUT_Now() - S.AttemptBegun;
    std::string error;
    if (!REC_Write(a, &error)) {
        S.RecordFailed = true;
        OUT_Event("record_error", JsonLine().Add("port", S.Port).Add("message", error));
        OUT_Always("tq330-flash: --record: " + error + ": stopping before the next device");
    }
    S.Identified = false;
    S.CrcBefore = TARGET_CRC_UNKNOWN;
}

// Every outcome, one line on the terminal and one event.
void Report(const char* result, int exitCode, const std::string& line) {
    JsonLine fields;
    fields.Add("result", result).Add("exit_code", static_cast<long long>(exitCode)).Add("port", S.Port);
    if (!S.Device.empty())
        fields.Add("device", S.Device);
    if (!S.LastStatus.empty())
        fields.Add("status", S.LastStatus);
    if (!S.FailedStep.empty())
        fields.Add("failed_step", S.FailedStep);
    AddCrcs(fields);
    if (S.UpdateStarted)
        fields.Add("update_seconds", OUT_Now() - S.UpdateBegun);
    fields.Add("seconds", OUT_Now()).Add("message", line);
    fields.Add("retries", REC_Retries());
    OUT_Event("result", fields);
    OUT_Always(line);
    WriteRecord(result, exitCode);
    REC_ResetRetries(); // without a record too: each result counts its own
}

// A port error; when the port was refused for lack of permission, also the one thing the user can
// do about it, in the words the window and the man page use.
void ReportPortError(int exitCode, const std::string& line) {
    Report("port error", exitCode, line);
    if (*COM_PermissionDeniedText() != '\0')
        OUT_Always(COM_PermissionDeniedText());
}

void ReportTally() {
    char acText[96];
    std::snprintf(acText, sizeof acText, "Tally: %d updated, %d not updated", S.Updated, S.NotUpdated);
    OUT_Event("tally", JsonLine()
                           .Add("updated", static_cast<long long>(S.Updated))
                           .Add("not_updated", static_cast<long long>(S.NotUpdated)));
    OUT_Line(acText);
}

// The port the window would open: the named one, else the first one detection finds.
int ChoosePort() {
    const CliOptions& o = *S.pOptions;
    if (o.Ports.empty()) {
        if (APP_DetectPorts() == 0) {
            S.PortError = APP_NO_PORT_TEXT;
            return EXIT_PORT;
        }
        if (PortCount > 1)
            OUT_Line("Several ports found; using the first (name one with --port, see --list)");
        S.Port = "COM" + std::to_string(aPortList[0] + 1);
        S.Device = COM_PortDevice(aPortList[0]);
        return 0;
    }
    S.Port = o.Ports[0];
    int index = COM_PortIndexOfName(S.Port);
    if (index >= 0) {
        S.Device = COM_PortDevice(index);
        if (S.Device.empty()) {
            S.PortError = S.Port + ": no such port (see --list)";
            return EXIT_PORT;
        }
    } else {
        char acWhy[16];
        if (COM_CheckNetName(S.Port.c_str(), acWhy, sizeof acWhy) > 0) {
            const char* apNames[1] = {S.Port.c_str()};
            COM_SetPortTable(apNames, 1); // a network port, on every platform
        } else if (!COM_UsePortPath(S.Port, &S.PortError)) {
            return EXIT_PORT;
        }
        S.Device = S.Port;
        index = 0;
    }
    aPortList[0] = index;
    PortCount = 1;
    return 0;
}

// --check, and the look before --skip-current: identify (the connection) and Get CRC only.
// 0 when the device holds this image. A CRC area of no bytes is no check: its CRC is the same for
// every image and every flash.
int CheckDevice() {
    TakeCrcArea();
    const unsigned stepsBefore = LastJobStep().Number;
    int differs = CompareCrc();
    const JobStep& step = LastJobStep();
    if (step.Number != stepsBefore && step.Status != STATUS_OK && S.FailedStep.empty())
        S.FailedStep = FailedStepText(step);
    S.TargetCrc = TargetInfo_TargetCrc();
    S.CrcBefore = S.TargetCrc;
    return S.CrcLength == 0 ? 1 : differs;
}

int CheckOnly() {
    int differs = CheckDevice();
    if (S.Interrupted) {
        Report("interrupted", EXIT_INTERRUPTED, "Interrupted");
        return EXIT_INTERRUPTED;
    }
    if (differs == 0) {
        Report("current", EXIT_UPDATED, "Target holds this firmware" + CrcText());
        return EXIT_UPDATED;
    }
    if (S.TargetCrc == TARGET_CRC_UNKNOWN || S.CrcLength == 0)
        Report("differs", EXIT_NOT_UPDATED, "Target gave no CRC: not known to hold this firmware");
    else
        Report("differs", EXIT_NOT_UPDATED, "Target holds other firmware" + CrcText());
    return EXIT_NOT_UPDATED;
}

int FinalExit() {
    if (S.pOptions->Loop) {
        ReportTally();
        if (S.UpdateInterrupted)
            return EXIT_INTERRUPTED;
        return S.NotUpdated > 0 ? EXIT_NOT_UPDATED : EXIT_UPDATED;
    }
    // The flow's verdict, the one the window's status line shows.
    bool updated = S.UpdateStarted && UpdateLastResult().Updated;
    return updated ? EXIT_UPDATED : (S.Interrupted ? EXIT_INTERRUPTED : EXIT_NOT_UPDATED);
}

int RunSession(const CliOptions& options);

} // namespace

void CLI_OnNotification(int id) {
    if (id == ID_CONNECTED && !DLG_IsConnected()) {
        S.AttemptBegun = OUT_Now();
        TakeCrcArea();
        S.TargetCrc = TARGET_CRC_UNKNOWN;
        JsonLine fields;
        fields.Add("port", S.Port);
        AddCrcs(fields);
        if (S.Identified) // the device's own words: the station's page shows them (escaped)
            fields.Add("id_text1", REC_Printable(S.Info.IdText1, S.Info.IdText1Length))
                .Add("id_text2", REC_Printable(S.Info.IdText2, S.Info.IdText2Length))
                .AddHex("id_byte", S.Info.IdByte, 2)
                .AddHex("id_word", S.Info.IdWord);
        OUT_Event("connected", fields);
    } else if (id == ID_CONNECTION_LOST && DLG_IsConnected()) {
        OUT_Event("connection_lost", JsonLine().Add("port", S.Port));
        if (S.pOptions->Loop && DLG_UpdateEnded())
            OUT_Line("Waiting for the next device (connect it, or cycle its power)");
    }
}

void CLI_OnStatus(const std::string& text) {
    OUT_Event("status", JsonLine().Add("text", text));
    // The line after the click repeats the request to cycle the power: say it once.
    std::string last =
        text.substr(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
    std::string previous = S.LastStatus.substr(
        S.LastStatus.find_last_of('\n') == std::string::npos ? 0 : S.LastStatus.find_last_of('\n') + 1);
    // The flow publishes its result once the status line shows it: the first text heard after that
    // is the result line.
    const UpdateResult& r = UpdateLastResult();
    bool result = r.Number != S.ResultsReported;
    if (!result && last != previous) {
        std::string line = text;
        for (char& c : line)
            if (c == '\n')
                c = ' ';
        OUT_Line(line);
    }
    S.LastStatus = text;
    if (!result)
        return;
    // The rules' result line: the only report of an update.
    S.ResultsReported = r.Number;
    S.LastUpdated = r.Updated;
    S.TargetCrc = r.TargetCrc;
    (S.LastUpdated ? S.Updated : S.NotUpdated)++;
    std::string line = text + CrcText();
    if (!S.LastUpdated && r.FailedStep.Number != 0)
        S.FailedStep = FailedStepText(r.FailedStep);
    else if (!S.LastUpdated && r.CrcsDiffer && !S.Interrupted)
        S.FailedStep = "the CRCs differ"; // every job succeeded: the compare failed
    if (!S.LastUpdated && !S.FailedStep.empty())
        line += ": " + S.FailedStep;
    if (!S.LastUpdated && S.Interrupted)
        S.UpdateInterrupted = true;
    int code = S.LastUpdated ? EXIT_UPDATED : (S.Interrupted ? EXIT_INTERRUPTED : EXIT_NOT_UPDATED);
    Report(S.LastUpdated ? "updated" : (S.Interrupted ? "interrupted" : "not updated"), code, line);
    if (S.pOptions->Loop && !S.Interrupted) {
        ReportTally();
        OUT_Line("Waiting for the next device (connect it, or cycle its power)");
    }
}

void CLI_OnStepBegin(const std::string& name) {
    OUT_StepBegin(name);
}

void CLI_OnStepEnd() {
    // The runner hides the job's name once the job is back at 0, or at once after a cancel while
    // the job may still run on; it noted how the job ended just before.
    OUT_StepEnd(StepOutcome(LastJobStep()).c_str());
}

void CLI_OnUpdateBegun() {
    S.UpdateStarted = true;
    S.UpdateBegun = OUT_Now();
    S.FailedStep.clear();
    S.TargetCrc = TARGET_CRC_UNKNOWN;
    OUT_Event("update", JsonLine().Add("port", S.Port));
}

void CLI_OnInterrupt() {
    if (!S.Interrupted)
        OUT_Line(UpdateRunning() ? "Interrupted: cancelling (Ctrl-C again ends at once)" : "Interrupted");
    S.Interrupted = true;
    // The window's Cancel/Ok button: cancels a running update, or ends the dialog when it reads "Ok".
    CLI_Click(IDC_CANCEL);
}

void CLI_OnErrorBox(const char* text) {
    if (S.PortError.empty())
        S.PortError = text;
}

std::string CLI_TakePortError() {
    std::string error = S.PortError;
    S.PortError.clear();
    return error;
}

int CLI_RunSession(const CliOptions& options) {
    int code = RunSession(options);
    return S.RecordFailed ? EXIT_PORT : code;
}

namespace {

int RunSession(const CliOptions& options) {
    S.pOptions = &options;
    Worker_Start();
    int chosen = ChoosePort();
    if (chosen != 0) {
        ReportPortError(chosen, "Error: " + S.PortError);
        return chosen;
    }
    DLG_SetTitle(APP_GetTitle());
    CLI_OpenDialog();
    DLG_Init();        // opens the port as the window does
    CLI_WaitForPort(); // a network port connects on a thread of its own
    char acProblem[256], acWarning[256], acWhy[256];
    COM_GetPortNotes(acProblem, acWarning, sizeof acProblem);
    const bool network = COM_CheckNetName(S.Device.c_str(), acWhy, sizeof acWhy) != 0;
    if (!S.PortError.empty()) {
        // A network port's reason is the module's own (the connection refused, the line the server
        // set); a local device is looked at.
        std::string why = network ? std::string(acProblem) : COM_PortProblem(S.Device);
        if (S.PortError.find(why) != std::string::npos)
            why.clear();
        ReportPortError(EXIT_PORT,
                        "Error: " + S.PortError + (why.empty() ? "" : " (" + S.Device + ": " + why + ")"));
        return EXIT_PORT;
    }
    OUT_Event("port_opened", JsonLine().Add("port", S.Port).Add("device", S.Device));
    OUT_Line("Port " + S.Port + (S.Device != S.Port ? " (" + S.Device + ")" : "") + " opened");
    if (acWarning[0] != '\0') {
        OUT_Event("warning", JsonLine().Add("port", S.Port).Add("message", acWarning));
        OUT_Line("Warning: " + S.Port + ": " + acWarning);
    }

    bool lookFirst = options.Check || options.SkipCurrent;
    if (!lookFirst)
        CLI_Click(IDC_START); // armed: the first connection starts the update
    const double deadline = OUT_Now() + options.WaitSeconds;
    for (;;) {
        if (CLI_DialogEnded() || S.RecordFailed)
            break;
        if (S.Interrupted && !UpdateRunning())
            break;
        if (!options.Loop && DLG_UpdateEnded()) {
            CLI_Click(IDC_CANCEL); // Ok
            continue;
        }
        if (lookFirst && DLG_IsConnected() && !UpdateRunning()) {
            if (options.Check)
                return CheckOnly();
            lookFirst = false;
            if (CheckDevice() == 0 && !S.Interrupted) {
                Report("current", EXIT_UPDATED,
                       "Target holds this firmware already: not written" + CrcText());
                return EXIT_UPDATED;
            }
            if (S.Interrupted)
                break;
            OUT_Line("Target holds other firmware" + CrcText() + ": updating");
            CLI_Click(IDC_START);
            continue;
        }
        double now = OUT_Now();
        if (!options.Loop && !S.UpdateStarted && !DLG_IsConnected() && now >= deadline) {
            char acLine[128];
            std::snprintf(acLine, sizeof acLine, "No answer from the TQ330's boot loader on %s within %d s",
                          S.Port.c_str(), options.WaitSeconds);
            Report("no device", EXIT_NO_DEVICE, acLine);
            return EXIT_NO_DEVICE;
        }
        int waitMs = 500;
        if (!options.Loop && !S.UpdateStarted)
            waitMs = static_cast<int>(std::min(500.0, (deadline - now) * 1000) + 1);
        CLI_WaitMessageFor(waitMs);
    }
    if (S.Interrupted && !S.UpdateStarted && !options.Loop) {
        Report("interrupted", EXIT_INTERRUPTED, "Interrupted before the update began");
        return EXIT_INTERRUPTED;
    }
    return FinalExit();
}

} // namespace
