// The doctor's shared half: the ports to look at, the boot loader asked as the window's poll asks
// it, the findings printed block by block and the verdict.
#include "app/cli/cli_doctor.h"

#include "app/cli/cli_front.h"
#include "app/cli/cli_record.h"
#include "app/cli/cli_session.h"
#include "link/com.h"
#include "link/com_ports.h"
#include "link/job_state.h"
#include "link/jobs.h"
#include "link/worker.h"
#include "update/image_crc.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const char* LevelName(FindingLevel level) {
    switch (level) {
    case FINDING_OK:
        return "ok";
    case FINDING_ADVICE:
        return "advice";
    default:
        return "problem";
    }
}

void Forget(TargetInfo& info, void*) {
    info.Connected = 0;
    info.TargetCrc = TARGET_CRC_UNKNOWN;
}

std::string Hex(uint32_t value, int digits) {
    char acText[16];
    std::snprintf(acText, sizeof acText, "0x%0*X", digits, static_cast<unsigned>(value));
    return acText;
}

// The device's own CRC over its CRC area, by the link's Get CRC job (it asks; it writes nothing).
void LookAtFirmware(std::vector<Finding>* pFindings) {
    Finding f;
    f.Check = "firmware";
    Job_GetCrc(); // on this thread: no worker runs while the doctor looks
    uint32_t targetCrc = TargetInfo_TargetCrc();
    int32_t imageCrc = CalcImageCrc();
    if (jobState.JobStatus != STATUS_OK || targetCrc == TARGET_CRC_UNKNOWN) {
        f.Level = FINDING_ADVICE;
        f.Text = "the boot loader gave no CRC: whether it holds this firmware is not known";
        f.Fix = "cycle the device's power and look again; an update writes it in any case";
        pFindings->push_back(f);
        return;
    }
    // The update flow's own rule: a CRC of 0 or 1 is no firmware.
    bool current = targetCrc > 1 && imageCrc >= 0 && static_cast<uint32_t>(imageCrc) == targetCrc;
    f.Text = std::string(current ? "it already holds this firmware" : "it holds other firmware") +
             " (device CRC " + Hex(targetCrc, 4) + ", this firmware " +
             (imageCrc >= 0 ? Hex(static_cast<uint32_t>(imageCrc), 4) : "?") + ")";
    f.Details.AddHex("target_crc", targetCrc).AddBool("current", current);
    if (imageCrc >= 0)
        f.Details.AddHex("image_crc", static_cast<uint32_t>(imageCrc));
    pFindings->push_back(f);
}

