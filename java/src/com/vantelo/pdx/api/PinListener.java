package com.vantelo.pdx.api;

/**
 * Hears the port reports of one device; see
 * {@link PdxDevice#addPinListener(PinListener)}. Both methods are called on
 * the session's listener thread, one call at a time: a listener that takes
 * long delays every other listener of the session. An exception thrown by a
 * listener goes to the thread's uncaught-exception handler; the thread goes
 * on with the next call.
 */
@FunctionalInterface
public interface PinListener {
    /**
     * Called once for every port report the device sent while this listener
     * was added, oldest first, whether or not a pin changed.
     *
     * @param change the pin values before and after the report
     */
    void pinsChanged(PinChange change);

    /**
     * Called once when the device is found to be gone; no call follows.
     *
     * @param device the device that was unplugged
     */
    default void deviceGone(PdxDevice device) {
    }
}
