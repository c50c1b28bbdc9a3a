package com.vantelo.pdx;

/**
 * Access to the USB I/O-controller chips of vendor 0x1F3A (products 0x2A10
 * and 0x2A11) through the native library {@code pdxkit}.
 *
 * <p>Each device has two pipes: pipe 0, the port interface, whose input
 * reports carry the pin state and are collected in the background, and
 * pipe 1, the special-function interface. Call {@link #openDevice()} first,
 * then {@link #getNumDevs()} and {@link #getDeviceHandle(long)} for further
 * devices, then reads, writes and accessors, and {@link #closeDevice(long)}
 * last. {@code openDevice} and {@code closeDevice} must not overlap with any
 * other call; everything else may be called from any thread.
 *
 * <p>Numbers passed in are taken as unsigned 32-bit values: only the low 32
 * bits of each {@code long} count, so -1 stands for 0xFFFFFFFF (for a
 * timeout: wait without limit). Report bytes travel as {@code int} arrays
 * with one byte (0 to 255) per element. No method throws an exception of its
 * own; failures show as 0, {@code false}, an empty array or "00000000".
 */
public final class PdxKit {
    static {
        System.loadLibrary("pdxkit");
    }

    private PdxKit() {
    }

    /**
     * Discovers and opens every attached device of the family. Close the
     * devices with {@link #closeDevice(long)} before opening again.
     *
     * @return the handle of device 1, or 0 when no device could be opened
     */
    public static native long openDevice();

    /**
     * Closes every open device and invalidates all handles. The handle
     * argument is not needed to find the devices.
     *
     * @param handle a device handle (may be 0)
     */
    public static native void closeDevice(long handle);

    /**
     * Reads reports. On pipe 0 whole queued port reports are copied, waiting
     * up to the read timeout for each; on pipe 1 one report is read from the
     * device.
     *
     * @param handle a device handle
     * @param pipe   0 or 1
     * @param length the number of bytes wanted
     * @return the bytes read, each 0 to 255; an empty array on failure (bad
     *         handle or pipe, length 0, a length too large to allocate, or no
     *         report within the read timeout)
     */
    public static native int[] read(long handle, long pipe, long length);

    /**
     * Writes one report (report id first), waiting up to the write timeout.
     * Only the lowest 8 bits of each element are sent.
     *
     * @param handle a device handle
     * @param pipe   0 or 1
     * @param data   the report bytes
     * @return the number of bytes written; 0 on failure (bad handle or pipe,
     *         null data, timeout, or a write the system refused)
     */
    public static native long write(long handle, long pipe, int[] data);

    /**
     * Takes the oldest unread port report without waiting.
     *
     * @param handle a device handle
     * @return the report's 4 pin bytes, lowest first, each 0 to 255; an empty
     *         array when no unread report is queued or the handle is invalid
     */
    public static native int[] readImmediate(long handle);

    /**
     * @return the number of open devices; 0 when none is open
     */
    public static native long getNumDevs();

    /**
     * @param number the device number, counted from 1
     * @return the device's handle; 0 when the number is 0 or greater than the
     *         number of open devices
     */
    public static native long getDeviceHandle(long number);

    /**
     * @param handle a device handle
     * @return the USB product ID; 0 for an invalid handle
     */
    public static native long getProductId(long handle);

    /**
     * @param handle a device handle
     * @return the serial number, always 8 characters (a shorter one is padded
     *         with U+0000); "00000000" for an invalid handle or a device
     *         without a serial number
     */
    public static native String getSerialNumber(long handle);

    /**
     * Sets the read timeout used from the next wait on.
     *
     * @param handle       a device handle
     * @param milliseconds the timeout; -1 waits without limit, 0 not at all
     * @return true; false for an invalid handle
     */
    public static native boolean setTimeout(long handle, long milliseconds);

    /**
     * Cancels the requests that the calling thread has outstanding on one
     * pipe.
     *
     * @param handle a device handle
     * @param pipe   0 or 1
     * @return true when the cancellation was made on both handles of the
     *         pipe; false for an invalid handle or pipe
     */
    public static native boolean cancelIo(long handle, long pipe);

    /**
     * Sets the write timeout used from the next wait on.
     *
     * @param handle       a device handle
     * @param milliseconds the timeout; -1 waits without limit, 0 not at all
     * @return true; false for an invalid handle
     */
    public static native boolean setWriteTimeout(long handle, long milliseconds);

    /**
     * @return the library's version text; never fails
     */
    public static native String version();

    /**
     * @param handle a device handle
     * @return the device's revision (USB version number); 0 for an invalid
     *         handle
     */
    public static native long getRevision(long handle);

    /**
     * @param handle a device handle
     * @return the handle of the device's background reader thread; 0 for an
     *         invalid handle
     */
    public static native long getThreadHandle(long handle);
}