// Opens the port as the window does, polls with the link's identify job until an answer or the
// wait ends, and closes it again.
void LookForBootLoader(const DoctorPort& port, int waitSeconds, std::vector<Finding>* pFindings) {
    Finding f;
    f.Check = "boot loader";
    f.Level = FINDING_PROBLEM;
    COM_ResetPortTable();
    int index = COM_PortIndexOfName(port.Name);
    std::string error;
    if (index < 0) {
        if (!COM_UsePortPath(port.Name, &error)) {
            f.Text = "not asked: " + error;
            pFindings->push_back(f);
            return;
        }
        index = 0;
    }
    CLI_TakePortError();
    COM_ChangeSettings(COM_BootLoaderLine(index));
    if (_CheckCOM() != 0) {
        std::string why = CLI_TakePortError();
        f.Text = "not asked: the port does not open" + (why.empty() ? "" : " (" + why + ")");
        f.Fix = "see the findings above";
        COM_ResetPortTable();
        pFindings->push_back(f);
        return;
    }
    TargetInfo_Update(Forget, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    do {
        Job_Identify(); // at most three times 100 ms
        if (TargetInfo_Connected() == 1)
            break;
        if (_CheckCOM() != 0) // a port that fell away fails at once: do not spin on it
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    if (TargetInfo_Connected() != 1) {
        char acText[128];
        std::snprintf(acText, sizeof acText, "no boot loader answered within %d s", waitSeconds);
        f.Text = acText;
        f.Fix = "cycle the device's power while the doctor waits (--wait SECONDS), and check the cable";
        COM_ResetPortTable();
        pFindings->push_back(f);
        return;
    }
    TargetInfo info;
    TargetInfo_Copy(&info);
    f.Level = FINDING_OK;
    f.Text = "a boot loader answers: " + REC_IdentifyText(info);
    REC_AddIdentify(f.Details, info);
    pFindings->push_back(f);
    LookAtFirmware(pFindings);
    COM_ResetPortTable();
}

// One block: the port's name, its findings with their fixes, its verdict. Returns the problems.
int PrintBlock(const std::string& title, const DoctorPort* pPort, const std::vector<Finding>& findings,
               bool json) {
    std::string text = title + "\n";
    int problems = 0, advice = 0;
    for (const Finding& f : findings) {
        problems += f.Level == FINDING_PROBLEM;
        advice += f.Level == FINDING_ADVICE;
        char acHead[32];
        std::snprintf(acHead, sizeof acHead, "  %-8s %-13s ",
                      f.Level == FINDING_OK ? "ok" : LevelName(f.Level), f.Check.c_str());
        text += acHead + f.Text + "\n";
        if (!f.Fix.empty())
            text += "                         fix: " + f.Fix + "\n";
        JsonLine fields;
        if (pPort != nullptr)
            fields.Add("port", pPort->Name).Add("device", pPort->Device);
        fields.Add("check", f.Check).Add("level", LevelName(f.Level)).Add("text", f.Text);
        if (!f.Fix.empty())
            fields.Add("fix", f.Fix);
        if (f.Details.Text.size() > 1)
            fields.Text += "," + f.Details.Text.substr(1);
        OUT_Event("finding", fields);
    }
    if (pPort != nullptr) {
        char acVerdict[160];
        if (problems == 0)
            std::snprintf(acVerdict, sizeof acVerdict, "  verdict: nothing stands in the way on %s%s",
                          pPort->Name.c_str(), advice > 0 ? " (see the advice)" : "");
        else
            std::snprintf(acVerdict, sizeof acVerdict, "  verdict: %d problem%s stand%s in the way on %s",
                          problems, problems == 1 ? "" : "s", problems == 1 ? "s" : "", pPort->Name.c_str());
        text += std::string(acVerdict) + "\n";
        OUT_Event("verdict", JsonLine()
                                 .Add("port", pPort->Name)
                                 .Add("device", pPort->Device)
                                 .Add("problems", static_cast<long long>(problems))
                                 .Add("advice", static_cast<long long>(advice))
                                 .AddBool("ready", problems == 0));
    }
    if (json)
        OUT_Line(text.substr(0, text.size() - 1)); // the human text beside the JSON, on stderr
    else
        std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return problems;
}

} // namespace

int DOC_Run(const CliOptions& options, const DoctorPlaces& places) {
    std::vector<DoctorPort> ports;
    for (const std::string& name : options.Ports)
        ports.push_back({name, DOC_DeviceOf(name)});
    if (options.Ports.empty())
        ports = DOC_FoundPorts(places);

    int problems = 0;
    std::vector<Finding> system;
    DOC_LookAtSystem(places, &system);
    if (ports.empty()) {
        Finding none;
        none.Check = "ports";
        none.Level = FINDING_PROBLEM;
        none.Text = "no serial port found";
        none.Fix = "plug the adapter in, or name the port with --port";
        if (*COM_PermissionDeniedText() != '\0') // detection found one this user may not open
            none.Fix = COM_PermissionDeniedText();
        system.push_back(none);
    }
    if (!system.empty())
        problems += PrintBlock("This system", nullptr, system, options.Json);
    for (const DoctorPort& port : ports) {
        std::vector<Finding> findings;
        if (DOC_LookAtPort(port, places, &findings)) {
            LookForBootLoader(port, options.WaitSeconds, &findings);
            DOC_LookAfterOpen(port, places, &findings);
        }
        problems +=
            PrintBlock("Port " + port.Name + (port.Device != port.Name ? " (" + port.Device + ")" : ""),
                       &port, findings, options.Json);
    }
    return problems == 0 ? EXIT_UPDATED : EXIT_NOT_UPDATED;
}
