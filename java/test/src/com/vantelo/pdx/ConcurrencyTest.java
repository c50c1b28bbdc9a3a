package com.vantelo.pdx;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vantelo.pdx.sim.SimulatedChips;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.SynchronousQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Java threads reading and writing at once. Every wait of the library here
 * is an alertable wait on a thread the JVM created.
 */
class ConcurrencyTest extends SimulatedDevices {
    private static final int ROUNDS = 40;
    private static final int PIPE1_LENGTH = 65;
    private final ExecutorService pool = Executors.newCachedThreadPool();

    @AfterEach
    void stopThreads() throws InterruptedException {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(PATIENCE_MS, TimeUnit.MILLISECONDS));
    }

    private static <T> T result(Future<T> future) throws Exception {
        return future.get(PATIENCE_MS, TimeUnit.MILLISECONDS);
    }

    private static void await(CyclicBarrier barrier) {
        try {
            barrier.await(PATIENCE_MS, TimeUnit.MILLISECONDS);
        } catch (InterruptedException | BrokenBarrierException | TimeoutException e) {
            throw new AssertionError("threads did not meet", e);
        }
    }

    @Test
    void roundTripsOnSeveralDevicesAtOnce() throws Exception {
        int devices = 4;
        open(devices);
        CyclicBarrier start = new CyclicBarrier(devices);
        List<Future<Integer>> workers = new ArrayList<>();
        for (int d = 1; d <= devices; d++) {
            long handle = PdxKit.getDeviceHandle(d);
            int tag = d;
            assertTrue(PdxKit.setTimeout(handle, PATIENCE_MS));
            workers.add(pool.submit(() -> {
                await(start);
                for (int round = 0; round < ROUNDS; round++) {
                    int[] echo = Arrays.copyOf(new int[] {0, 0x01, tag, round, 0xFF - round}, PIPE1_LENGTH);
                    assertEquals(PIPE1_LENGTH, PdxKit.write(handle, 1, echo));
                    assertArrayEquals(echo, PdxKit.read(handle, 1, PIPE1_LENGTH), "echo of device " + tag);
                    int[] port = portReport(tag, round, 0x80, 0xFF);
                    assertEquals(5, PdxKit.write(handle, 0, port));
                    assertArrayEquals(port, PdxKit.read(handle, 0, 5), "pins of device " + tag);
                }
                return tag;
            }));
        }
        for (int d = 1; d <= devices; d++) {
            assertEquals(d, result(workers.get(d - 1)));
        }
    }

    @Test
    void writersShareOnePipe() throws Exception {
        int writers = 4;
        long handle = open(1);
        assertTrue(PdxKit.setWriteTimeout(handle, PATIENCE_MS));
        CyclicBarrier start = new CyclicBarrier(writers);
        List<Future<?>> workers = new ArrayList<>();
        for (int w = 0; w < writers; w++) {
            int writer = w;
            workers.add(pool.submit(() -> {
                await(start);
                for (int round = 0; round < ROUNDS; round++) {
                    assertEquals(5, PdxKit.write(handle, 0, portReport(writer, round, 0, 0)));
                }
                return null;
            }));
        }
        for (Future<?> worker : workers) {
            result(worker);
        }
        assertEquals(writers * ROUNDS, SimulatedChips.writeCount(0, 0));
        Set<Integer> seen = new HashSet<>();
        for (int i = 0; i < writers * ROUNDS; i++) {
            int[] write = SimulatedChips.getWrite(0, 0, i);
            assertEquals(5, write.length);
            assertTrue(seen.add(write[1] << 8 | write[2]), "write seen twice");
        }
    }

    @Test
    void readerAndWriterThreadsOnOneDevice() throws Exception {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, -1));
        // The writer waits for the reader after each value, so the queue of
        // eight reports never overflows.
        SynchronousQueue<int[]> received = new SynchronousQueue<>();
        Future<?> reader = pool.submit(() -> {
            for (int round = 0; round < ROUNDS; round++) {
                received.put(PdxKit.read(handle, 0, 5));
            }
            return null;
        });
        Future<?> writer = pool.submit(() -> {
            for (int round = 0; round < ROUNDS; round++) {
                int[] port = portReport(round, 0x5A, round ^ 0xFF, 0x01);
                assertEquals(5, PdxKit.write(handle, 0, port));
                int[] got = received.poll(PATIENCE_MS, TimeUnit.MILLISECONDS);
                assertArrayEquals(port, got, "round " + round);
            }
            return null;
        });
        result(writer);
        result(reader);
    }

    @Test
    void immediateReadsWhileAnotherThreadWaits() throws Exception {
        long handle = open(1);
        assertTrue(PdxKit.setTimeout(handle, -1));
        // One thread waits in a queued read without limit; the main thread's
        // immediate reads find nothing, take no read lock and never block.
        Future<int[]> waiting = pool.submit(() -> PdxKit.read(handle, 0, 5));
        for (int i = 0; i < ROUNDS; i++) {
            assertArrayEquals(new int[0], PdxKit.readImmediate(handle));
        }
        SimulatedChips.sendReport(0, 0, portReport(7, 7, 7, 7));
        assertArrayEquals(portReport(7, 7, 7, 7), result(waiting));
    }
}
