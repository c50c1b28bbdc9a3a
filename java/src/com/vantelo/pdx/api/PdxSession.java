package com.vantelo.pdx.api;

import com.vantelo.pdx.PdxKit;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * The open devices of this process: opening a session opens every attached
 * device of the family, closing it closes them all.
 *
 * <pre>{@code
 * try (PdxSession session = PdxSession.open()) {
 *     PdxDevice device = session.devices().get(0);
 *     OptionalInt pins = device.readPins(Duration.ofSeconds(1));
 * }
 * }</pre>
 *
 * <p>The natives act on all devices at once, so at most one session is open
 * per process, and nothing else may use {@link PdxKit} while it is.
 *
 * <p>A session is thread-safe: its devices may be used from any thread.
 * {@link #close()} waits for the device calls in progress to end: a
 * {@link PdxDevice#readPins(java.time.Duration)} within
 * {@value PdxDevice#SLICE_MS} ms, a write or request within its timeout.
 * Calls made after closing raise {@link IllegalStateException}.
 */
public final class PdxSession implements AutoCloseable {
    private static PdxSession current; // guarded by PdxSession.class

    private final List<PdxDevice> devices;
    // Device calls hold the read lock; closing takes the write lock, so the
    // natives never see a close overlap another call.
    private final ReentrantReadWriteLock lifecycle = new ReentrantReadWriteLock();
    private volatile boolean closed;
    private volatile PinWatcher watcher; // set under this, with the first listener

    private PdxSession() {
        int count = PdxKit.openDevice() == 0 ? 0 : (int) PdxKit.getNumDevs();
        List<PdxDevice> list = new ArrayList<>(count);
        for (int number = 1; number <= count; number++) {
            list.add(new PdxDevice(this, number, PdxKit.getDeviceHandle(number)));
        }
        devices = Collections.unmodifiableList(list);
    }

    /**
     * Opens every attached device of the family.
     *
     * @return the open session; its device list is empty when no device is
     *         attached
     * @throws IllegalStateException when a session is already open in this
     *         process, or the devices were opened through {@link PdxKit}
     *         directly and not closed
     */
    public static PdxSession open() {
        synchronized (PdxSession.class) {
            if (current != null) {
                throw new IllegalStateException("a PdxSession is already open in this process; close it first");
            }
            if (PdxKit.getNumDevs() != 0) {
                throw new IllegalStateException("the devices are open through PdxKit; call PdxKit.closeDevice first");
            }
            current = new PdxSession();
            return current;
        }
    }

    /** @return the library's version text, for example "Pindex Kit V1.4" */
    public static String libraryVersion() {
        return PdxKit.version();
    }

    /** @return the devices opened, in device-number order (device 1 first); unmodifiable */
    public List<PdxDevice> devices() {
        return devices;
    }

    /** @return false once {@link #close()} has been called */
    public boolean isOpen() {
        return !closed;
    }

    /**
     * Closes every device: stops the listener thread and waits for it to end
     * (unless called from a listener, which ends it after its return), waits
     * for the device calls in progress, and closes the devices. Reports not
     * yet delivered to listeners are dropped. Calling it again does nothing.
     */
    @Override
    public void close() {
        PinWatcher stopping;
        synchronized (this) {
            if (closed) {
                return;
            }
            closed = true;
            stopping = watcher;
        }
        if (stopping != null) {
            stopping.stop();
        }
        lifecycle.writeLock().lock();
        try {
            PdxKit.closeDevice(0);
        } finally {
            lifecycle.writeLock().unlock();
        }
        synchronized (PdxSession.class) {
            current = null;
        }
    }

    /** Marks the start of a device call; pair with {@link #exit()}. */
    void enter() {
        if (!tryEnter()) {
            throw new IllegalStateException("the PdxSession is closed");
        }
    }

    boolean tryEnter() {
        lifecycle.readLock().lock();
        if (closed) {
            lifecycle.readLock().unlock();
            return false;
        }
        return true;
    }

    void exit() {
        lifecycle.readLock().unlock();
    }

    /** For calls that wait in slices: raises once closing has begun. */
    void checkOpen() {
        if (closed) {
            throw new IllegalStateException("the PdxSession was closed during the call");
        }
    }

    /** The listener thread, started on first use; null once closed. */
    synchronized PinWatcher watcher() {
        if (watcher == null && !closed) {
            watcher = new PinWatcher(this);
        }
        return watcher;
    }

    /** The listener thread if it runs, else null: reports need not be posted without it. */
    PinWatcher runningWatcher() {
        return watcher;
    }
}
