package com.vantelo.pdx.api;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.PdxKit;
import com.vantelo.pdx.sim.CSide;
import com.vantelo.pdx.sim.SimulatedChips;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Opening and closing, reads, writes and requests, and the exceptions' codes. */
class SessionTest extends SimulatedSession {
    @Test
    void oneSessionPerProcessOwnsTheDevicesUntilClosed() {
        PdxSession first = open(2);
        PdxDevice device = first.devices().get(1);
        assertEquals(2, device.number());
        assertEquals(0x2A11, device.productId());
        assertEquals(0x0100, device.revision());
        assertEquals(Optional.of("00000002"), device.serial());
        assertThrows(IllegalStateException.class, PdxSession::open);

        first.close();
        first.close();
        assertFalse(first.isOpen());
        assertEquals(0, PdxKit.getNumDevs(), "closing closes the devices");
        assertThrows(IllegalStateException.class, () -> device.readPins(Duration.ZERO));
        assertThrows(IllegalStateException.class, () -> device.addPinListener(change -> { }));

        try (PdxSession second = PdxSession.open()) {
            assertEquals(2, second.devices().size());
        }
        PdxKit.openDevice();
        try {
            assertThrows(IllegalStateException.class, PdxSession::open, "devices opened through the natives");
        } finally {
            PdxKit.closeDevice(0);
        }
    }

    @Test
    void portAndSpecialFunctionPipesWork() {
        PdxDevice device = open(1).devices().get(0);
        assertEquals(OptionalInt.empty(), device.latestPins(), "nothing sent yet");
        device.write(0, portReport(0x12345678));
        assertEquals(OptionalInt.of(0x12345678), device.readPins(PATIENCE));
        assertEquals(OptionalInt.empty(), device.readPins(Duration.ofMillis(50)), "one report only");

        SimulatedChips.setPins(0, 0x80000001);
        SimulatedChips.setPins(0, 0x80000002);
        assertTrue(CSide.waitQueued(1, 2, PATIENCE_MS));
        assertEquals(OptionalInt.of(0x80000002), device.latestPins(), "the newest of the queued reports");
        assertEquals(OptionalInt.of(0x80000002), device.latestPins(), "and it stays known");

        byte[] answer = device.request(command(0, 0x02), PATIENCE);
        assertArrayEquals(new byte[] {0, 0x02, 0x3A, 0x1F, 0x11, 0x2A, 0x00, 0x01}, Arrays.copyOf(answer, 8));
    }

    @Test
    void failuresCarryTheirErrorCodes() {
        PdxDevice device = open(1, false).devices().get(0);
        assertCode(PdxException.ERROR_INVALID_PARAMETER, () -> device.write(2, portReport(0)));
        assertCode(PdxException.ERROR_INVALID_PARAMETER, () -> device.write(0, new byte[0]));
        assertCode(PdxException.ERROR_INVALID_PARAMETER, () -> device.readPins(Duration.ofMillis(-1)));

        SimulatedChips.holdWrites(0, 1, true);
        assertCode(PdxException.ERROR_TIMEOUT, () -> device.write(1, command(0, 0x01), Duration.ofMillis(100)));
        SimulatedChips.holdWrites(0, 1, false);
        assertCode(PdxException.ERROR_TIMEOUT, () -> device.request(command(0, 0x02), Duration.ofMillis(100)));
    }

    @Test
    void listenersHearEveryReportUntilRemovedOrClosed() throws Exception {
        List<PdxDevice> devices = open(2).devices();
        LinkedBlockingQueue<PinChange> heard = new LinkedBlockingQueue<>();
        LinkedBlockingQueue<PinChange> other = new LinkedBlockingQueue<>();
        List<Throwable> reported = new CopyOnWriteArrayList<>();
        Thread.UncaughtExceptionHandler before = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((thread, failure) -> reported.add(failure));
        try {
            PinListener failing = change -> {
                heard.add(change);
                throw new IllegalStateException("listener failure " + heard.size());
            };
            devices.get(0).addPinListener(failing);
            devices.get(1).addPinListener(other::add);
            SimulatedChips.setPins(0, 0x0000000F);
            SimulatedChips.setPins(0, 0x000000F0);
            PinChange first = heard.poll(PATIENCE_MS, TimeUnit.MILLISECONDS);
            PinChange second = heard.poll(PATIENCE_MS, TimeUnit.MILLISECONDS);
            assertEquals("device 1: pins 0x0000000F -> 0x000000F0 (changed 0x000000FF)", String.valueOf(second),
                    "a listener that threw still hears the next report");
            assertEquals(-1, first.oldPins(), "nothing known before the first report");

            // Once the listener thread has delivered a report of device 2 sent
            // after the removal, its rounds no longer read device 1.
            devices.get(0).removePinListener(failing);
            SimulatedChips.setPins(1, 1);
            assertEquals(1, other.poll(PATIENCE_MS, TimeUnit.MILLISECONDS).newPins());
            assertEquals(2, reported.size(), "each failure reaches the uncaught-exception handler");
            SimulatedChips.setPins(0, 0x00000F00);
            assertTrue(CSide.waitQueued(1, 1, PATIENCE_MS), "the report stays queued");
            assertEquals(OptionalInt.of(0x00000F00), devices.get(0).readPins(Duration.ZERO));
            assertTrue(heard.isEmpty());

            assertTrue(SimulatedChips.startCounter(1, 1000, 100, 0));
            assertTrue(other.poll(PATIENCE_MS, TimeUnit.MILLISECONDS).newPins() >= 100, "streaming");
            session.close();
            assertFalse(listenerThreadAlive(), "closing ends the listener thread");
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(before);
        }
    }

    private static boolean listenerThreadAlive() {
        return Thread.getAllStackTraces().keySet().stream()
                .anyMatch(thread -> thread.getName().equals("pdxkit-pin-listeners") && thread.isAlive());
    }

    private static void assertCode(int code, Runnable call) {
        assertEquals(code, assertThrows(PdxException.class, call::run).errorCode());
    }
}
