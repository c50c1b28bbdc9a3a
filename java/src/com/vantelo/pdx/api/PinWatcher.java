package com.vantelo.pdx.api;

import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.List;

/**
 * The listener thread of a session: one daemon thread that reads the queues
 * of the devices with listeners and delivers their reports.
 *
 * <p>The natives offer no wait on several devices at once, so each round
 * waits up to {@value #POLL_MS} ms on one device, in turn, and takes what
 * the others have queued without waiting. A device's queue holds 8 reports:
 * one that sends more than 8 in {@value #POLL_MS} ms loses the oldest,
 * which the listeners then see as a jump of the old value.
 *
 * <p>Reports taken by other callers ({@link PdxDevice#readPins}) are posted
 * here too, under the device's port lock, so the queue of posted events
 * keeps each device's order; this thread alone delivers them.
 */
final class PinWatcher implements Runnable {
    static final int POLL_MS = 10;

    private final PdxSession session;
    private final Thread thread;
    private final ArrayDeque<Object> events = new ArrayDeque<>(); // guarded by this: PinChange, or the PdxDevice gone
    private boolean stopping; // guarded by this

    PinWatcher(PdxSession session) {
        this.session = session;
        thread = new Thread(this, "pdxkit-pin-listeners");
        thread.setDaemon(true);
        thread.start();
    }

    synchronized void post(PinChange change) {
        if (!stopping) {
            events.add(change);
        }
    }

    synchronized void postGone(PdxDevice device) {
        if (!stopping) {
            events.add(device);
            notifyAll();
        }
    }

    /** A listener was added: start reading. */
    synchronized void wakeUp() {
        notifyAll();
    }

    /** Ends the thread and waits for it, unless called from it (a listener closing the session). */
    void stop() {
        synchronized (this) {
            stopping = true;
            events.clear();
            notifyAll();
        }
        if (Thread.currentThread() == thread) {
            return;
        }
        boolean interrupted = false;
        while (thread.isAlive()) {
            try {
                thread.join();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void run() {
        int turn = 0;
        List<PdxDevice> watched = new ArrayList<>();
        while (true) {
            synchronized (this) {
                // The devices to read are found afresh every round.
                while (!stopping && watch(watched).isEmpty() && events.isEmpty()) {
                    try {
                        wait();
                    } catch (InterruptedException e) {
                        // only closing ends this thread
                    }
                }
                if (stopping) {
                    return;
                }
            }
            if (!watched.isEmpty() && session.tryEnter()) {
                boolean waited;
                try {
                    turn = (turn + 1) % watched.size();
                    PdxDevice waitedOn = watched.get(turn);
                    waited = waitedOn.poll(POLL_MS);
                    for (PdxDevice device : watched) {
                        if (device != waitedOn) {
                            device.poll(0);
                        }
                    }
                } finally {
                    session.exit();
                }
                if (!waited) {
                    pause();
                }
            }
            deliver();
        }
    }

    /** The device waited on was busy with another caller: wait here instead of spinning. */
    private synchronized void pause() {
        if (!stopping) {
            try {
                wait(POLL_MS);
            } catch (InterruptedException e) {
                // only closing ends this thread
            }
        }
    }

    private List<PdxDevice> watch(List<PdxDevice> watched) {
        watched.clear();
        for (PdxDevice device : session.devices()) {
            if (device.isWatched()) {
                watched.add(device);
            }
        }
        return watched;
    }

    private void deliver() {
        while (true) {
            Object event;
            synchronized (this) {
                event = stopping ? null : events.poll();
            }
            if (event == null) {
                return;
            }
            PdxDevice device = event instanceof PinChange ? ((PinChange) event).device() : (PdxDevice) event;
            List<PinListener> listeners = device.listeners();
            for (PinListener listener : listeners) {
                if (!listeners.contains(listener)) {
                    continue; // removed since this delivery began
                }
                try {
                    if (event instanceof PinChange) {
                        listener.pinsChanged((PinChange) event);
                    } else {
                        listener.deviceGone(device);
                    }
                } catch (Throwable failure) {
                    report(failure);
                }
            }
        }
    }

    private void report(Throwable failure) {
        try {
            thread.getUncaughtExceptionHandler().uncaughtException(thread, failure);
        } catch (Throwable ignored) {
            // a failing handler must not end the thread either
        }
    }
}
