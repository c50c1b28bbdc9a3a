package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The natives with no device of the family attached. */
class NoDeviceTest extends SimulatedDevices {
    private static final long[] INVALID_HANDLES = {
        0, 1, -1, TWO_TO_32, TOKEN_BASE, TOKEN_BASE | 1, TOKEN_BASE | 16, TOKEN_BASE | 17, 0x5044FFFFL,
        TWO_TO_32 | TOKEN_BASE | 1, Long.MIN_VALUE
    };

    @BeforeEach
    void installNothing() {
        assertTrue(SimulatedChips.install(0, true));
    }

    @Test
    void versionIsTheLibraryText() {
        assertEquals("Pindex Kit V1.4", PdxKit.version());
    }

    @Test
    void openFindsNothing() {
        assertEquals(0, PdxKit.openDevice());
        assertEquals(0, PdxKit.getNumDevs());
        assertEquals(0, PdxKit.getDeviceHandle(1));
        PdxKit.closeDevice(0);
        assertEquals(ERROR_SUCCESS, CSide.lastError());
    }

    @Test
    void invalidHandlesGiveZeroValues() {
        for (long handle : INVALID_HANDLES) {
            String which = "handle 0x" + Long.toHexString(handle);
            assertEquals(0, PdxKit.getProductId(handle), which);
            assertEquals(ERROR_INVALID_PARAMETER, CSide.lastError(), which);
            assertEquals(0, PdxKit.getRevision(handle), which);
            assertEquals(0, PdxKit.getThreadHandle(handle), which);
            assertFalse(PdxKit.setTimeout(handle, -1), which);
            assertFalse(PdxKit.setWriteTimeout(handle, 100), which);
            assertFalse(PdxKit.cancelIo(handle, 0), which);
            assertEquals("00000000", PdxKit.getSerialNumber(handle), which);
            assertArrayEquals(new int[0], PdxKit.readImmediate(handle), which);
            assertArrayEquals(new int[0], PdxKit.read(handle, 0, 5), which);
            assertEquals(0, PdxKit.write(handle, 0, new int[] {0, 1, 2, 3, 4}), which);
        }
    }

    @Test
    void writeOfNullDataIsZero() {
        assertEquals(0, PdxKit.write(0, 0, null));
    }

    @Test
    void readsThatCannotBeAllocatedAreEmpty() {
        for (long length : new long[] {-1, 0xFFFFFFFFL, 0x80000000L, 0}) {
            assertArrayEquals(new int[0], PdxKit.read(0, 0, length), "length " + length);
        }
    }

    @Test
    void deviceNumbersOutOfRangeGiveNoHandle() {
        for (long number : new long[] {0, 1, 16, -1, TWO_TO_32 | 1}) {
            CSide.setLastError(0xDEADBEEF);
            assertEquals(0, PdxKit.getDeviceHandle(number), "number " + number);
            assertEquals(ERROR_INVALID_PARAMETER, CSide.lastError(), "number " + number);
        }
        assertTrue(PdxKit.getNumDevs() == 0);
    }
}
