package com.vantelo.pdx.api;

import com.vantelo.pdx.PdxKit;
import java.time.Duration;
import java.time.Instant;
import java.util.List;
import java.util.Objects;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.ReentrantLock;

/**
 * One open device of a {@link PdxSession}. Pipe 0 is the port interface,
 * whose input reports carry the 32 pin values and are queued by the library
 * (the newest 8 unread ones); pipe 1 is the special-function interface.
 * A pin value is the report's 4 data bytes as a little-endian number: bit 0
 * is the first data byte's lowest bit.
 *
 * <p>Every report taken from the queue, by {@link #readPins(Duration)},
 * {@link #latestPins()} or the listener thread, reaches the listeners, in
 * the device's order.
 *
 * <p>Timeouts: the library keeps one read timeout and one write timeout per
 * device, which the natives set for all callers. This class sets them before
 * every read and write and keeps the pair together with a lock per device:
 * port reads and requests of one device run one at a time, and so do its
 * writes. Once the device is found to be gone (see {@link PdxException}),
 * every operation raises {@link PdxException#ERROR_DEVICE_NOT_CONNECTED} and
 * the listeners hear {@link PinListener#deviceGone(PdxDevice)} once.
 */
public final class PdxDevice {
    /** The longest single wait of a pin read, so that closing is never held up longer. */
    static final int SLICE_MS = 200;
    /** The port read that decides whether an early empty result means the device is gone. */
    static final int PROBE_MS = 200;
    /** Below this, an empty result comes too soon after its start to tell a timeout from a gone device. */
    private static final int DECIDABLE_MS = 10;
    /** The library's queue holds this many unread reports. */
    private static final int QUEUE_LENGTH = 8;
    private static final int PORT = 0;
    private static final int SPECIAL = 1;
    private static final int REPORT_LENGTH = 5; // report id + 4 pin bytes
    private static final int ANSWER_LENGTH = 65; // report id + the largest full-speed report
    private static final long INFINITE = 0xFFFFFFFFL;
    private static final Duration DEFAULT_WRITE_TIMEOUT = Duration.ofSeconds(1);
    private static final long ORIGIN = System.nanoTime();

    private final PdxSession session;
    private final long handle;
    private final int number;
    private final int productId;
    private final int revision;
    private final Optional<String> serial;
    private final CopyOnWriteArrayList<PinListener> listeners = new CopyOnWriteArrayList<>();
    private final AtomicBoolean gone = new AtomicBoolean();
    // Held for the read timeout and a read that uses it, which also keeps the
    // reports' order between their taking and their posting to listeners.
    private final ReentrantLock port = new ReentrantLock();
    // Held for the write timeout and the write that uses it.
    private final Object writing = new Object();
    private int lastPins = -1; // guarded by port: the library's own value before any report
    private boolean pinsKnown; // guarded by port

    PdxDevice(PdxSession session, int number, long handle) {
        this.session = session;
        this.number = number;
        this.handle = handle;
        productId = (int) PdxKit.getProductId(handle);
        revision = (int) PdxKit.getRevision(handle);
        serial = serialOf(PdxKit.getSerialNumber(handle));
    }

    private static Optional<String> serialOf(String padded) {
        int end = padded.indexOf('\0');
        String text = end < 0 ? padded : padded.substring(0, end);
        // The natives return "00000000" for a device without a serial number.
        return text.isEmpty() || text.equals("00000000") ? Optional.empty() : Optional.of(text);
    }

    /** @return the device number, counted from 1 in the order of opening */
    public int number() {
        return number;
    }

    /** @return the USB product ID (0x2A10 or 0x2A11) */
    public int productId() {
        return productId;
    }

    /** @return the USB device release number (bcdDevice) */
    public int revision() {
        return revision;
    }

    /**
     * @return the serial number; empty for a device without one (the natives
     *         do not tell it from the serial number "00000000")
     */
    public Optional<String> serial() {
        return serial;
    }

