package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import org.junit.jupiter.api.Test;

/** How values cross between Java and the library, on simulated chips. */
class ConversionsTest extends SimulatedDevices {
    @Test
    void writeSendsTheLowestByteOfEachElement() {
        long handle = open(1);
        int[] data = {0x100, 0x1FF, -1, 256, 0x12345680};
        assertEquals(5, PdxKit.write(handle, 0, data));
        assertTrue(SimulatedChips.waitWrites(0, 0, 1, PATIENCE_MS));
        assertArrayEquals(new int[] {0x00, 0xFF, 0xFF, 0x00, 0x80}, SimulatedChips.getWrite(0, 0, 0));
        // The caller's array is left as it was.
        assertArrayEquals(new int[] {0x100, 0x1FF, -1, 256, 0x12345680}, data);
    }

    @Test
    void bytesReadAreZeroTo255() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, PATIENCE_MS));
        SimulatedChips.sendReport(0, 0, portReport(0xFF, 0x80, 0x7F, 0x01));
        assertArrayEquals(new int[] {0, 255, 128, 127, 1}, PdxKit.read(handle, 0, 5));
    }

    @Test
    void readImmediateGivesThePinBytesLowestFirst() {
        long handle = open(1);
        sendQueued(1, portReport(0x01, 0x00, 0xFF, 0x80), 1);
        assertArrayEquals(new int[] {1, 0, 255, 128}, PdxKit.readImmediate(handle));
        // The queue is empty now: the last known pins are not handed out.
        assertArrayEquals(new int[0], PdxKit.readImmediate(handle));
    }

    @Test
    void readImmediateBeforeAnyReportIsEmpty() {
        long handle = open(1);
        assertArrayEquals(new int[0], PdxKit.readImmediate(handle));
    }

    @Test
    void readOfLengthZeroIsEmpty() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, 0));
        sendQueued(1, portReport(1, 2, 3, 4), 1);
        CSide.setLastError(0xDEADBEEF);
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, 0));
        assertEquals(ERROR_INVALID_PARAMETER, CSide.lastError());
        // Only the low 32 bits count: 2^32 is a length of 0 as well.
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, TWO_TO_32));
        assertArrayEquals(new int[] {1, 2, 3, 4}, PdxKit.readImmediate(handle));
    }

    @Test
    void readThatCannotBeAllocatedLeavesTheQueueAlone() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, 0));
        sendQueued(1, portReport(9, 8, 7, 6), 1);
        CSide.setLastError(0xDEADBEEF);
        // -1 asks for 0xFFFFFFFF bytes: the library is not called, so the
        // queued report stays and the last error is untouched.
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, -1));
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, 0x80000000L));
        assertEquals(0xDEADBEEF, CSide.lastError());
        assertArrayEquals(new int[] {0, 9, 8, 7, 6}, PdxKit.read(handle, 0, 5));
    }

    @Test
    void readOfMoreThanOneReportKeepsWholeReports() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, 0));
        sendQueued(1, portReport(1, 1, 1, 1), 1);
        sendQueued(1, portReport(2, 2, 2, 2), 2);
        // 12 bytes hold two reports; the 2 left over cannot hold a third.
        assertArrayEquals(new int[] {0, 1, 1, 1, 1, 0, 2, 2, 2, 2}, PdxKit.read(handle, 0, 12));
    }

    @Test
    void serialNumberIsExactlyEightCodeUnits() {
        long first = open("3 devices, serials ABCD1234 and none and XY");
        assertEquals("ABCD1234", PdxKit.getSerialNumber(first));
        assertEquals("00000000", PdxKit.getSerialNumber(PdxKit.getDeviceHandle(2)));
        // A shorter serial number keeps the zero code units after it.
        assertEquals("XY\0\0\0\0\0\0", PdxKit.getSerialNumber(PdxKit.getDeviceHandle(3)));
    }

    @Test
    void countsAreNeverNegative() {
        long handle = open("1 device, product 0x2A10, version 0xFFFF");
        assertEquals(0x2A10, PdxKit.getProductId(handle));
        assertEquals(0xFFFF, PdxKit.getRevision(handle));
        assertEquals(1, PdxKit.getNumDevs());
        assertEquals(65, PdxKit.write(handle, 1, new int[65]));
    }

    @Test
    void timeoutsTakeTheLow32Bits() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, -1));
        assertEquals(0xFFFFFFFFL, CSide.readTimeout(1));
        assertTrue(PdxKit.setTimeout(handle, TWO_TO_32 + 250));
        assertEquals(250, CSide.readTimeout(1));
        assertTrue(PdxKit.setWriteTimeout(handle, -1));
        assertEquals(0xFFFFFFFFL, CSide.writeTimeout(1));
        assertTrue(PdxKit.setWriteTimeout(handle, TWO_TO_32));
        assertEquals(0, CSide.writeTimeout(1));
        assertFalse(PdxKit.setTimeout(0, 100));
    }

    @Test
    void pipeIndicesTakeTheLow32Bits() {
        long handle = open(1);
        assertEquals(65, PdxKit.write(handle, TWO_TO_32 + 1, new int[65]));
        assertTrue(SimulatedChips.waitWrites(0, 1, 1, PATIENCE_MS));
        assertEquals(0, PdxKit.write(handle, 2, new int[] {0, 0, 0, 0, 0}));
        assertEquals(ERROR_INVALID_PARAMETER, CSide.lastError());
        assertTrue(PdxKit.cancelIo(handle, TWO_TO_32));
        assertFalse(PdxKit.cancelIo(handle, 2));
        assertFalse(PdxKit.cancelIo(handle, -1));
    }
}
