/**
 * An object API over the natives of {@link com.vantelo.pdx.PdxKit}: a
 * {@link com.vantelo.pdx.api.PdxSession} opens the attached devices and
 * closes them again, each {@link com.vantelo.pdx.api.PdxDevice} reads and
 * writes its pipes with {@link java.time.Duration} timeouts, failures raise
 * {@link com.vantelo.pdx.api.PdxException} with the platform's error code,
 * and {@link com.vantelo.pdx.api.PinListener}s hear every port report.
 *
 * <pre>{@code
 * try (PdxSession session = PdxSession.open()) {
 *     for (PdxDevice device : session.devices()) {
 *         device.addPinListener(change -> System.out.println(change));
 *     }
 *     Thread.sleep(10_000);
 * }
 * }</pre>
 *
 * <p>The package uses nothing but the natives, so it tells failures apart by
 * what they show to Java: see {@link com.vantelo.pdx.api.PdxException} for
 * how each error code is recognised.
 */
package com.vantelo.pdx.api;
