package com.vantelo.pdx.api;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.SimulatedChips;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.Test;

/**
 * 16 chips stream sequence numbers as pin values while listeners come and
 * go and another thread takes reports too: no listener hears a report twice
 * or out of order, and the last report of every chip reaches the listeners
 * that stayed.
 */
class ListenerLoadTest extends SimulatedSession {
    private static final int CHIPS = 16;
    private static final int RATE_HZ = 400;
    private static final int REPORTS = 800;
    private static final int FIRST = 1;
    private static final int LAST = FIRST + REPORTS - 1;

    /**
     * Checks the order of what it hears: a listener hears a run of
     * consecutive reports as the session took them, each one's old value
     * being the previous one's new value (the library's queue may have
     * dropped reports before that).
     */
    private static final class Recorder implements PinListener {
        private final CountDownLatch sawLast;
        private final List<String> faults;
        private int last = Integer.MIN_VALUE; // only the listener thread touches it

        Recorder(CountDownLatch sawLast, List<String> faults) {
            this.sawLast = sawLast;
            this.faults = faults;
        }

        @Override
        public void pinsChanged(PinChange change) {
            int pins = change.newPins();
            if (pins <= last) {
                faults.add(change + " heard after 0x" + Integer.toHexString(last));
            }
            if (last != Integer.MIN_VALUE && change.oldPins() != last) {
                faults.add(change + ": old value is not the previous report's 0x" + Integer.toHexString(last));
            }
            if (change.changedMask() != (change.oldPins() ^ pins)) {
                faults.add(change + ": wrong mask");
            }
            last = pins;
            if (pins == LAST && sawLast != null) {
                sawLast.countDown();
            }
        }
    }

    @Test
    void listenersUnderLoadHearEachReportOnceAndInOrder() throws Exception {
        List<PdxDevice> devices = open(CHIPS).devices();
        List<String> faults = new CopyOnWriteArrayList<>();
        CountDownLatch allLast = new CountDownLatch(CHIPS);
        for (PdxDevice device : devices) {
            device.addPinListener(new Recorder(allLast, faults));
        }
        AtomicBoolean streaming = new AtomicBoolean(true);
        List<Throwable> churnFailures = new CopyOnWriteArrayList<>();
        List<Thread> churners = new ArrayList<>();
        for (int t = 0; t < 2; t++) {
            long seed = t;
            churners.add(new Thread(() -> {
                Random random = new Random(seed);
                try {
                    while (streaming.get()) {
                        PdxDevice device = devices.get(random.nextInt(CHIPS));
                        Recorder passing = new Recorder(null, faults);
                        device.addPinListener(passing);
                        device.latestPins(); // takes reports on this thread; they reach the listeners too
                        device.removePinListener(passing);
                    }
                } catch (Throwable failure) {
                    churnFailures.add(failure);
                }
            }));
        }
        churners.forEach(Thread::start);
        for (int chip = 0; chip < CHIPS; chip++) {
            assertTrue(SimulatedChips.startCounter(chip, RATE_HZ, FIRST, REPORTS));
        }
        for (int chip = 0; chip < CHIPS; chip++) {
            assertTrue(SimulatedChips.waitGenerated(chip, 60_000));
        }
        streaming.set(false);
        for (Thread churner : churners) {
            churner.join();
        }
        assertTrue(allLast.await(PATIENCE_MS, TimeUnit.MILLISECONDS), "every chip's last report heard");
        assertEquals(List.of(), churnFailures);
        assertTrue(faults.isEmpty(), () -> faults.size() + " faults, the first: " + faults.get(0));
    }
}