    /** @return false once the device has been found to be gone */
    public boolean isConnected() {
        return !gone.get();
    }

    /**
     * Takes the oldest unread port report, waiting for one up to the timeout.
     * The wait is made in steps of at most {@value #SLICE_MS} ms, so that
     * closing the session ends it soon.
     *
     * @param timeout how long to wait; {@link Duration#ZERO} does not wait
     * @return the report's pin value; empty when none came within the timeout
     * @throws PdxException with {@link PdxException#ERROR_DEVICE_NOT_CONNECTED}
     *         when the device is gone, {@link PdxException#ERROR_INVALID_PARAMETER}
     *         for a negative timeout
     * @throws IllegalStateException when the session is (or gets) closed
     */
    public OptionalInt readPins(Duration timeout) {
        long end = deadline(timeout);
        session.enter();
        port.lock();
        try {
            requireConnected();
            while (true) {
                OptionalInt pins = takeReport((int) Math.min(SLICE_MS, Math.max(0, end - nowMs())));
                if (pins.isPresent() || nowMs() >= end) {
                    return pins;
                }
                session.checkOpen();
            }
        } finally {
            port.unlock();
            session.exit();
        }
    }

    /**
     * The latest pin value known, without waiting: takes every queued
     * report (the listeners receive them) and returns the newest.
     *
     * @return the pin value of the newest report taken since the session
     *         opened; empty when the device has sent none
     * @throws PdxException with {@link PdxException#ERROR_DEVICE_NOT_CONNECTED}
     *         when the device is known to be gone
     * @throws IllegalStateException when the session is closed
     */
    public OptionalInt latestPins() {
        session.enter();
        port.lock();
        try {
            requireConnected();
            for (int taken = 0; taken < QUEUE_LENGTH && takeReport(0).isPresent(); taken++) {
                // each report taken is recorded and posted
            }
            return pinsKnown ? OptionalInt.of(lastPins) : OptionalInt.empty();
        } finally {
            port.unlock();
            session.exit();
        }
    }

    /**
     * Writes one report with a write timeout of one second.
     *
     * @param pipe   0 (port) or 1 (special function)
     * @param report the report bytes, report id first
     * @throws PdxException see {@link #write(int, byte[], Duration)}
     * @throws IllegalStateException when the session is closed
     */
    public void write(int pipe, byte[] report) {
        write(pipe, report, DEFAULT_WRITE_TIMEOUT);
    }

    /**
     * Writes one report. On pipe 0 a report id 0 and 4 bytes set the output
     * pins of the chip.
     *
     * @param pipe    0 (port) or 1 (special function)
     * @param report  the report bytes, report id first
     * @param timeout how long the write may take; a timeout longer than
     *                0xFFFFFFFE ms waits without limit
     * @throws PdxException with {@link PdxException#ERROR_TIMEOUT} when the
     *         write did not complete in time, {@link PdxException#ERROR_DEVICE_NOT_CONNECTED}
     *         when the device is gone, {@link PdxException#ERROR_GEN_FAILURE}
     *         when a present device refused it, {@link PdxException#ERROR_INVALID_PARAMETER}
     *         for a bad pipe, an empty report or a negative timeout
     * @throws IllegalStateException when the session is closed
     */
    public void write(int pipe, byte[] report, Duration timeout) {
        if (pipe != PORT && pipe != SPECIAL) {
            throw new PdxException(PdxException.ERROR_INVALID_PARAMETER, "pipe " + pipe + " is neither 0 nor 1");
        }
        writeReport(pipe, report, nativeTimeout(timeout), timeout);
    }

