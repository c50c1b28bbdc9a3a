package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import java.util.HashSet;
import java.util.Set;
import org.junit.jupiter.api.Test;

/**
 * Device handles in Java: how they map to the library's records, and that
 * Java and C callers in one process share one device table.
 */
class HandlesTest extends SimulatedDevices {
    @Test
    void eachDeviceHasItsOwnHandle() {
        long first = open(3);
        assertEquals(first, PdxKit.getDeviceHandle(1));
        Set<Long> handles = new HashSet<>();
        for (int number = 1; number <= 3; number++) {
            long handle = PdxKit.getDeviceHandle(number);
            assertNotEquals(0, handle);
            assertTrue(handles.add(handle), "handle of device " + number + " repeats");
            assertEquals(0x2A11, PdxKit.getProductId(handle));
        }
        assertEquals(0, PdxKit.getDeviceHandle(0));
        assertEquals(0, PdxKit.getDeviceHandle(4));
    }

    @Test
    void handlesOf64BitProcessesAreRecordTokens() {
        // Addresses do not fit in 32 bits here, so records travel as
        // 0x50440000 | record number.
        open(2);
        assertEquals(TOKEN_BASE | 1, PdxKit.getDeviceHandle(1));
        assertEquals(TOKEN_BASE | 2, PdxKit.getDeviceHandle(2));
        // A token of a record beyond the device count names no open device.
        assertEquals(0, PdxKit.getProductId(TOKEN_BASE | 3));
        assertEquals(0, PdxKit.getProductId(TOKEN_BASE | 17));
        assertEquals(0, PdxKit.getProductId(TOKEN_BASE));
    }

    @Test
    void upperBitsOfAHandleAreIgnored() {
        long handle = open(1);
        for (long variant : new long[] {handle + TWO_TO_32, handle | 0xFFFFFFFF00000000L, handle + (5L << 40)}) {
            assertEquals(0x2A11, PdxKit.getProductId(variant));
            assertEquals("00000001", PdxKit.getSerialNumber(variant));
            assertEquals(5, PdxKit.write(variant, 0, portReport(1, 2, 3, 4)));
        }
        assertTrue(SimulatedChips.waitWrites(0, 0, 3, PATIENCE_MS));
    }

    @Test
    void threadHandleIsTheReadersSignExtended() {
        long handle = open(2);
        for (int number = 1; number <= 2; number++) {
            long fromJava = PdxKit.getThreadHandle(PdxKit.getDeviceHandle(number));
            assertNotEquals(0, fromJava);
            assertEquals((long) (int) CSide.threadHandle(number), fromJava);
        }
        assertNotEquals(PdxKit.getThreadHandle(handle), PdxKit.getThreadHandle(PdxKit.getDeviceHandle(2)));
    }

    @Test
    void devicesOpenedInCAreSeenFromJava() {
        assertTrue(SimulatedChips.install(2, true));
        assertNotEquals(0, CSide.openDevice());
        assertEquals(2, PdxKit.getNumDevs());
        long second = PdxKit.getDeviceHandle(2);
        assertTrue(PdxKit.setWriteTimeout(second, 1234));
        assertEquals(1234, CSide.writeTimeout(2));
        assertEquals(5, PdxKit.write(second, 0, portReport(0xA5, 0, 0, 0)));
        assertTrue(SimulatedChips.waitWrites(1, 0, 1, PATIENCE_MS));
        assertArrayEquals(portReport(0xA5, 0, 0, 0), SimulatedChips.getWrite(1, 0, 0));
    }

    @Test
    void devicesOpenedInJavaAreSeenFromC() {
        // Chips that do not answer writes, so the only reports are those sent here.
        assertTrue(SimulatedChips.install(2, false));
        long handle = PdxKit.openDevice();
        assertNotEquals(0, handle);
        assertEquals(2, CSide.numDevs());
        assertEquals(TOKEN_BASE | 1, handle);
        assertNotEquals(0, CSide.deviceHandle(1));
        assertTrue(CSide.setTimeout(1, PATIENCE_MS));
        assertEquals(PATIENCE_MS, CSide.readTimeout(1));
        // A report written through C and one through Java reach the same chip.
        assertEquals(5, CSide.write(1, 0, portReport(1, 0, 0, 0)));
        assertEquals(5, PdxKit.write(handle, 0, portReport(2, 0, 0, 0)));
        assertTrue(SimulatedChips.waitWrites(0, 0, 2, PATIENCE_MS));
        assertArrayEquals(portReport(1, 0, 0, 0), SimulatedChips.getWrite(0, 0, 0));
        assertArrayEquals(portReport(2, 0, 0, 0), SimulatedChips.getWrite(0, 0, 1));
        assertEquals(0, SimulatedChips.writeCount(1, 0));
        // Reports queued for the device reach C and Java readers in order.
        SimulatedChips.sendReport(0, 0, portReport(0x11, 0x22, 0x33, 0x44));
        SimulatedChips.sendReport(0, 0, portReport(0x55, 0x66, 0x77, 0x88));
        assertArrayEquals(portReport(0x11, 0x22, 0x33, 0x44), CSide.read(1, 0, 5));
        assertArrayEquals(portReport(0x55, 0x66, 0x77, 0x88), PdxKit.read(handle, 0, 5));
    }

    @Test
    void closingFromCInvalidatesJavaHandles() {
        long handle = open(2);
        long second = PdxKit.getDeviceHandle(2);
        CSide.closeDevice();
        for (long h : new long[] {handle, second}) {
            assertEquals(0, PdxKit.getProductId(h));
            assertFalse(PdxKit.setTimeout(h, 0));
            assertArrayEquals(new int[0], PdxKit.readImmediate(h));
        }
        assertEquals(0, PdxKit.getNumDevs());
    }

    @Test
    void handlesWorkAgainAfterReopening() {
        long handle = open(1);
        PdxKit.closeDevice(handle);
        assertEquals(0, PdxKit.getProductId(handle));
        assertEquals(handle, PdxKit.openDevice());
        assertEquals(0x2A11, PdxKit.getProductId(handle));
    }
}
