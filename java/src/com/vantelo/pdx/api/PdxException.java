package com.vantelo.pdx.api;

/**
 * A failed device operation, with the platform's error code for it.
 *
 * <p>The natives return only a result (an empty array, 0 bytes written) and
 * leave the detail in a last-error value that Java cannot read, so this
 * package derives the code from what it can observe:
 * <ul>
 * <li>{@link #ERROR_INVALID_PARAMETER}: an argument this package refuses
 * before calling a native (a pipe other than 0 or 1, an empty report, a
 * negative timeout).</li>
 * <li>{@link #ERROR_TIMEOUT}: nothing came, or a write did not complete,
 * within the whole timeout.</li>
 * <li>{@link #ERROR_DEVICE_NOT_CONNECTED}: the device is gone. A read of a
 * present device with nothing to deliver waits for its whole timeout, while
 * the library ends every read of an unplugged device at once; so a read that
 * comes back empty in less than half its timeout (of at least 10 ms), or at
 * all when it had no limit, raises the suspicion. Another caller of the
 * natives taking the report can do the same, so a second port read of
 * {@value PdxDevice#PROBE_MS} ms decides: empty again in less than half of
 * that, the device is gone. A write or pipe-1 read that fails before half its
 * timeout has passed is checked with the same port read. From then on every
 * operation of the device raises this code at once.</li>
 * <li>{@link #ERROR_GEN_FAILURE}: a write or pipe-1 read failed at once on
 * a device that the second port read shows to be present.</li>
 * </ul>
 */
public final class PdxException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** A device attached to the system is not functioning (31). */
    public static final int ERROR_GEN_FAILURE = 31;
    /** An argument is not valid (87). */
    public static final int ERROR_INVALID_PARAMETER = 87;
    /** The device is not connected (1167). */
    public static final int ERROR_DEVICE_NOT_CONNECTED = 1167;
    /** The operation did not complete within its timeout (1460). */
    public static final int ERROR_TIMEOUT = 1460;

    /** The platform's error code. */
    private final int errorCode;

    PdxException(int errorCode, String message) {
        super(message + " (error " + errorCode + ")");
        this.errorCode = errorCode;
    }

    /**
     * @return the platform's error code: one of the constants of this class
     */
    public int errorCode() {
        return errorCode;
    }
}
