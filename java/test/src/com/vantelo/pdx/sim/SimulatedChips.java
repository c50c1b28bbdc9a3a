package com.vantelo.pdx.sim;

/**
 * Control of the simulated chips that libpdxkit.so sees in the test JVM
 * (natives in libpdxkit_javasim.so). Devices and interfaces are counted from
 * 0; interface 0 is a chip's pipe 0, interface 1 its pipe 1.
 */
public final class SimulatedChips {
    static {
        System.loadLibrary("pdxkit_javasim");
    }

    private SimulatedChips() {
    }

    /** Installs {@code devices} default chips; with {@code chipModel} they answer writes. */
    public static native boolean install(int devices, boolean chipModel);

    /** Installs a world described in the simulator's text form; null on success, else the error. */
    public static native String installWorld(String text);

    public static native void uninstall();

    /** Delivers an input report (lowest byte of each element); returns the handles reached. */
    public static native int sendReport(int device, int iface, int[] report);

    /** Sets a chip's input pins; a change sends a pipe-0 report. */
    public static native int setPins(int device, int value);

    public static native int writeCount(int device, int iface);

    public static native boolean waitWrites(int device, int iface, int count, int timeoutMs);

    /** The bytes of captured write {@code index}, each 0..255; null if there is none. */
    public static native int[] getWrite(int device, int iface, int index);

    public static native boolean holdWrites(int device, int iface, boolean hold);

    public static native int releaseWrites(int device, int iface, int count);

    public static native boolean failWrites(int device, int iface, int count, int error);

    public static native void unplug(int device, int iface);

    /** Starts the counter generator: report k carries the pin value start + k. */
    public static native boolean startCounter(int device, int rateHz, int start, int count);

    /** Waits until the device's generator has sent all its reports. */
    public static native boolean waitGenerated(int device, int timeoutMs);
}
