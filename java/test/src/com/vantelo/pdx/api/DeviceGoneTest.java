package com.vantelo.pdx.api;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.SimulatedChips;
import java.time.Duration;
import java.util.List;
import java.util.OptionalInt;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;

/** An unplugged chip: its calls raise "not connected", its listeners hear of it once, the others go on. */
class DeviceGoneTest extends SimulatedSession {
    @Test
    void unpluggedDeviceRaisesNotConnectedAndTellsItsListenersOnce() throws Exception {
        List<PdxDevice> devices = open(2).devices();
        PdxDevice gone = devices.get(0);
        AtomicInteger goneCalls = new AtomicInteger();
        CountDownLatch told = new CountDownLatch(1);
        gone.addPinListener(new PinListener() {
            @Override
            public void pinsChanged(PinChange change) {
            }

            @Override
            public void deviceGone(PdxDevice device) {
                goneCalls.incrementAndGet();
                told.countDown();
            }
        });
        CompletableFuture<OptionalInt> blocked = CompletableFuture.supplyAsync(
                () -> gone.readPins(Duration.ofMinutes(10)));

        SimulatedChips.unplug(0, -1);
        ExecutionException failure = assertThrows(ExecutionException.class,
                () -> blocked.get(PATIENCE_MS, TimeUnit.MILLISECONDS), "a waiting read ends");
        assertEquals(PdxException.ERROR_DEVICE_NOT_CONNECTED, ((PdxException) failure.getCause()).errorCode());
        assertTrue(told.await(PATIENCE_MS, TimeUnit.MILLISECONDS));
        assertFalse(gone.isConnected());
        assertNotConnected(() -> gone.readPins(Duration.ofMinutes(10)));
        assertNotConnected(gone::latestPins);
        assertNotConnected(() -> gone.write(0, portReport(1)));
        assertNotConnected(() -> gone.request(command(0, 0x02), PATIENCE));
        assertNotConnected(() -> gone.addPinListener(change -> { }));

        PdxDevice present = devices.get(1);
        SimulatedChips.setPins(1, 7);
        assertEquals(OptionalInt.of(7), present.readPins(PATIENCE));
        session.close();
        assertEquals(1, goneCalls.get());
    }

    @Test
    void writeToAnUnpluggedDeviceFindsItGone() {
        PdxDevice device = open(1).devices().get(0);
        SimulatedChips.unplug(0, -1);
        assertNotConnected(() -> device.write(1, command(0, 0x01), PATIENCE));
        assertFalse(device.isConnected());
    }

    private static void assertNotConnected(Runnable call) {
        assertEquals(PdxException.ERROR_DEVICE_NOT_CONNECTED,
                assertThrows(PdxException.class, call::run).errorCode());
    }
}
