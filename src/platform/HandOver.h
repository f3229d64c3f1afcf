#pragma once
// A call or event that one thread queues for another, made visible to the
// thread sanitizer. Qt's event queues are guarded by Qt's own locks inside the
// uninstrumented Qt libraries, so the sanitizer cannot see that a post comes
// before its delivery: it would take everything the poster wrote before the
// post (the call's captured values, the event Qt allocated for it) as racing
// with the receiving thread's use of it. In a sanitizer build a post holds one
// lock of ours from before the call is made until Qt has queued it, and every
// event passes that lock before Qt hands it to an event filter or receiver, so
// the order the queue really gives is the order the sanitizer sees. In any
// other build this is the plain call.

#if defined(__SANITIZE_THREAD__)
#define QVT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QVT_THREAD_SANITIZER 1
#endif
#endif

#ifdef QVT_THREAD_SANITIZER
#include <mutex>
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif
#include <utility>

namespace qvt {

#ifdef QVT_THREAD_SANITIZER
// Held by every post; passed by every event before delivery.
std::mutex& HandOverMutex();
#endif

// Runs `post` (QMetaObject::invokeMethod with a queued connection, a signal
// emitted towards another thread's receivers) as a hand-over to that thread.
// `post` must only queue: it must not wait for another thread.
template <class Post>
inline void HandOverPost(Post&& post)
{
#ifdef QVT_THREAD_SANITIZER
    const std::lock_guard lock(HandOverMutex());
    // Inside the call Qt writes its event and its queue under its own lock;
    // the window thread reads them under that lock, even outside any delivery
    // (when it posts an event itself), so those writes are not recorded.
    __tsan_ignore_thread_begin();
    std::forward<Post>(post)();
    __tsan_ignore_thread_end();
#else
    std::forward<Post>(post)();
#endif
}

} // namespace qvt