    /**
     * Sends a command on pipe 1 and reads the device's answer, one report,
     * from pipe 1. The answer to a request that timed out may still come and
     * is then taken as the answer to the next request.
     *
     * @param command the output report, report id first
     * @param timeout how long the write and the wait for the answer may take
     *                together
     * @return the answer report, report id first (at most 65 bytes)
     * @throws PdxException with {@link PdxException#ERROR_TIMEOUT} when no
     *         answer came in time, or as for {@link #write(int, byte[], Duration)}
     * @throws IllegalStateException when the session is closed
     */
    public byte[] request(byte[] command, Duration timeout) {
        long end = deadline(timeout);
        writeReport(SPECIAL, command, nativeTimeout(timeout), timeout);
        long left = Math.max(0, end - nowMs());
        long ms = left >= INFINITE ? -1 : left;
        session.enter();
        port.lock();
        try {
            requireConnected();
            int[] answer = read(SPECIAL, ANSWER_LENGTH, ms);
            if (answer == null) {
                throw refused("the answer");
            }
            if (answer.length == 0) {
                throw new PdxException(PdxException.ERROR_TIMEOUT,
                        "device " + number + ": no answer within " + millis(timeout) + " ms");
            }
            byte[] bytes = new byte[answer.length];
            for (int i = 0; i < answer.length; i++) {
                bytes[i] = (byte) answer[i];
            }
            return bytes;
        } finally {
            port.unlock();
            session.exit();
        }
    }

    /**
     * Adds a listener of this device's port reports; adding one already
     * added changes nothing. The session's listener thread starts reading
     * the device's queue, and each report taken from then on reaches the
     * listener.
     *
     * @param listener the listener
     * @throws PdxException with {@link PdxException#ERROR_DEVICE_NOT_CONNECTED}
     *         when the device is known to be gone
     * @throws IllegalStateException when the session is closed
     */
    public void addPinListener(PinListener listener) {
        Objects.requireNonNull(listener, "listener");
        session.enter();
        try {
            requireConnected();
            listeners.addIfAbsent(listener);
            PinWatcher watcher = session.watcher();
            if (watcher != null) { // null when closing has begun since entering
                watcher.wakeUp();
            }
        } finally {
            session.exit();
        }
    }

    /**
     * Removes a listener; it receives no call that starts after this returns.
     * Once the device has no listener left, the listener thread stops reading
     * its queue, so the reports stay there for {@link #readPins(Duration)}.
     *
     * @param listener the listener
     */
    public void removePinListener(PinListener listener) {
        listeners.remove(listener);
    }

    @Override
    public String toString() {
        return String.format("PdxDevice %d (product 0x%04X, revision 0x%04X, serial %s)", number, productId, revision,
                serial.orElse("none"));
    }

    List<PinListener> listeners() {
        return listeners;
    }

    boolean isWatched() {
        return !listeners.isEmpty() && !gone.get();
    }

    /**
     * For the listener thread: takes the queued reports, waiting up to
     * {@code firstWaitMs} for the first. Skipped while a caller holds the port.
     *
     * @return false when skipped
     */
    boolean poll(int firstWaitMs) {
        if (gone.get() || !port.tryLock()) {
            return false;
        }
        try {
            int wait = firstWaitMs;
            for (int taken = 0; taken < QUEUE_LENGTH && takeReport(wait).isPresent(); taken++) {
                wait = 0;
            }
        } catch (PdxException goneNow) {
            // the listeners hear of it through deviceGone
        } finally {
            port.unlock();
        }
        return true;
    }

    private void writeReport(int pipe, byte[] report, long ms, Duration timeout) {
        Objects.requireNonNull(report, "report");
        if (report.length == 0) {
            throw new PdxException(PdxException.ERROR_INVALID_PARAMETER, "empty report");
        }
        int[] elements = new int[report.length];
        for (int i = 0; i < report.length; i++) {
            elements[i] = report[i] & 0xFF;
        }
        session.enter();
        try {
            requireConnected();
            long written;
            long elapsed;
            synchronized (writing) {
                PdxKit.setWriteTimeout(handle, ms);
                long start = nowMs();
                written = PdxKit.write(handle, pipe, elements);
                elapsed = nowMs() - start;
            }
            if (written != 0) {
                return;
            }
            if (ms == -1 || (ms >= DECIDABLE_MS && elapsed * 2 < ms)) {
                // Failed without waiting out its timeout: refused.
                port.lock();
                try {
                    throw refused("the write");
                } finally {
                    port.unlock();
                }
            }
            throw new PdxException(PdxException.ERROR_TIMEOUT,
                    "device " + number + ": write not completed within " + millis(timeout) + " ms");
        } finally {
            session.exit();
        }
    }

