// --simulate: the commands run against simulated chips instead of hardware.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "pdxsim.h"
#include "tool.h"

static PdxSimWorld g_world;
static std::thread g_driver;
static std::atomic<bool> g_stop_driver{false};

// The inputs start moving once the library listens on a chip's port
// interface, so that the first reports are not sent to nobody.
static void DriveWhenListened(std::string kind, uint32_t rate, int devices) {
    for (int d = 0; d < devices; ++d) {
        if (!g_world.device[d].chip_model) continue;
        while (!g_stop_driver.load() && !pdxsim_wait_open_handles(d, 0, 1, 1, 100)) {
        }
        if (g_stop_driver.load()) return;
        if (kind == "random")
            pdxsim_chip_start_random(d, rate, 1234u + d, 0);
        else
            pdxsim_chip_start_counter(d, rate, 0, 0);
    }
}

static bool StartDrive(const std::string& drive, int devices) {
    if (drive.empty()) return true;
    size_t colon = drive.find(':');
    std::string kind = drive.substr(0, colon);
    long rate = colon == std::string::npos ? 100 : strtol(drive.c_str() + colon + 1, nullptr, 0);
    if (rate <= 0 || (kind != "random" && kind != "counter")) {
        fprintf(stderr, "pdxkit: --drive takes random:HZ or counter:HZ, not \"%s\"\n", drive.c_str());
        return false;
    }
    g_driver = std::thread(DriveWhenListened, kind, static_cast<uint32_t>(rate), devices);
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
    return StartDrive(options.drive, g_world.device_count);
}

void StopSimulation() {
    g_stop_driver = true;
    if (g_driver.joinable()) g_driver.join();
    if (g_world.device_count) pdxsim_uninstall();
}
