package com.vantelo.pdx.api;

import java.time.Instant;

/**
 * One port report of a device, as a listener receives it: the 32 pin values
 * before and after it, bit 0 being the first data byte's lowest bit.
 */
public final class PinChange {
    private final PdxDevice device;
    private final int oldPins;
    private final int newPins;
    private final Instant timestamp;

    PinChange(PdxDevice device, int oldPins, int newPins, Instant timestamp) {
        this.device = device;
        this.oldPins = oldPins;
        this.newPins = newPins;
        this.timestamp = timestamp;
    }

    /** @return the device that sent the report */
    public PdxDevice device() {
        return device;
    }

    /**
     * @return the pin value of the report taken before this one, or
     *         0xFFFFFFFF (-1) for the first report since the session opened
     */
    public int oldPins() {
        return oldPins;
    }

    /** @return the pin value the report carries */
    public int newPins() {
        return newPins;
    }

    /** @return the pins that differ between the old and the new value */
    public int changedMask() {
        return oldPins ^ newPins;
    }

    /** @return when the report was taken from the device's queue */
    public Instant timestamp() {
        return timestamp;
    }

    @Override
    public String toString() {
        return String.format("device %d: pins 0x%08X -> 0x%08X (changed 0x%08X)", device.number(), oldPins, newPins,
                changedMask());
    }
}
