package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Reports end to end between Java and simulated chips. */
class ReadWriteTest extends SimulatedDevices {
    private static final int PIPE1_LENGTH = 65;

    private static int[] command(int... bytes) {
        return Arrays.copyOf(bytes, PIPE1_LENGTH);
    }

    @Test
    void portWriteIsAnsweredWithThePinState() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, PATIENCE_MS));
        assertEquals(5, PdxKit.write(handle, 0, portReport(0x78, 0x56, 0x34, 0x12)));
        assertArrayEquals(portReport(0x78, 0x56, 0x34, 0x12), PdxKit.read(handle, 0, 5));
    }

    @Test
    void pinChangesArriveAsPortReports() {
        long handle = open(2);
        long second = PdxKit.getDeviceHandle(2);
        assertTrue(PdxKit.setTimeout(second, PATIENCE_MS));
        assertEquals(1, SimulatedChips.setPins(1, 0x80FF0001));
        assertArrayEquals(portReport(0x01, 0x00, 0xFF, 0x80), PdxKit.read(second, 0, 5));
        assertTrue(PdxKit.setTimeout(handle, 0));
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, 5), "the other chip sent nothing");
    }

    @Test
    void specialFunctionPipeEchoesARequest() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, PATIENCE_MS));
        int[] request = command(0, 0x01, 'h', 'e', 'l', 'l', 'o', 0xFF);
        assertEquals(PIPE1_LENGTH, PdxKit.write(handle, 1, request));
        assertArrayEquals(request, PdxKit.read(handle, 1, PIPE1_LENGTH));
    }

    @Test
    void specialFunctionPipeIdentifiesTheChip() {
        long handle = open("1 device, product 0x2A10, version 0x0123");
        assertTrue(PdxKit.setTimeout(handle, PATIENCE_MS));
        assertEquals(PIPE1_LENGTH, PdxKit.write(handle, 1, command(0, 0x02)));
        int[] reply = PdxKit.read(handle, 1, PIPE1_LENGTH);
        assertEquals(PIPE1_LENGTH, reply.length);
        assertArrayEquals(new int[] {0, 0x02, 0x3A, 0x1F, 0x10, 0x2A, 0x23, 0x01}, Arrays.copyOf(reply, 8));
    }

    @Test
    void readTimeoutZeroWithNothingQueuedIsEmpty() {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, 0));
        CSide.setLastError(0xDEADBEEF);
        assertArrayEquals(new int[0], PdxKit.read(handle, 0, 5));
        assertEquals(ERROR_TIMEOUT, CSide.lastError());
    }

    @Test
    void readWithoutLimitWaitsForTheReport() throws Exception {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, -1));
        CompletableFuture<int[]> read = CompletableFuture.supplyAsync(() -> PdxKit.read(handle, 0, 5));
        SimulatedChips.sendReport(0, 0, portReport(4, 3, 2, 1));
        assertArrayEquals(portReport(4, 3, 2, 1), read.get(PATIENCE_MS, TimeUnit.MILLISECONDS));
    }

    @Test
    void writeThatIsNotAcknowledgedTimesOut() {
        long handle = open(1);
        assertTrue(SimulatedChips.holdWrites(0, 0, true));
        assertTrue(PdxKit.setWriteTimeout(handle, 0));
        CSide.setLastError(0xDEADBEEF);
        assertEquals(0, PdxKit.write(handle, 0, portReport(1, 2, 3, 4)));
        assertEquals(ERROR_TIMEOUT, CSide.lastError());
    }

    @Test
    void writeWithoutLimitWaitsForTheAcknowledgement() throws Exception {
        long handle = open(1);
        assertTrue(SimulatedChips.holdWrites(0, 1, true));
        assertTrue(PdxKit.setWriteTimeout(handle, -1));
        CompletableFuture<Long> write = CompletableFuture.supplyAsync(() -> PdxKit.write(handle, 1, command(0, 0x7E)));
        assertTrue(SimulatedChips.waitWrites(0, 1, 1, PATIENCE_MS));
        assertTrue(!write.isDone(), "the write returned before it was acknowledged");
        assertEquals(1, SimulatedChips.releaseWrites(0, 1, 0));
        assertEquals(PIPE1_LENGTH, write.get(PATIENCE_MS, TimeUnit.MILLISECONDS));
    }

    @Test
    void writeIsRepeatedAfterAFailedAttempt() {
        long handle = open(1);
        assertTrue(SimulatedChips.failWrites(0, 0, 1, 31));
        assertEquals(5, PdxKit.write(handle, 0, portReport(0xC0, 0xFF, 0xEE, 0)));
        assertEquals(2, SimulatedChips.writeCount(0, 0));
        assertArrayEquals(SimulatedChips.getWrite(0, 0, 0), SimulatedChips.getWrite(0, 0, 1));
    }
}
