import com.vantelo.pdx.api.PdxDevice;
import com.vantelo.pdx.api.PdxSession;
import com.vantelo.pdx.api.PinChange;
import com.vantelo.pdx.api.PinListener;

/**
 * Lists the attached devices, then prints every port report of each, and
 * when one is unplugged. Runs until interrupted, or for the number of
 * seconds given as the first argument.
 */
public final class ListAndWatch {
    public static void main(String[] args) throws InterruptedException {
        long seconds = args.length > 0 ? Long.parseLong(args[0]) : -1;
        System.out.println(PdxSession.libraryVersion());
        try (PdxSession session = PdxSession.open()) {
            if (session.devices().isEmpty()) {
                System.out.println("no device found");
                return;
            }
            for (PdxDevice device : session.devices()) {
                System.out.printf("device %d: product 0x%04X, revision 0x%04X, serial \"%s\"%n", device.number(),
                        device.productId(), device.revision(), device.serial().orElse(""));
                device.addPinListener(new PinListener() {
                    @Override
                    public void pinsChanged(PinChange change) {
                        System.out.println(change);
                    }

                    @Override
                    public void deviceGone(PdxDevice gone) {
                        System.out.printf("device %d: unplugged%n", gone.number());
                    }
                });
            }
            if (seconds < 0) {
                Thread.currentThread().join(); // until interrupted
            } else {
                Thread.sleep(seconds * 1000);
            }
        }
    }
}
