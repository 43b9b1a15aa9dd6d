// Hand-off markers for the stream reactors. gRPC runs a reactor's callbacks on its own threads, and the library
// that passes the reactor from one of them to the next is not built with ThreadSanitizer, so the sanitizer cannot
// see that a write started on one thread happens before its completion callback on another. Each reactor marks
// itself as released just before it hands itself to gRPC (StartWrite, Finish) and as acquired first thing in each
// callback. Outside ThreadSanitizer builds both are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace MirrorKit::Server {

inline void handOff(void* reactor) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(reactor);
#else
    (void)reactor;
#endif
}

inline void takeOver(void* reactor) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(reactor);
#else
    (void)reactor;
#endif
}

}  // namespace MirrorKit::Server