    /**
     * The exception for an operation that failed at once: a port read tells
     * whether the device is gone. Caller holds the port.
     */
    private PdxException refused(String what) {
        takeReport(PROBE_MS); // raises when gone
        return new PdxException(PdxException.ERROR_GEN_FAILURE, "device " + number + " refused " + what);
    }

    /**
     * Takes one port report, waiting up to {@code ms}, records it and posts it
     * to the listeners. Caller holds the port.
     *
     * @return the pin value; empty when none came within the time
     * @throws PdxException when the device is found to be gone
     */
    private OptionalInt takeReport(int ms) {
        int[] report = read(PORT, REPORT_LENGTH, ms);
        if (report == null) {
            // Empty too early: gone, or another caller of the natives took
            // the report. A longer read decides.
            report = read(PORT, REPORT_LENGTH, PROBE_MS);
            if (report == null) {
                throw markGone();
            }
        }
        if (report.length == 0) {
            return OptionalInt.empty();
        }
        int pins = 0;
        for (int i = 1; i < report.length && i <= 4; i++) {
            pins |= report[i] << (8 * (i - 1));
        }
        int old = lastPins;
        lastPins = pins;
        pinsKnown = true;
        PinWatcher watcher = session.runningWatcher();
        if (watcher != null && !listeners.isEmpty()) {
            watcher.post(new PinChange(this, old, pins, Instant.now()));
        }
        return OptionalInt.of(pins);
    }

    /**
     * One read with the device's read timeout set to {@code ms} (-1: no
     * limit). Caller holds the port.
     *
     * @return the bytes read; empty after the timeout; null when the read
     *         came back empty in less than half of a decidable timeout, or
     *         at all with no limit: the sign of a gone device
     */
    private int[] read(int pipe, int length, long ms) {
        PdxKit.setTimeout(handle, ms);
        long start = nowMs();
        int[] bytes = PdxKit.read(handle, pipe, length);
        if (bytes.length > 0 || (ms != -1 && ms < DECIDABLE_MS)) {
            return bytes;
        }
        return ms == -1 || (nowMs() - start) * 2 < ms ? null : bytes;
    }

    private PdxException markGone() {
        if (gone.compareAndSet(false, true)) {
            PinWatcher watcher = session.runningWatcher();
            if (watcher != null) {
                watcher.postGone(this);
            }
        }
        return notConnected();
    }

    private void requireConnected() {
        if (gone.get()) {
            throw notConnected();
        }
    }

    private PdxException notConnected() {
        return new PdxException(PdxException.ERROR_DEVICE_NOT_CONNECTED, "device " + number + " is not connected");
    }

    private static long millis(Duration timeout) {
        Objects.requireNonNull(timeout, "timeout");
        if (timeout.isNegative()) {
            throw new PdxException(PdxException.ERROR_INVALID_PARAMETER, "negative timeout " + timeout);
        }
        try {
            return timeout.toMillis();
        } catch (ArithmeticException tooLong) {
            return Long.MAX_VALUE;
        }
    }

    /** The timeout as the natives take it: -1 for no limit. */
    private static long nativeTimeout(Duration timeout) {
        long ms = millis(timeout);
        return ms >= INFINITE ? -1 : ms;
    }

    private static long deadline(Duration timeout) {
        long ms = millis(timeout);
        return ms > Long.MAX_VALUE / 4 ? Long.MAX_VALUE : nowMs() + ms;
    }

    /** Milliseconds since this class was loaded: never negative, so deadlines cannot overflow. */
    private static long nowMs() {
        return (System.nanoTime() - ORIGIN) / 1_000_000;
    }
}
