package qd500;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.CompletableFuture;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import qd500.testing.Simulator;
import org.junit.jupiter.api.Test;

/** Threads: a waiting call cancelled from another thread, two readers at once. */
class ThreadsTest {
    static final byte[] CHALLENGE = Hex.bytes("0084000008");
    static final int ROUNDS = 8;

    @Test
    void cancelFromAnotherThreadEndsAWaitingRead() throws Exception {
        ScheduledExecutorService timer = Executors.newSingleThreadScheduledExecutor();
        try (Simulator sim = Simulator.start("{\"magnetic\": {\"swipe\": \"never\"}}");
                Reader reader = new Reader(sim.port())) {
            long started = System.nanoTime();
            timer.schedule(reader::cancel, 200, TimeUnit.MILLISECONDS);
            CancelledException e = assertThrows(CancelledException.class, reader::readTracks);
            assertEquals(-7, e.result());
            assertTrue(System.nanoTime() - started < 2_000_000_000L);
            assertEquals("QD500-SIM V1.0", reader.version()); // the reader goes on
        } finally {
            timer.shutdownNow();
        }
    }

    static void cpuWork(Reader reader) {
        reader.selectCard("CPU");
        reader.powerOn();
        for (int i = 0; i < ROUNDS; i++) {
            Response answer = reader.transmit(CHALLENGE);
            assertEquals(8, answer.data().length);
            assertEquals(0x9000, answer.sw());
        }
    }

    static void memoryWork(Reader reader) {
        reader.selectCard("S4442");
        byte[] atr = reader.powerOn();
        for (int i = 0; i < ROUNDS; i++) {
            assertArrayEquals(atr, reader.readMemory(0, 4));
        }
    }

    static long timed(Runnable... jobs) throws Exception {
        long started = System.nanoTime();
        CompletableFuture<?>[] running = new CompletableFuture<?>[jobs.length];
        for (int i = 0; i < jobs.length; i++) {
            running[i] = CompletableFuture.runAsync(jobs[i]);
        }
        CompletableFuture.allOf(running).get(60, TimeUnit.SECONDS);
        return System.nanoTime() - started;
    }

    @Test
    void twoReadersWorkAtOnce() throws Exception {
        try (Simulator cpuSim = Simulator.start(null, 9600);
                Simulator sleSim = Simulator.start("{\"card\": {\"type\": \"S4442\"}}", 9600);
                Reader cpu = new Reader(cpuSim.port());
                Reader sle = new Reader(sleSim.port())) {
            long alone = timed(() -> cpuWork(cpu)) + timed(() -> memoryWork(sle));
            long together = timed(() -> cpuWork(cpu), () -> memoryWork(sle));
            assertTrue(together < 0.75 * alone, "together " + together + " ns, one after the other " + alone + " ns");
        }
    }
}
