// --list prints what the serial-port module tells of each port (link/com_ports.h); it looks at
// nothing itself.
#include "app/cli/cli_ports.h"

#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "link/com_ports.h"

#include <cstdio>

namespace {

void Show(const JsonLine& fields, const std::string& line, bool json) {
    OUT_Event("port", fields);
    if (json)
        OUT_Line(line);
    else
        std::printf("%s\n", line.c_str());
}

} // namespace

int CLI_ListPorts(bool json) {
    const std::vector<ComPortFacts> ports = COM_ListPorts();
    for (const ComPortFacts& p : ports) {
        JsonLine fields;
        fields.Add("port", p.Name).Add("device", p.Device);
        std::string line = p.Name;
        if (p.Network) {
            fields.AddBool("network", true);
            Show(fields, line + "  " + p.Device + "  network port", json);
            continue;
        }
        if (p.Device != p.Name)
            line += "  " + p.Device;
        if (!p.Path.empty())
            fields.Add("path", p.Path);
        if (!p.StableName.empty()) {
            fields.Add("by_id", p.StableName);
            line += "  " + p.StableName;
        } else if (!p.Path.empty() && p.Path != p.Device) {
            line += "  as " + p.Path;
        }
        if (!p.UsbVendor.empty()) {
            fields.Add("usb", p.UsbVendor + ":" + p.UsbProduct);
            line += "  " + p.UsbVendor + ":" + p.UsbProduct;
        }
        if (!p.UsbSerial.empty()) {
            fields.Add("serial", p.UsbSerial);
            line += "  serial " + p.UsbSerial;
        }
        if (!p.ProductText.empty()) {
            fields.Add("product", p.ProductText);
            line += "  \"" + p.ProductText + "\"";
        }
        fields.AddBool("busy", p.Busy);
        if (p.Busy)
            line += "  busy";
        else if (!p.Problem.empty())
            line += "  (" + p.Problem + ")";
        Show(fields, line, json);
    }
    if (ports.empty())
        OUT_Line("No serial port found");
    return EXIT_UPDATED;
}
