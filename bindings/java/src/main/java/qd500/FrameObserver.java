package qd500;

/** Sees every frame sent ({@code sent} true) and every reply received, on the calling thread. */
@FunctionalInterface
public interface FrameObserver {
    void frame(boolean sent, byte[] frame);
}
