// POSIX realisation of the named objects.
//
// Each named object is a POSIX shared-memory object ("/<name>"). The section
// holds the record. The mutex is a process-shared robust pthread mutex in an
// object of its own, so that a holder that dies hands EOWNERDEAD to the next
// locker instead of keeping the mutex forever. The manual-reset event is a
// flag and a generation counter under a process-shared robust mutex, with a
// process-shared condition variable: setting raises the flag, a pulse only
// advances the generation, and a waiter wakes when either changed since it
// started waiting, so a pulse wakes exactly the waiters of that moment.
//
// Whoever creates a sync object (create-exclusive decides) initialises it and
// then publishes a ready word; an opener waits briefly for that word, so it
// never uses a mutex that is still being initialised.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "vpn/agent/sharedmemory_platform.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace hxt {

struct PlatformMapping {
  int fd = -1;
  std::size_t size = 0;
};

struct PlatformSync {
  void* view = nullptr;
  std::size_t size = 0;
};

namespace platform {

namespace {

constexpr u32 kReadyWord = 0x48585653;  // written last by the initialising process
constexpr int kOpenAttempts = 5;        // create and open can race with a remover
constexpr long kReadyWaitMs = 1000;

struct MutexBlock {
  std::atomic<u32> ready;
  pthread_mutex_t mutex;
};

struct EventBlock {
  std::atomic<u32> ready;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  u32 signalled;
  u64 generation;
};

std::string objectName(const std::string& name) {
  return "/" + name;
}

// Creates (exclusively) or opens the object and maps `size` bytes of it.
int openShared(const std::string& name, std::size_t size, int& fdOut, void*& view, bool& existed) {
  const std::string path = objectName(name);
  int fd = -1;
  for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
    fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    existed = fd < 0 && errno == EEXIST;
    if (fd < 0 && existed) fd = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0 && errno != ENOENT) return errno;
  }
  if (fd < 0) return errno;
  struct stat st {};
  // An opener may come before the creator sized the object; both size it
  // alike, and growing never touches what is already there.
  if (::fstat(fd, &st) != 0 || (static_cast<std::size_t>(st.st_size) < size && ::ftruncate(fd, size) != 0)) {
    int code = errno;
    ::close(fd);
    return code;
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    fdOut = fd;
    return errno;
  }
  fdOut = fd;
  view = mapped;
  return 0;
}

int initRobustMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  int code = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return code;
}

bool waitReady(const std::atomic<u32>& ready) {
  timespec pause{0, 1000000};
  for (long waited = 0; waited < kReadyWaitMs; ++waited) {
    if (ready.load(std::memory_order_acquire) == kReadyWord) return true;
    ::nanosleep(&pause, nullptr);
  }
  return ready.load(std::memory_order_acquire) == kReadyWord;
}

// Opens or creates a sync object holding a `Block`; `init` runs in the creator.
template <typename Block, typename Init>
int openSync(const std::string& name, PlatformSync*& object, Init init) {
  int fd = -1;
  void* view = nullptr;
  bool existed = false;
  if (int code = openShared(name, sizeof(Block), fd, view, existed)) {
    if (fd >= 0) ::close(fd);
    return code;
  }
  ::close(fd);  // the mapping keeps the object
  auto* block = static_cast<Block*>(view);
  if (!existed) {
    new (&block->ready) std::atomic<u32>(0);
    if (int code = init(block)) {
      ::munmap(view, sizeof(Block));
      return code;
    }
    block->ready.store(kReadyWord, std::memory_order_release);
  } else if (!waitReady(block->ready)) {
    // Its creator died half way: only removing the object helps.
    ::munmap(view, sizeof(Block));
    return ENOTRECOVERABLE;
  }
  object = new PlatformSync{view, sizeof(Block)};
  return 0;
}

timespec deadlineAfter(clockid_t clock, u32 timeoutMs) {
  timespec t{};
  ::clock_gettime(clock, &t);
  t.tv_sec += timeoutMs / 1000;
  t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// Locks the event's inner mutex, which is held only for a few instructions;
// a holder that died there left nothing half done.
int lockInner(pthread_mutex_t* mutex) {
  int code = pthread_mutex_lock(mutex);
  if (code == EOWNERDEAD) {
    pthread_mutex_consistent(mutex);
    code = 0;
  }
  return code;
}

}  // namespace

