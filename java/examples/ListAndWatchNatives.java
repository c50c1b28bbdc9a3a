import com.vantelo.pdx.PdxKit;

/**
 * ListAndWatch written on the natives of {@link PdxKit} alone, for programs
 * that want no more than the class: lists the attached devices, then prints
 * every change of their pins, one thread per device waiting for port reports. Runs until interrupted, or for
 * the number of seconds given as the first argument.
 */
public final class ListAndWatchNatives {
    private static final int REPORT_LENGTH = 5; // report id + 4 pin bytes

    public static void main(String[] args) throws InterruptedException {
        long seconds = args.length > 0 ? Long.parseLong(args[0]) : -1;
        System.out.println(PdxKit.version());
        if (PdxKit.openDevice() == 0) {
            System.out.println("no device found");
            return;
        }
        try {
            int count = (int) PdxKit.getNumDevs();
            Thread[] watchers = new Thread[count];
            long deadline = seconds < 0 ? Long.MAX_VALUE : System.nanoTime() + seconds * 1_000_000_000L;
            for (int i = 0; i < count; i++) {
                int number = i + 1;
                long handle = PdxKit.getDeviceHandle(number);
                System.out.printf("device %d: product 0x%04X, revision 0x%04X, serial \"%s\"%n", number,
                        PdxKit.getProductId(handle), PdxKit.getRevision(handle), PdxKit.getSerialNumber(handle));
                watchers[i] = new Thread(() -> watch(number, handle, deadline), "watch-" + number);
                watchers[i].start();
            }
            for (Thread watcher : watchers) {
                watcher.join();
            }
        } finally {
            PdxKit.closeDevice(0);
        }
    }

    private static void watch(int number, long handle, long deadline) {
        // A bounded wait per read lets the thread notice the deadline.
        PdxKit.setTimeout(handle, 250);
        long last = -1;
        while (System.nanoTime() < deadline) {
            int[] report = PdxKit.read(handle, 0, REPORT_LENGTH);
            if (report.length < REPORT_LENGTH) {
                continue;
            }
            long pins = report[1] | (report[2] << 8) | (report[3] << 16) | ((long) report[4] << 24);
            if (pins != last) {
                System.out.printf("device %d: pins 0x%08X%n", number, pins);
                last = pins;
            }
        }
    }
}
