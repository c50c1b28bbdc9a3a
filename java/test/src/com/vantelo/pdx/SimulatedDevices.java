package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import org.junit.jupiter.api.AfterEach;

/** Base of the tests: each starts with nothing installed and ends closed. */
abstract class SimulatedDevices {
    /** Long enough for anything that should happen at once. */
    static final int PATIENCE_MS = 10_000;
    static final int ERROR_SUCCESS = 0;
    static final int ERROR_INVALID_PARAMETER = 87;
    static final int ERROR_TIMEOUT = 1460;
    static final long TOKEN_BASE = 0x50440000L;
    static final long TWO_TO_32 = 1L << 32;

    @AfterEach
    void closeAndUninstall() {
        PdxKit.closeDevice(0);
        SimulatedChips.uninstall();
    }

    /** Installs {@code devices} chips (answering writes) and opens them; returns device 1's handle. */
    static long open(int devices) {
        assertTrue(SimulatedChips.install(devices, true));
        long handle = PdxKit.openDevice();
        assertNotEquals(0, handle);
        assertEquals(devices, PdxKit.getNumDevs());
        return handle;
    }

    /** Installs a world in the simulator's text form and opens it. */
    static long open(String world) {
        assertNull(SimulatedChips.installWorld(world));
        long handle = PdxKit.openDevice();
        assertNotEquals(0, handle);
        return handle;
    }

    /** A 5-byte pipe-0 report (report id 0) carrying the pin bytes given. */
    static int[] portReport(int b0, int b1, int b2, int b3) {
        return new int[] {0, b0, b1, b2, b3};
    }

    /** Sends a pipe-0 report and waits until device {@code number}'s reader has queued it. */
    static void sendQueued(int number, int[] report, int expectedQueued) {
        assertEquals(1, SimulatedChips.sendReport(number - 1, 0, report));
        assertTrue(CSide.waitQueued(number, expectedQueued, PATIENCE_MS), "report not queued");
    }
}
