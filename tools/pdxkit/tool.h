// Shared pieces of the pdxkit command-line tool.
#ifndef PDXKIT_TOOL_H
#define PDXKIT_TOOL_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "pdxkit.h"

// Exit codes scripts can test.
enum ToolExit {
    kExitOk = 0,
    kExitFailed = 1,    // the library reported a failure
    kExitUsage = 2,     // bad command line
    kExitNoDevice = 3,  // no device of the family found
    kExitTimeout = 4    // nothing arrived within the timeout
};

struct ToolOptions {
    std::string simulate;  // world text; empty: real hardware
    std::string drive;     // simulated inputs: "random:HZ", "counter:HZ" or ""
    bool json = false;
    bool help = false;
    int device = 0;                 // 1-based; 0 = all (monitor) / 1 (read, write)
    int pipe = -1;                  // -1: not given
    long count = -1;                // monitor: reports to show; -1 without limit
    long timeout_ms = -1;           // -1: command default
    long length = 0;                // read: bytes
    long read_back_ms = -1;         // write: read one answer afterwards
    bool sequence = false;          // monitor: data bytes are sequence numbers
    std::vector<std::string> args;  // positional arguments after the command
};

// The calling thread's last-error value, where the library reports failures.
uint32_t ToolLastError();
// "no device of the family found (error 55)" and the like.
std::string DescribeError(const char* what, uint32_t error);

// Opens every device; prints the error and returns a ToolExit on failure.
int OpenDevices(PdxKitHandle* first);
// Handle of device number n (1-based) or null with a message printed.
PdxKitHandle DeviceOrComplain(int n);

std::string HexBytes(const uint8_t* bytes, uint32_t len);
std::string SerialText(PdxKitHandle device);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
double NowSeconds();

// Simulated chips for --simulate; returns false with a message printed.
bool StartSimulation(const ToolOptions& options);
void StopSimulation();
// Called once the library has opened the devices.
void SimulationDevicesOpened();

int CommandList(const ToolOptions& options);
int CommandMonitor(const ToolOptions& options);
int CommandRead(const ToolOptions& options);
int CommandWrite(const ToolOptions& options);
int CommandInfo(const ToolOptions& options);

#endif
