// --simulate: the commands run against simulated chips instead of hardware.
#include <stdlib.h>
#include <string.h>

#include "pdxsim.h"
#include "tool.h"

static PdxSimWorld g_world;
static std::string g_drive_kind;
static uint32_t g_drive_rate = 0;

// The inputs start moving once the library has opened the chips, so that the
// first reports are not sent to nobody.
void SimulationDevicesOpened() {
    if (g_drive_rate == 0) return;
    for (int d = 0; d < g_world.device_count; ++d) {
        if (!g_world.device[d].chip_model) continue;
        if (g_drive_kind == "random")
            pdxsim_chip_start_random(d, g_drive_rate, 1234u + d, 0);
        else
            pdxsim_chip_start_counter(d, g_drive_rate, 0, 0);
    }
}

static bool StartDrive(const std::string& drive) {
    if (drive.empty()) return true;
    size_t colon = drive.find(':');
    std::string kind = drive.substr(0, colon);
    long rate = colon == std::string::npos ? 100 : strtol(drive.c_str() + colon + 1, nullptr, 0);
    if (rate <= 0 || (kind != "random" && kind != "counter")) {
        fprintf(stderr, "pdxkit: --drive takes random:HZ or counter:HZ, not \"%s\"\n", drive.c_str());
        return false;
    }
    g_drive_kind = kind;
    g_drive_rate = static_cast<uint32_t>(rate);
    return true;
}

bool StartSimulation(const ToolOptions& options) {
    if (options.simulate.empty()) {
        if (!options.drive.empty()) {
            fprintf(stderr, "pdxkit: --drive needs --simulate\n");
            return false;
        }
        return true;
    }
    char error[256] = "";
    if (!pdxsim_parse_world(options.simulate.c_str(), &g_world, error, sizeof error)) {
        fprintf(stderr, "pdxkit: cannot read the simulated world \"%s\": %s\n", options.simulate.c_str(), error);
        return false;
    }
    if (!pdxsim_install(&g_world)) {
        fprintf(stderr, "pdxkit: the simulator could not start\n");
        return false;
    }
    return StartDrive(options.drive);
}

void StopSimulation() {
    if (g_world.device_count) pdxsim_uninstall();
}
