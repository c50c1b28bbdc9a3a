package com.vantelo.pdx.sim;

/**
 * The library's C functions, called from the test helper library on the
 * device table that the Java natives use too. Devices are named by their
 * number (from 1), since a C handle is an address.
 */
public final class CSide {
    static {
        System.loadLibrary("pdxkit_javasim");
    }

    private CSide() {
    }

    /** PdxKitOpenDevice; the address it returns (0 for none). */
    public static native long openDevice();

    public static native void closeDevice();

    public static native long numDevs();

    /** PdxKitGetDeviceHandle: the record's address, 0 for none. */
    public static native long deviceHandle(int number);

    public static native long productId(int number);

    /** PdxKitGetThreadHandle, zero-extended. */
    public static native long threadHandle(int number);

    public static native boolean setTimeout(int number, int milliseconds);

    /** The record's read timeout as stored, or -1 without a record. */
    public static native long readTimeout(int number);

    /** The record's write timeout as stored, or -1 without a record. */
    public static native long writeTimeout(int number);

    /** PdxKitRead into a buffer of {@code length} bytes (at most 1024). */
    public static native int[] read(int number, int pipe, int length);

    /** PdxKitWrite of the lowest byte of each element. */
    public static native long write(int number, int pipe, int[] data);

    /** The calling thread's last-error value in the library. */
    public static native int lastError();

    public static native void setLastError(int error);

    /** Waits until the device's queue holds at least {@code count} reports. */
    public static native boolean waitQueued(int number, int count, int timeoutMs);
}