int CreateMapping(const std::string& name, std::size_t size, PlatformMapping*& mapping, void*& view,
                  bool& existed) {
  int fd = -1;
  int code = openShared(name, size, fd, view, existed);
  if (fd >= 0) mapping = new PlatformMapping{fd, size};
  return code;
}

int UnmapView(PlatformMapping* mapping, void*& view) {
  if (view == nullptr) return 0;
  if (mapping == nullptr || ::munmap(view, mapping->size) != 0) return mapping == nullptr ? EINVAL : errno;
  view = nullptr;
  return 0;
}

void CloseMapping(PlatformMapping*& mapping) {
  if (mapping == nullptr) return;
  ::close(mapping->fd);
  delete mapping;
  mapping = nullptr;
}

int CreateMutex(const std::string& name, PlatformSync*& mutex) {
  return openSync<MutexBlock>(name, mutex, [](MutexBlock* block) { return initRobustMutex(&block->mutex); });
}

WaitOutcome LockMutex(PlatformSync* mutex, u32 timeoutMs, int& code) {
  auto* block = static_cast<MutexBlock*>(mutex->view);
  const timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
  code = pthread_mutex_timedlock(&block->mutex, &deadline);
  switch (code) {
    case 0:
      return WaitOutcome::Acquired;
    case ETIMEDOUT:
      return WaitOutcome::TimedOut;
    case EOWNERDEAD:
#if defined(__SANITIZE_THREAD__)
      // ThreadSanitizer's timed-lock interceptor counts only success as
      // taking the mutex; the ownership a dead holder hands over is ours too,
      // and the unlock that follows must not look like a stranger's.
      __tsan_mutex_pre_lock(&block->mutex, __tsan_mutex_try_lock);
      __tsan_mutex_post_lock(&block->mutex, __tsan_mutex_try_lock, 0);
#endif
      return WaitOutcome::Abandoned;
    default:
      return WaitOutcome::Failed;
  }
}

void RepairMutex(PlatformSync* mutex) {
  pthread_mutex_consistent(&static_cast<MutexBlock*>(mutex->view)->mutex);
}

int UnlockMutex(PlatformSync* mutex) {
  return pthread_mutex_unlock(&static_cast<MutexBlock*>(mutex->view)->mutex);
}

int CreateEvent(const std::string& name, PlatformSync*& event) {
  return openSync<EventBlock>(name, event, [](EventBlock* block) {
    if (int code = initRobustMutex(&block->mutex)) return code;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int code = pthread_cond_init(&block->cond, &attr);
    pthread_condattr_destroy(&attr);
    block->signalled = 0;
    block->generation = 0;
    return code;
  });
}

WaitOutcome WaitEvent(PlatformSync* event, u32 timeoutMs, int& code) {
  auto* block = static_cast<EventBlock*>(event->view);
  if ((code = lockInner(&block->mutex)) != 0) return WaitOutcome::Failed;
  const timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
  const u64 generation = block->generation;
  while (block->signalled == 0 && block->generation == generation) {
    int waited = pthread_cond_timedwait(&block->cond, &block->mutex, &deadline);
    if (waited == EOWNERDEAD) {
      pthread_mutex_consistent(&block->mutex);
    } else if (waited == ETIMEDOUT) {
      break;
    } else if (waited != 0) {
      code = waited;
      pthread_mutex_unlock(&block->mutex);
      return WaitOutcome::Failed;
    }
  }
  const bool woken = block->signalled != 0 || block->generation != generation;
  pthread_mutex_unlock(&block->mutex);
  return woken ? WaitOutcome::Acquired : WaitOutcome::TimedOut;
}

namespace {
int raiseEvent(PlatformSync* event, bool stays) {
  auto* block = static_cast<EventBlock*>(event->view);
  if (int code = lockInner(&block->mutex)) return code;
  if (stays) block->signalled = 1;
  ++block->generation;
  pthread_cond_broadcast(&block->cond);
  return pthread_mutex_unlock(&block->mutex);
}
}  // namespace

int SetEvent(PlatformSync* event) {
  return raiseEvent(event, true);
}

int PulseEvent(PlatformSync* event) {
  return raiseEvent(event, false);
}

void CloseSync(PlatformSync*& object) {
  if (object == nullptr) return;
  ::munmap(object->view, object->size);
  delete object;
  object = nullptr;
}

const char* ObjectNamespace() {
  return std::getenv("HXT_ROOT");
}

int RemoveNamedObject(const std::string& name) {
  if (::shm_unlink(objectName(name).c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

}  // namespace platform
}  // namespace hxt
