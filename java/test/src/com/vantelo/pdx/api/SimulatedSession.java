package com.vantelo.pdx.api;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.SimulatedChips;
import java.time.Duration;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Timeout;

/** Base of the API tests: each opens at most one session on simulated chips, closed afterwards. */
@Timeout(120)
abstract class SimulatedSession {
    /** Long enough for anything that should happen at once. */
    static final Duration PATIENCE = Duration.ofSeconds(10);
    static final int PATIENCE_MS = 10_000;

    PdxSession session;

    @AfterEach
    void closeAndUninstall() {
        if (session != null) {
            session.close();
        }
        SimulatedChips.uninstall();
    }

    /** Installs {@code chips} chips that answer writes and opens a session on them. */
    PdxSession open(int chips) {
        return open(chips, true);
    }

    PdxSession open(int chips, boolean answering) {
        assertTrue(SimulatedChips.install(chips, answering));
        session = PdxSession.open();
        assertEquals(chips, session.devices().size());
        return session;
    }

    /** A pipe-0 report that sets a chip's output pins to {@code pins}. */
    static byte[] portReport(int pins) {
        return new byte[] {0, (byte) pins, (byte) (pins >> 8), (byte) (pins >> 16), (byte) (pins >> 24)};
    }

    /** A pipe-1 output report (65 bytes) beginning with {@code bytes}. */
    static byte[] command(int... bytes) {
        byte[] report = new byte[65];
        for (int i = 0; i < bytes.length; i++) {
            report[i] = (byte) bytes[i];
        }
        return report;
    }
}
