#include "model/entropy.hpp"

#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/random.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "model/failure.hpp"

namespace quorvane {
namespace {

// The kernel's generator costs less a byte in larger requests (here 61 ns
// for 16 bytes in requests of 256, 40 ns in requests of 4 KiB), and most of
// an id's cost is that: the pool holds 256 ids.
constexpr std::size_t kPoolSize = 4096;

#if defined(__linux__) && defined(__x86_64__)
// Linux 6.11 and later run the kernel's generator in the vDSO too: the same
// keys, reseeded by the kernel, without entering it (31 ns for 16 bytes in
// requests of 4 KiB here, against 42 for the system call). Each thread needs
// a state of its own, in memory mapped as the kernel asks; the kernel wipes
// that memory in a forked child, which then reseeds.
struct VdsoParams {
  std::uint32_t size_of_opaque_state, mmap_prot, mmap_flags, reserved[13];
};
using VdsoGetrandom = ssize_t (*)(void* buffer, std::size_t length, unsigned flags, void* state, std::size_t state_size);

struct Vdso {
  VdsoGetrandom getrandom = nullptr;
  VdsoParams params{};

  Vdso() {
    void* vdso = dlopen("linux-vdso.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!vdso) return;
    auto found = reinterpret_cast<VdsoGetrandom>(dlvsym(vdso, "__vdso_getrandom", "LINUX_2.6"));
    dlclose(vdso);
    // Asked with no buffer and an all-ones state size, it describes the state.
    if (found && found(nullptr, 0, 0, &params, ~std::size_t{0}) == 0 && params.size_of_opaque_state > 0 &&
        params.size_of_opaque_state <= kStateMapping) {
      getrandom = found;
    }
  }
  static constexpr std::size_t kStateMapping = 4096;
};

const Vdso& vdso() {
  static const Vdso found;
  return found;
}

struct VdsoState {
  void* state = nullptr;
  bool tried = false;
  ~VdsoState() {
    if (state) munmap(state, Vdso::kStateMapping);
  }
};
thread_local VdsoState vdso_state;

// This thread's state, mapped on first use; nothing when the vDSO has no
// generator or the mapping fails.
void* thread_vdso_state(const Vdso& v) {
  VdsoState& mine = vdso_state;
  if (!mine.tried) {
    mine.tried = true;
    void* mapped = mmap(nullptr, Vdso::kStateMapping, static_cast<int>(v.params.mmap_prot),
                        static_cast<int>(v.params.mmap_flags), -1, 0);
    if (mapped != MAP_FAILED) mine.state = mapped;
  }
  return mine.state;
}
#endif

}  // namespace

int system_call_entropy(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
#if defined(__linux__)
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    const auto taken = static_cast<std::size_t>(got);
#else
    const std::size_t taken = std::min<std::size_t>(length, 256);
    if (getentropy(out, taken) != 0) return -1;
#endif
    out += taken;
    length -= taken;
  }
  return 0;
}

int vdso_entropy(void* buffer, std::size_t length) {
#if defined(__linux__) && defined(__x86_64__)
  const Vdso& v = vdso();
  void* state = v.getrandom ? thread_vdso_state(v) : nullptr;
  if (!state) {
    errno = ENOSYS;
    return -1;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = v.getrandom(out, length, 0, state, v.params.size_of_opaque_state);
    if (got < 0) {
      if (got == -EINTR) continue;
      errno = static_cast<int>(-got);
      return -1;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return 0;
#else
  static_cast<void>(buffer);
  static_cast<void>(length);
  errno = ENOSYS;
  return -1;
#endif
}

namespace {

// The vDSO's generator where this thread has one, else the system call.
int system_entropy(void* buffer, std::size_t length) {
  const int rc = vdso_entropy(buffer, length);
  if (rc == 0 || errno != ENOSYS) return rc;
  return system_call_entropy(buffer, length);
}

// One pool per thread: threads never share bytes, and drawing needs no lock.
// The pool is trivially destructible and constant-initialised, so reaching
// it is one thread-local address lookup, with no first-use guard.
struct Pool {
  unsigned char bytes[kPoolSize];
  std::size_t used;  // everything before `used` is spent (and zeroed)

  void discard() {
    std::memset(bytes, 0, sizeof bytes);
    used = kPoolSize;
  }
};

constinit thread_local Pool pool{{}, kPoolSize};

// A finished thread leaves no unused bytes behind. Armed by the thread's
// first refill, so that drawing from a full pool touches the pool alone.
struct WipeAtExit {
  ~WipeAtExit() { explicit_bzero(pool.bytes, sizeof pool.bytes); }
};
thread_local WipeAtExit wipe_at_exit;

std::atomic<EntropySource> source{nullptr};

// Only the forking thread lives on in the child, so its pool is the only
// one the child could draw from.
void discard_in_child() { pool.discard(); }

struct ForkHook {
  ForkHook() { pthread_atfork(nullptr, nullptr, discard_in_child); }
};
const ForkHook fork_hook;

[[noreturn]] void fail(int error) {
  throw InternalFailure(std::string("could not retrieve random bytes for uuid: ") + std::strerror(error) +
                        " (os error " + std::to_string(error) + ")");
}

void refill(Pool& p) {
  static_cast<void>(&wipe_at_exit);  // constructs it, registering its destructor, once a thread
  const EntropySource replacement = source.load(std::memory_order_acquire);
  int rc = replacement ? replacement(p.bytes, kPoolSize) : system_entropy(p.bytes, kPoolSize);
  if (rc != 0) {
    int error = errno;
    p.discard();
    fail(error ? error : EIO);
  }
  p.used = 0;
}

// Hands out the next `length` bytes of the pool, which holds them, and
// wipes them there.
[[gnu::always_inline]] inline void take(Pool& p, unsigned char* out, std::size_t length) {
  std::memcpy(out, p.bytes + p.used, length);
  std::memset(p.bytes + p.used, 0, length);
  p.used += length;
}

// Any request, refilling the pool as it runs dry.
[[gnu::noinline]] void draw(Pool& p, unsigned char* out, std::size_t length) {
  while (length > 0) {
    if (p.used == kPoolSize) refill(p);
    const std::size_t part = std::min(length, kPoolSize - p.used);
    take(p, out, part);
    out += part;
    length -= part;
  }
}

}  // namespace

void random_bytes(unsigned char* out, std::size_t length) {
  Pool& p = pool;
  // While the pool holds the request, one copy; inlined where the length is
  // a constant (an id's 16 bytes), it is a few moves, not calls.
  if (length > kPoolSize - p.used) return draw(p, out, length);
  take(p, out, length);
}

void set_entropy_source(EntropySource replacement) {
  source.store(replacement, std::memory_order_release);
  pool.discard();
}

}  // namespace quorvane
